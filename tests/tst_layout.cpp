// The windows on real screens: nothing a user needs is cut, whatever the
// fonts, and every control stays reachable on a small screen.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "ui/filedialogs.h"
#include "ui/fitting.h"
#include "charts/tfichetrend.h"
#include "app/tficheprincipale.h"
#include "dashboard/tfichetdb.h"
#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"
#include "tools/common/samplegenerator.h"

#include <QAbstractItemView>
#include <QChartView>
#include <QComboBox>
#include <QFileDialog>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsTextItem>
#include <QTreeView>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeWidget>
#include <QtTest>

namespace {

const QString LongAgency = QStringLiteral("Agence de Saint-Rémy-de-Provence-les-Bains");

// The organisation, with a long level label, an agency of 40 characters and
// more, and an amount above ten million.
void fillLong(TestDatabase &db)
{
    fillOrganisation(db);
    db.addUser("U6", "Gaëlle Lefèvre-Dumontier de la Roche");
    db.addLevel("U6", "Secteur Bourgogne-Franche-Comté");
    db.addAgency("A7", LongAgency);
    db.link("U1", "A7");
    db.link("U6", "A7");
    addFigures(db, thisYear(), thisMonth(), "A7", "U6", "F1", 12345678.9, 2469135.78, 3456789.12, 5, 123, 45);
}

// What a list's delegate needs around a text.
int textMargins(const QWidget *widget)
{
    return 2 * (widget->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1);
}

// The cells and captions of `list` that do not fit their column, as
// "row,column: text".
QStringList cutTexts(const QTreeWidget *list)
{
    QStringList cut;
    const QFontMetrics cells(list->font());
    const QFontMetrics captions(list->header()->font());
    const int headerMargin = 2 * list->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, list->header());
    for (int c = 0; c < list->columnCount(); ++c) {
        const QString caption = list->headerItem()->text(c);
        if (captions.horizontalAdvance(caption) + headerMargin > list->columnWidth(c))
            cut << QStringLiteral("caption %1: %2").arg(c).arg(caption);
        for (int r = 0; r < list->topLevelItemCount(); ++r) {
            const QString text = list->topLevelItem(r)->text(c);
            if (cells.horizontalAdvance(text) + textMargins(list) > list->columnWidth(c))
                cut << QStringLiteral("%1,%2: %3").arg(r).arg(c).arg(text);
        }
    }
    return cut;
}

// Pretends the screen's available area is `area` for the life of the guard.
struct Screen
{
    explicit Screen(QRect area) { Fitting::setAvailableGeometryForTests(area); }
    ~Screen() { Fitting::setAvailableGeometryForTests(std::nullopt); }
};

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void tableFitsItsTexts_data();
    void tableFitsItsTexts();
    void formWidthsWhereThereIsRoom();
    void popupsFitTheirEntries();
    void levelWindowsShowEverything_data();
    void levelWindowsShowEverything();
    void smallScreens_data();
    void smallScreens();
    void noScrollBarsForAScalesRounding_data();
    void noScrollBarsForAScalesRounding();
    void trendAxisInTheUsersFormat();
    void trendTicksAreWholeNumbers_data();
    void trendTicksAreWholeNumbers();
    void trendCountsNeverOverprint_data();
    void trendCountsNeverOverprint();
    void fileDialogInFrench();
    void statusLineNamesAnEmptyMonth_data();
    void statusLineNamesAnEmptyMonth();
};

void TestLayout::tableFitsItsTexts_data()
{
    QTest::addColumn<QStringList>("picks"); // list=code, in order
    QTest::addColumn<QString>("row");        // a row the table shows
    QTest::newRow("levels") << QStringList{} << "Secteur Bourgogne-Franche-Comté";
    QTest::newRow("agencies") << QStringList{"cblNiveau=U1"} << LongAgency;
    QTest::newRow("users") << QStringList{"cblNiveau=U6", "cblAgence=A7"} << "Gaëlle Lefèvre-Dumontier de la Roche";
}

// The label column and the figure columns widen to their longest text and
// their caption: no text is cut, no amount is shown abbreviated.
void TestLayout::tableFitsItsTexts()
{
    QFETCH(QStringList, picks);
    QFETCH(QString, row);

    OpenedTable open(true, QString(), fillLong);
    QVERIFY(open.opened);
    for (const QString &pick : picks)
        QVERIFY(pickCodeWithMouse(open.combo(qPrintable(pick.section('=', 0, 0))), pick.section('=', 1)));
    QTreeWidget *table = open.table();
    QVERIFY2(firstColumn(table).contains(row), qPrintable(firstColumn(table).join('|')));
    QCOMPARE(cutTexts(table), QStringList());
    if (picks.size() == 1) {
        const int rowOfLong = firstColumn(table).indexOf(LongAgency);
        QCOMPARE(table->topLevelItem(rowOfLong)->text(1), QStringLiteral("12345678.90"));
    }
    // A column has room for the sort arrow beside its caption: sorting by
    // it moves nothing.
    QHeaderView *header = table->header();
    const int unsorted = table->columnWidth(8);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(header->sectionViewportPosition(8) + header->sectionSize(8) / 2, header->height() / 2));
    QCOMPARE(table->header()->sortIndicatorSection(), 8);
    QCOMPARE(table->columnWidth(8), unsorted);
    QCOMPARE(cutTexts(table), QStringList());
}

// On a screen with room, the columns keep at least the form's widths.
void TestLayout::formWidthsWhereThereIsRoom()
{
    OpenedTable open(true);
    QVERIFY(open.opened);
    open.window.resize(1600, 800);
    QTRY_VERIFY(open.table()->width() > 1500);
    QCOMPARE(cutTexts(open.table()), QStringList());
    QVERIFY(!open.table()->horizontalScrollBar()->isVisible());
}

// An opened list is as wide as its longest entry.
void TestLayout::popupsFitTheirEntries()
{
    OpenedTable open(true, QString(), fillLong);
    QVERIFY(open.opened);
    QVERIFY(pickCodeWithMouse(open.combo("cblNiveau"), "U1"));
    QComboBox *agencies = open.combo("cblAgence");
    clickAt(agencies, agencies->rect().center());
    QAbstractItemView *view = agencies->view();
    QTRY_VERIFY(view->isVisible());
    const int needed = view->fontMetrics().horizontalAdvance(LongAgency) + textMargins(view);
    QVERIFY(view->viewport()->width() >= needed);
    QVERIFY(view->window()->width() > agencies->width());
    QTest::keyClick(view, Qt::Key_Escape);
    QTRY_VERIFY(!view->isVisible());
    // Closed, the box shows a cut entry whole in its tooltip.
    QVERIFY(pickCodeWithMouse(agencies, "A7"));
    QCOMPARE(agencies->toolTip(), LongAgency);
    QVERIFY(pickWithMouse(agencies, 0));
    QCOMPARE(agencies->toolTip(), QString());
}

void TestLayout::levelWindowsShowEverything_data()
{
    QTest::addColumn<bool>("agencyWindow");
    QTest::newRow("levels") << false;
    QTest::newRow("agencies of a level") << true;
}

// With the sample organisation, the level lists show every text in full,
// without a horizontal scroll bar; "Code" is as wide as the codes.
void TestLayout::levelWindowsShowEverything()
{
    QFETCH(bool, agencyWindow);
    SKIP_ON_SERVER("the sample is written to a file here");
    QTemporaryDir dir;
    SampleOptions options;
    options.path = dir.filePath(QStringLiteral("exemple.db"));
    options.rows = 0;
    SampleGenerator(options).run();
    TABSDatabase db;
    db.SetDatabaseFileName(options.path);
    ScriptedMessages boxes;

    QScopedPointer<QDialog> window(agencyWindow ? static_cast<QDialog *>(new TFicheParamNiveauAgence(nullptr))
                                                : new TFicheParamNiveau(nullptr));
    if (agencyWindow) {
        static_cast<TFicheParamNiveauAgence *>(window.data())->SetDatabase(&db);
        static_cast<TFicheParamNiveauAgence *>(window.data())->SetLevelLabel("Chef de secteur");
    } else {
        static_cast<TFicheParamNiveau *>(window.data())->SetDatabase(&db);
        static_cast<TFicheParamNiveau *>(window.data())->SetLevelLabel("Chef de secteur");
    }
    window->show();
    auto *list = window->findChild<QTreeWidget *>("lvNiveau");
    QTRY_VERIFY(list->topLevelItemCount() > 0);
    if (agencyWindow) {
        // The level with the most agencies.
        QComboBox *levels = window->findChild<QComboBox *>("cblNiveaux");
        int most = 0;
        for (int i = 0; i < levels->count(); ++i) {
            QVERIFY(pickWithMouse(levels, i));
            if (list->topLevelItemCount() > most)
                most = list->topLevelItemCount();
        }
        QVERIFY(most >= 5);
    }
    QTest::qWait(50);
    QCOMPARE(cutTexts(list), QStringList());
    QVERIFY(!list->horizontalScrollBar()->isVisible());
    QVERIFY2(list->columnWidth(1) < 100, qPrintable(QString::number(list->columnWidth(1))));
    QVERIFY(boxes.shown().isEmpty());
}

void TestLayout::smallScreens_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QRect>("area");
    const QList<QPair<const char *, QRect>> screens{
        {"1280x720 at 125%", QRect(0, 0, 1024, 576)},
        {"1280x720", QRect(0, 0, 1280, 690)}, // a panel takes 30 px
        {"1366x768", QRect(0, 0, 1366, 738)},
        {"1920x1080", QRect(0, 0, 1920, 1050)},
    };
    for (const char *window : {"TFicheTDB", "TFicheParamNiveau", "TFicheParamNiveauAgence", "TFichePrincipale"})
        for (const auto &[name, area] : screens)
            QTest::addRow("%s, %s", window, name) << QString::fromLatin1(window) << area;
}

// A window opens no larger than the screen's available area; what does not
// fit scrolls, and every control can be brought into view. Where the form
// fits, nothing moves.
void TestLayout::smallScreens()
{
    QFETCH(QString, window);
    QFETCH(QRect, area);

    Screen screen(area);
    ProgramWindow made(window);
    QWidget *shown = made.window.get();
    const QSize form = window == QLatin1String("TFicheTDB")  ? QSize(1246, 695)
        : window == QLatin1String("TFichePrincipale")       ? QSize(673, 330)
                                                             : QSize(515, 489);
    QVERIFY(made.show());
    QTest::qWait(50);

    QVERIFY(shown->width() <= area.width() && shown->height() <= area.height());
    auto *scroller = shown->findChild<QScrollArea *>("pageArea");
    QVERIFY(scroller);
    QWidget *page = scroller->widget();
    const QRect reachable(QPoint(0, 0), QSize(scroller->viewport()->width() + scroller->horizontalScrollBar()->maximum(),
                                              scroller->viewport()->height() + scroller->verticalScrollBar()->maximum()));
    for (QWidget *control : page->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!control->isVisibleTo(page))
            continue;
        QVERIFY2(reachable.contains(control->geometry()), qPrintable(control->objectName()));
    }
    // Where the form fits, its layout is kept.
    if (form.width() <= area.width() && form.height() <= area.height()) {
        QCOMPARE(shown->size(), form);
        QCOMPARE(scroller->horizontalScrollBar()->maximum(), 0);
        QCOMPARE(scroller->verticalScrollBar()->maximum(), 0);
    }
    if (window == QLatin1String("TFicheTDB")) {
        // The table gives up height first: its buttons need no scrolling.
        QCOMPARE(scroller->verticalScrollBar()->maximum(), 0);
        auto *exporter = shown->findChild<QPushButton *>("btnExporter");
        QVERIFY(exporter->mapTo(page, QPoint(0, exporter->height())).y() <= scroller->viewport()->height());
    }
    if (!qobject_cast<QDialog *>(shown)) {
        // A window of its own opens in the middle of the screen.
        QVERIFY(qAbs(shown->geometry().center().x() - area.center().x()) <= 2);
    }
}

// A window that a scale factor's rounding leaves a pixel short of its form
// (the main window at 150 %: 673 × 330 is 1010 × 494 pixels) shows its
// page whole, without scroll bars for that pixel.
void TestLayout::noScrollBarsForAScalesRounding_data()
{
    QTest::addColumn<QString>("window");
    QTest::newRow("main window") << "TFichePrincipale";
    QTest::newRow("levels") << "TFicheParamNiveau";
}

void TestLayout::noScrollBarsForAScalesRounding()
{
    QFETCH(QString, window);
    ProgramWindow made(window);
    QWidget *shown = made.window.get();
    const QSize form = shown->size();
    QVERIFY(made.show());
    shown->resize(form - QSize(1, 1));
    QTRY_COMPARE(shown->size(), form - QSize(1, 1));
    auto *scroller = shown->findChild<QScrollArea *>("pageArea");
    QVERIFY(scroller);
    QTest::qWait(20);
    QVERIFY(!scroller->horizontalScrollBar()->isVisible());
    QVERIFY(!scroller->verticalScrollBar()->isVisible());
}

namespace {
// Every text the chart draws: titles, axis ticks, point labels.
QStringList drawnTexts(QGraphicsScene *scene)
{
    QStringList out;
    for (QGraphicsItem *item : scene->items()) {
        if (auto *text = dynamic_cast<QGraphicsTextItem *>(item))
            out << text->toPlainText();
        else if (auto *simple = dynamic_cast<QGraphicsSimpleTextItem *>(item))
            out << simple->text();
    }
    return out;
}
} // namespace

// The trend's value axis and point labels read as numbers do on a French
// desktop, with their thousands separated.
void TestLayout::trendAxisInTheUsersFormat()
{
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    TFicheTrend chart(nullptr);
    chart.AddMonth(QStringLiteral("2026-11"), 8123456.5, 1500000, 1863, 726);
    chart.AddMonth(QStringLiteral("2026-12"), 6000000, 1200000, 2014, 807);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QTest::qWait(100);
    QStringList texts;
    for (QChartView *view : chart.findChildren<QChartView *>())
        texts << drawnTexts(view->scene());
    // French separates thousands by a space (a no-break one in the
    // locale's own text).
    const QRegularExpression grouped(QStringLiteral("^8[ \\x{00A0}\\x{202F}]000[ \\x{00A0}\\x{202F}]000$"));
    QVERIFY2(texts.indexOf(grouped) >= 0, qPrintable(texts.join(QLatin1Char('|'))));
    for (const QString &text : texts)
        QVERIFY2(!QRegularExpression(QStringLiteral("^\\d{4,}$")).match(text).hasMatch(), qPrintable(text));
}

// A selection whose values are all 0, or a few units, gets ticks one unit
// apart: never two ticks that read the same ("0, 0, 0, 1, 1, 1").
void TestLayout::trendTicksAreWholeNumbers_data()
{
    QTest::addColumn<QVector<double>>("values"); // one a month, every series
    QTest::newRow("all zero") << QVector<double>{0, 0, 0};
    QTest::newRow("flat at one") << QVector<double>{1, 1, 1};
    QTest::newRow("up to three") << QVector<double>{0, 2, 3};
    QTest::newRow("a loss under one") << QVector<double>{0, -0.4, 0.2};
}

void TestLayout::trendTicksAreWholeNumbers()
{
    QFETCH(QVector<double>, values);
    TFicheTrend chart(nullptr);
    for (int i = 0; i < values.size(); ++i)
        chart.AddMonth(QStringLiteral("2026-%1").arg(i + 1, 2, 10, QLatin1Char('0')), values.at(i), values.at(i),
                       values.at(i), values.at(i));
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QTest::qWait(100);
    for (QChartView *view : chart.findChildren<QChartView *>()) {
        // The axis's ticks (the values written beside the points are
        // simple text items).
        QStringList ticks;
        for (QGraphicsItem *item : view->scene()->items()) {
            if (auto *text = dynamic_cast<QGraphicsTextItem *>(item))
                ticks << text->toPlainText();
        }
        ticks = ticks.filter(QRegularExpression(QStringLiteral("^-?\\d+$")));
        QStringList distinct = ticks;
        distinct.removeDuplicates();
        QVERIFY2(ticks.size() >= 2 && distinct.size() == ticks.size(), qPrintable(ticks.join(QLatin1Char('|'))));
    }
}

// Every month's two counts are written inside the plot, never one over the
// other however close the two lines run, and readable on what lies under.
void TestLayout::trendCountsNeverOverprint_data()
{
    QTest::addColumn<double>("quotes");
    QTest::addColumn<double>("orders");
    QTest::newRow("close") << 29.0 << 27.0;
    QTest::newRow("equal") << 5.0 << 5.0;
    QTest::newRow("orders above") << 12.0 << 14.0;
}

void TestLayout::trendCountsNeverOverprint()
{
    QFETCH(double, quotes);
    QFETCH(double, orders);
    TFicheTrend chart(nullptr);
    chart.AddMonth(QStringLiteral("2026-11"), 1000, 100, 400, 10);
    chart.AddMonth(QStringLiteral("2026-12"), 1000, 100, quotes, orders);
    chart.AddYearEarlier(900, 90, 380, 8);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QTest::qWait(100);
    QChartView *counts = chart.findChild<QChartView *>(QStringLiteral("Chart2"));
    QList<QGraphicsSimpleTextItem *> labels;
    for (QGraphicsItem *item : counts->scene()->items()) {
        auto *text = dynamic_cast<QGraphicsSimpleTextItem *>(item);
        if (text && text->isVisible() && (text->text() == QString::number(quotes) || text->text() == QString::number(orders)))
            labels << text;
    }
    QCOMPARE(labels.size(), 2);
    QVERIFY(!labels.at(0)->sceneBoundingRect().intersects(labels.at(1)->sceneBoundingRect()));
    // The highest, 400, round as an axis's top, is written inside the plot.
    const QRectF plot = static_cast<QChart *>(counts->chart())->plotArea();
    for (QGraphicsItem *item : counts->scene()->items()) {
        if (auto *text = dynamic_cast<QGraphicsSimpleTextItem *>(item); text && text->text() == QLatin1String("400"))
            QVERIFY(plot.contains(text->sceneBoundingRect()));
    }
    // Each reads on what is drawn under it: its commonest colour there is
    // the ground, with a contrast ratio of at least 4.5 to the ink.
    const QImage shown = counts->grab().toImage();
    for (QGraphicsSimpleTextItem *label : labels) {
        const QRect box = counts->mapFromScene(label->sceneBoundingRect()).boundingRect() & shown.rect();
        QMap<QRgb, int> seen;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                ++seen[shown.pixel(x, y)];
        QVERIFY(!seen.isEmpty());
        const QRgb ground = std::max_element(seen.keyValueBegin(), seen.keyValueEnd(), [](auto a, auto b) {
                                return a.second < b.second;
                            })->first;
        QVERIFY2(contrastRatio(label->brush().color(), QColor(ground)) >= 4.5, qPrintable(QColor(ground).name()));
    }
}

// Qt's own file dialog, where Qt's translations leave a word in English.
void TestLayout::fileDialogInFrench()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("exports")));
    writeFile(dir.filePath(QStringLiteral("tableau.xlsx")), "x");
    QStringList kinds;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        auto *list = dialog->findChild<QTreeView *>(QStringLiteral("treeView"));
        QAbstractItemModel *model = list ? list->model() : nullptr;
        const QModelIndex root = list ? list->rootIndex() : QModelIndex();
        if (!model || model->rowCount(root) < 2)
            return;
        for (int r = 0; r < model->rowCount(root); ++r)
            kinds << model->index(r, 0, root).data().toString() + QLatin1Char('=') + model->index(r, 2, root).data().toString();
        poll.stop();
        dialog->reject();
    });
    poll.start(50);
    QWidget owner;
    owner.show();
    const QString chosen = FileDialogs::getSaveFileName(&owner, QStringLiteral("Exporter"), dir.path(),
                                                        QStringLiteral("Classeur Excel (*.xlsx)"));
    QCOMPARE(chosen, QString());
    kinds.sort();
    QCOMPARE(kinds, (QStringList{"exports=Dossier", "tableau.xlsx=Fichier XLSX"}));
}

// Every figure 0 because the month holds no fact at all: the status line
// says so and names the last month that holds one. Figures that are 0 for
// the selection only (a supplier without sales) are no empty month. On the
// levels' rows, it tells of agencies linked to no level.
void TestLayout::statusLineNamesAnEmptyMonth_data()
{
    QTest::addColumn<QString>("remove"); // facts deleted before the window opens
    QTest::addColumn<bool>("linkAll"); // the agency of no level linked too
    QTest::addColumn<QString>("supplier"); // picked in the supplier list
    QTest::addColumn<int>("lastMonthBack"); // the month named, months back (-1: no word)
    const QString current = QStringLiteral("period_year = %1 AND period_month = %2").arg(thisYear()).arg(thisMonth());
    QTest::newRow("facts this month") << QString() << true << QString() << -1;
    QTest::newRow("an agency of no level") << QString() << false << QString() << -2;
    QTest::newRow("facts stop last month") << current << false << QString() << 1;
    QTest::newRow("a supplier without sales") << QString() << true << "F3" << -1;
    QTest::newRow("no fact at all") << "1 = 1" << true << QString() << 0;
}

void TestLayout::statusLineNamesAnEmptyMonth()
{
    QFETCH(QString, remove);
    QFETCH(bool, linkAll);
    QFETCH(QString, supplier);
    QFETCH(int, lastMonthBack);
    OpenedTable open(true, QString(), [&](TestDatabase &db) {
        fillOrganisation(db);
        db.addSupplier("F3", "Fournisseur sans ventes");
        if (linkAll)
            db.link("U1", "A3");
        else // a label that looks like markup shows as it is written
            db.exec("UPDATE dim_agence SET libelle = '<b>Agence</b> de Lyon' WHERE code = 'A3'");
        if (!remove.isEmpty())
            db.exec("DELETE FROM data WHERE " + remove);
    });
    QVERIFY(open.opened);
    if (!supplier.isEmpty())
        QVERIFY(pickCodeWithMouse(open.combo("cblFournisseur"), supplier));
    const QString month = QDate(thisYear(), thisMonth(), 1).toString(QStringLiteral("yyyy-MM"));
    const QString last = QDate(thisYear(), thisMonth(), 1).addMonths(-lastMonthBack).toString(QStringLiteral("yyyy-MM"));
    const QString unlinked = QStringLiteral("Une agence n'est rattachée à aucun niveau : ses chiffres ne comptent dans "
                                            "aucune ligne ni dans le total.");
    const QString expected = lastMonthBack == -1 ? QString()
        : lastMonthBack == -2 ? unlinked
        : lastMonthBack == 0
        ? QStringLiteral("La base ne contient aucun chiffre : tous les montants sont à 0 en %1.").arg(month)
        : QStringLiteral("Aucun chiffre en %1 dans la base : le dernier mois qui en a est %2.").arg(month, last);
    QLabel *status = open.window.findChild<QLabel *>("lblStatut");
    QCOMPARE(status->text(), expected);
    QCOMPARE(status->toolTip(),
             lastMonthBack == -2 ? QStringLiteral("Agences sans niveau :\n<b>Agence</b> de Lyon") : QString());
    QVERIFY(!Qt::mightBeRichText(status->toolTip()));
    // A level chosen: its rows are its agencies, all linked.
    if (lastMonthBack == -2) {
        QVERIFY(pickCodeWithMouse(open.combo("cblNiveau"), "U1"));
        QCOMPARE(status->text(), QString());
    }
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
