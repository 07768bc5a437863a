#include "windowdriver.h"

#include "app/tficheprincipale.h"
#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"
#include "ui/activation.h"
#include "dashboard/tfichetdb.h"
#include "ui/itemcodes.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollArea>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>

#include <cmath>

QStringList comboTexts(const QComboBox *combo)
{
    QStringList out;
    for (int i = 0; i < combo->count(); ++i)
        out << combo->itemText(i);
    return out;
}

QList<QStringList> tableRows(const QTreeWidget *table)
{
    QList<QStringList> out;
    for (int r = 0; r < table->topLevelItemCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < table->columnCount(); ++c)
            cells << table->topLevelItem(r)->text(c);
        out << cells;
    }
    return out;
}

QStringList firstColumn(const QTreeWidget *table)
{
    QStringList out;
    for (const QStringList &row : tableRows(table))
        out << row.first();
    return out;
}

QStringList joinedRows(const QTreeWidget *table)
{
    QStringList out;
    for (const QStringList &row : tableRows(table))
        out << row.join(QLatin1Char('|'));
    return out;
}

int indexOfCode(const QComboBox *combo, const QString &code)
{
    for (int i = 0; i < combo->count(); ++i)
        if (GetItemCode(combo, i) == code)
            return i;
    return -1;
}

void settle(QWidget *window)
{
    QWindow *handle = window ? window->window()->windowHandle() : nullptr;
    if (handle)
        (void)QTest::qWaitFor([handle] { return QGuiApplication::focusWindow() == handle; }, 1000);
    // What the focus change sets off arrives through queued events.
    QTest::qWait(20);
}

namespace {

bool waitForPopup(QComboBox *combo, bool shown)
{
    QAbstractItemView *view = combo->view();
    if (QTest::qWaitFor([view, shown] { return view->isVisible() == shown; }, 2000))
        return true;
    qWarning("the list of %s did not %s", qPrintable(combo->objectName()), shown ? "open" : "close");
    return false;
}

QModelIndex entry(const QComboBox *combo, int index)
{
    return combo->model()->index(index, combo->modelColumn(), combo->rootModelIndex());
}

// Mouse events go to the platform window under the pointer, as the
// window system delivers them: Qt then finds the widget, routes them to an
// open popup, and turns a right click into a context menu.
QWindow *platformWindow(QWidget *widget, QPoint &at)
{
    QWidget *top = widget->window();
    at = widget->mapTo(top, at);
    return top->windowHandle();
}

// What a user does first on a screen too small for the window: scroll the
// control into view.
void scrollIntoView(QWidget *widget)
{
    for (QWidget *parent = widget->parentWidget(); parent && !parent->isWindow(); parent = parent->parentWidget()) {
        if (auto *area = qobject_cast<QScrollArea *>(parent)) {
            if (area->widget() && area->widget()->isAncestorOf(widget))
                area->ensureWidgetVisible(widget, 0, 0);
        }
    }
}

void mouseAt(QWidget *widget, QPoint at, Qt::MouseButton button, bool click)
{
    scrollIntoView(widget);
    QWindow *window = platformWindow(widget, at);
    if (!window) {
        qWarning("%s is not shown", qPrintable(widget->objectName()));
        return;
    }
    if (click)
        QTest::mouseClick(window, button, Qt::NoModifier, at);
    else
        QTest::mouseMove(window, at);
}

// Keys go to the platform window that has the focus, and from there to
// its focus widget or to an open popup, as for a user.
void key(QWidget *widget, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWindow *window = QGuiApplication::focusWindow();
    if (!window)
        window = widget->window()->windowHandle();
    QTest::keyClick(window, key, modifiers);
}

} // namespace

void clickAt(QWidget *widget, QPoint at, Qt::MouseButton button)
{
    mouseAt(widget, at, button, true);
}

void pressKey(QWidget *widget, Qt::Key k, Qt::KeyboardModifiers modifiers)
{
    widget->setFocus(Qt::TabFocusReason);
    key(widget, k, modifiers);
}


bool pickWithMouse(QComboBox *combo, int index)
{
    if (index < 0 || index >= combo->count()) {
        qWarning("%s has no entry %d", qPrintable(combo->objectName()), index);
        return false;
    }
    clickAt(combo, combo->rect().center());
    if (!waitForPopup(combo, true))
        return false;
    QAbstractItemView *view = combo->view();
    const QModelIndex item = entry(combo, index);
    // What the wheel does for a user when the entry is below the fold.
    view->scrollTo(item);
    // The opened list takes no click within a double click of the one that
    // opened it, as for a user.
    QTest::qWait(QApplication::doubleClickInterval() + 20);
    const QPoint at = view->visualRect(item).center();
    mouseAt(view->viewport(), at, Qt::NoButton, false);
    clickAt(view->viewport(), at);
    if (!waitForPopup(combo, false))
        return false;
    settle(combo);
    return true;
}

bool pickWithKeys(QComboBox *combo, int index)
{
    if (index < 0 || index >= combo->count()) {
        qWarning("%s has no entry %d", qPrintable(combo->objectName()), index);
        return false;
    }
    // The user tabs to the list, opens it and moves in it.
    combo->setFocus(Qt::TabFocusReason);
    key(combo, Qt::Key_Down, Qt::AltModifier);
    if (!waitForPopup(combo, true))
        return false;
    QAbstractItemView *view = combo->view();
    for (int guard = 0; view->currentIndex().row() != index && guard <= combo->count(); ++guard)
        key(view, view->currentIndex().row() < index ? Qt::Key_Down : Qt::Key_Up);
    key(view, Qt::Key_Return);
    if (!waitForPopup(combo, false))
        return false;
    settle(combo);
    return true;
}

bool pickCodeWithMouse(QComboBox *combo, const QString &code)
{
    const int index = indexOfCode(combo, code);
    if (index < 0) {
        qWarning("%s offers no code %s", qPrintable(combo->objectName()), qPrintable(code));
        return false;
    }
    return pickWithMouse(combo, index);
}

bool openAndEscape(QComboBox *combo)
{
    clickAt(combo, combo->rect().center());
    if (!waitForPopup(combo, true))
        return false;
    key(combo->view(), Qt::Key_Escape);
    if (!waitForPopup(combo, false))
        return false;
    settle(combo);
    return true;
}

void clickButton(QAbstractButton *button)
{
    clickAt(button, button->rect().center());
}

void clickHeader(QTreeWidget *table, int column)
{
    QHeaderView *header = table->header();
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

void clickRow(QTreeWidget *list, QTreeWidgetItem *row)
{
    list->scrollToItem(row);
    clickAt(list->viewport(), list->visualItemRect(row).center());
}

void doubleClickRow(QTreeWidget *list, QTreeWidgetItem *row)
{
    list->scrollToItem(row);
    QWidget *viewport = list->viewport();
    scrollIntoView(viewport);
    QPoint at = list->visualItemRect(row).center();
    QWindow *window = platformWindow(viewport, at);
    QTest::mouseDClick(window, Qt::LeftButton, Qt::NoModifier, at);
}

void typeInto(QLineEdit *edit, const QString &text)
{
    clickAt(edit, QPoint(edit->width() - 4, edit->height() / 2));
    key(edit, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        key(edit, Qt::Key_Delete);
    else
        for (const QChar c : text) {
            const Qt::Key code = c.isLetterOrNumber() && c.unicode() < 128 ? Qt::Key(c.toUpper().unicode())
                                                                           : Qt::Key_unknown;
            QTest::sendKeyEvent(QTest::Click, QGuiApplication::focusWindow(), code, QString(c), Qt::NoModifier);
        }
}

bool openTrackingTable(TFicheTDB &window, TABSDatabase *db, bool admin, const QString &user)
{
    window.SetDatabase(db);
    window.SetAdmin(admin);
    window.SetUser(user);
    window.show();
    return QTest::qWaitFor([&window] { return window.activation()->count() >= 1; });
}

ProgramWindow::ProgramWindow(const QString &className)
{
    fillOrganisation(file);
    db.SetDatabaseFileName(file.path());
    const QString level = QStringLiteral("Chef de secteur");
    if (className == QLatin1String("TFicheTDB")) {
        auto table = std::make_unique<TFicheTDB>(nullptr);
        table->SetDatabase(&db);
        table->SetAdmin(true);
        window = std::move(table);
    } else if (className == QLatin1String("TFicheParamNiveau")) {
        auto levels = std::make_unique<TFicheParamNiveau>(nullptr);
        levels->SetDatabase(&db);
        levels->SetLevelLabel(level);
        window = std::move(levels);
    } else if (className == QLatin1String("TFicheParamNiveauAgence")) {
        auto links = std::make_unique<TFicheParamNiveauAgence>(nullptr);
        links->SetDatabase(&db);
        links->SetLevelLabel(level);
        window = std::move(links);
    } else {
        auto main = std::make_unique<TFichePrincipale>(nullptr);
        main->SetDatabasePath(file.path());
        main->SetAdmin(true);
        window = std::move(main);
    }
}

bool ProgramWindow::show()
{
    window->show();
    return QTest::qWaitForWindowExposed(window.get());
}

OpenedTable::OpenedTable(bool admin, const QString &user, const std::function<void(TestDatabase &)> &fill)
{
    fill(file);
    db.SetDatabaseFileName(file.path());
    opened = openTrackingTable(window, &db, admin, user);
}

QTreeWidget *OpenedTable::table() const
{
    return window.findChild<QTreeWidget *>(QStringLiteral("lvData"));
}

QComboBox *OpenedTable::combo(const char *name) const
{
    return window.findChild<QComboBox *>(QLatin1String(name));
}

double contrastRatio(const QColor &one, const QColor &other)
{
    const auto luminance = [](const QColor &c) {
        const auto light = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * light(c.redF()) + 0.7152 * light(c.greenF()) + 0.0722 * light(c.blueF());
    };
    const double a = luminance(one), b = luminance(other);
    return (qMax(a, b) + 0.05) / (qMin(a, b) + 0.05);
}
