#include "ui/fitting.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace Fitting {

namespace {

std::optional<QRect> &availableOverride()
{
    static std::optional<QRect> area;
    return area;
}

// Sizes a window to the screen as it is first shown: before the platform
// shows it, and before a dialog centres itself on its owner.
class OpenWithinScreen : public QObject
{
public:
    explicit OpenWithinScreen(QWidget *window) : QObject(window) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Show || m_done)
            return false;
        m_done = true;
        auto *window = static_cast<QWidget *>(watched);
        // The captions as wide as their text in the fonts of this system.
        widenLabels(window);
        const QRect area = availableGeometry(window);
        // The frame a window manager adds around the window, as it framed
        // the window's owner.
        QMargins frame;
        if (const QWidget *owner = window->parentWidget() ? window->parentWidget()->window() : nullptr) {
            const QRect outer = owner->frameGeometry();
            const QRect inner = owner->geometry();
            frame = QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                             outer.bottom() - inner.bottom());
        }
        const QSize room(area.width() - frame.left() - frame.right(), area.height() - frame.top() - frame.bottom());
        const QSize size = window->size().boundedTo(room);
        if (size != window->size())
            window->resize(size);
        if (!qobject_cast<QDialog *>(window)) {
            // A window of its own (no owner to centre on): the middle of
            // the screen.
            QRect placed(QPoint(), size + QSize(frame.left() + frame.right(), frame.top() + frame.bottom()));
            placed.moveCenter(area.center());
            window->move(placed.topLeft());
        }
        return false;
    }

private:
    bool m_done = false;
};

// What the caption of `section` needs: its text, what the style keeps
// around a section's text (padding, border), and the room of the sort
// arrow, the same whether the column is sorted or not, so that a click on
// a caption moves no column. (The header's own size hint counts the arrow
// as wide as the header is tall, and margins that are not drawn.)
int captionWidth(const QHeaderView *header, int section)
{
    QStyleOptionHeader option;
    option.initFrom(header);
    option.state |= QStyle::State_Horizontal;
    option.orientation = Qt::Horizontal;
    option.section = section;
    option.text = header->model()->headerData(section, Qt::Horizontal).toString();
    option.rect = QRect(0, 0, 1000, qMax(header->height(), header->sizeHint().height()));
    const QStyle *style = header->style();
    const int plain = style->subElementRect(QStyle::SE_HeaderLabel, &option, header).width();
    option.sortIndicator = QStyleOptionHeader::SortDown;
    const QRect label = style->subElementRect(QStyle::SE_HeaderLabel, &option, header);
    if (!label.isValid() || label.width() >= option.rect.width())
        return header->sectionSizeHint(section);
    // Some styles leave the arrow's room out of the label they report, a
    // style sheet only out of the label it draws.
    const QRect arrow = style->subElementRect(QStyle::SE_HeaderArrow, &option, header);
    const int arrowRoom = label.width() < plain || !arrow.isValid() ? 0 : arrow.width();
    int widest = 0;
    for (const QString &line : option.text.split(QLatin1Char('\n')))
        widest = qMax(widest, header->fontMetrics().horizontalAdvance(line));
    return option.rect.width() - label.width() + arrowRoom + widest + 1;
}

} // namespace

void fitColumns(QTreeWidget *list, const QVector<int> &minimum, const QStringList &footer, const QFont &footerFont)
{
    QHeaderView *header = list->header();
    // Every row counts, not only those in view.
    header->setResizeContentsPrecision(-1);
    const int columns = list->columnCount();
    QVector<int> needed(columns);
    for (int i = 0; i < columns; ++i)
        needed[i] = captionWidth(header, i);
    auto *view = static_cast<QAbstractItemView *>(list);
    const QFontMetrics footerMetrics(footerFont);
    const int margins = 2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
    for (int i = 0; i < columns; ++i) {
        needed[i] = qMax(needed.at(i), view->sizeHintForColumn(i));
        if (i < footer.size()) {
            for (const QString &line : footer.at(i).split(QLatin1Char('\n')))
                needed[i] = qMax(needed.at(i), footerMetrics.horizontalAdvance(line) + margins);
        }
    }

    QVector<int> widths(columns);
    int total = 0;
    for (int i = 0; i < columns; ++i) {
        widths[i] = qMax(minimum.value(i), needed.at(i));
        total += widths.at(i);
    }
    // Where the form's widths and the texts together are wider than the
    // list, the columns give back what the form gave them beyond their
    // text, so that no scroll bar hides a column that would fit.
    int room = list->width() - 2 * list->frameWidth();
    const int rows = list->topLevelItemCount();
    if (rows > 0 && header->sizeHint().height() + rows * view->sizeHintForRow(0) > list->height() - 2 * list->frameWidth())
        room -= list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list->verticalScrollBar());
    for (int i = 0; i < columns && total > room; ++i) {
        const int giveBack = qMin(widths.at(i) - needed.at(i), total - room);
        widths[i] -= giveBack;
        total -= giveBack;
    }
    for (int i = 0; i < columns; ++i)
        list->setColumnWidth(i, widths.at(i));
}

void widenLabels(QWidget *window)
{
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (label->wordWrap())
            continue;
        label->ensurePolished();
        const int wanted = label->sizeHint().width();
        if (wanted > label->width())
            label->resize(wanted, label->height());
    }
}

namespace {
// The box's text field: its width less the arrow and the margins.
void showCutEntry(QComboBox *combo, const QString &text)
{
    const int room = combo->width() - 2 * combo->style()->pixelMetric(QStyle::PM_ComboBoxFrameWidth, nullptr, combo)
        - combo->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, combo) - 8;
    combo->setToolTip(combo->fontMetrics().horizontalAdvance(text) > room ? text : QString());
}
} // namespace

void fitPopup(QComboBox *combo)
{
    QAbstractItemView *view = combo->view();
    int widest = 0;
    const QFontMetrics metrics(view->font());
    for (int i = 0; i < combo->count(); ++i)
        widest = qMax(widest, metrics.horizontalAdvance(combo->itemText(i)));
    const QStyle *style = view->style();
    // The text's margins in a row, the list's frame, and the scroll bar
    // when the list has more entries than it shows.
    int width = widest + 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1) + 8
        + 2 * view->frameWidth();
    if (combo->count() > combo->maxVisibleItems())
        width += style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view->verticalScrollBar());
    view->setMinimumWidth(qMax(width, combo->width()));

    // A closed box too narrow for its entry shows the whole entry as its
    // tooltip.
    if (!combo->property("orvalis_tooltip").toBool()) {
        combo->setProperty("orvalis_tooltip", true);
        QObject::connect(combo, &QComboBox::currentTextChanged, combo,
                         [combo](const QString &text) { showCutEntry(combo, text); });
    }
    showCutEntry(combo, combo->currentText());
}

QWidget *scrollWhenScreenIsSmall(QWidget *window, QSize smallest)
{
    const bool growing = smallest.isValid();
    const QSize form = window->size();
    auto *area = new QScrollArea(window);
    area->setObjectName(QStringLiteral("pageArea"));
    area->setFrameShape(QFrame::NoFrame);
    // The controls take the focus, not what holds them.
    area->setFocusPolicy(Qt::NoFocus);
    // The page follows the window: a window of the form's size that a
    // scale factor's rounding leaves a pixel short (673 × 330 at 150 % is
    // 1010 × 494 pixels) shows its page whole, without scroll bars for
    // that pixel.
    area->setWidgetResizable(true);
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("page"));
    // The order Tab follows, as the form sets it: moving the controls
    // would change it.
    QList<QWidget *> order;
    for (QWidget *w = window->nextInFocusChain(); w && w != window; w = w->nextInFocusChain()) {
        if (w != area && !area->isAncestorOf(w) && window->isAncestorOf(w))
            order << w;
    }
    // The controls keep their places, on the page instead of the window.
    for (QWidget *control : window->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (control != area && !control->isWindow())
            control->setParent(page);
    }
    for (int i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order.at(i - 1), order.at(i));
    const QSize rounding(2, 2);
    page->setMinimumSize(growing ? smallest.boundedTo(form) : form - rounding);
    page->resize(form);
    area->setWidget(page);
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(area);
    window->resize(form);
    window->installEventFilter(new OpenWithinScreen(window));
    return page;
}

QRect availableGeometry(const QWidget *window)
{
    if (availableOverride())
        return *availableOverride();
    const QWidget *anchor = window->parentWidget() ? window->parentWidget()->window() : window;
    QScreen *screen = anchor->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1280, 1024);
}

void setAvailableGeometryForTests(std::optional<QRect> area)
{
    availableOverride() = area;
}

} // namespace Fitting
