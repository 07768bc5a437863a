#include "dashboard/dashboarditem.h"

#include "dashboard/tableexport.h"

#include <QApplication>
#include <QCollator>
#include <QPainter>

#include <cmath>

DashboardItem::DashboardItem(QTreeWidget *view, const DashboardRow &row, int statementOrder)
    : QTreeWidgetItem(view, row.cells(), QTreeWidgetItem::UserType)
{
    for (int c = 1; c < 10; ++c)
        setData(c, SortValueRole, TableExport::columnValue(row, c));
    setData(0, StatementOrderRole, statementOrder);
}

int DashboardItem::statementOrder() const
{
    return data(0, StatementOrderRole).toInt();
}

bool DashboardItem::operator<(const QTreeWidgetItem &other) const
{
    const QTreeWidget *view = treeWidget();
    const int column = view ? view->sortColumn() : 0;
    if (column <= 0)
        return labelLess(text(0), other.text(0));
    const double a = data(column, SortValueRole).toDouble();
    const double b = other.data(column, SortValueRole).toDouble();
    // A value that is no number sorts first, so the order stays a strict one.
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && !std::isnan(b);
    return a < b;
}

void ComparedCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                 const QModelIndex &index) const
{
    const QString text = index.data(Qt::DisplayRole).toString();
    const qsizetype cut = text.indexOf(QLatin1Char('\n'));
    if (cut < 0) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    cell.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    // Background, selection and focus as for any cell.
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
    const QRect room = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, widget)
                           .adjusted(style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1, 0,
                                     -(style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1), 0);
    const bool selected = cell.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = cell.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
    const QColor ink = cell.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    QColor light = ink;
    if (!selected) {
        const QColor base = cell.palette.color(group, QPalette::Base);
        light = QColor((ink.red() * 3 + base.red() * 2) / 5, (ink.green() * 3 + base.green() * 2) / 5,
                       (ink.blue() * 3 + base.blue() * 2) / 5);
    }
    const int line = cell.fontMetrics.height();
    const int top = room.top() + (room.height() - 2 * line) / 2;
    const int align = int(cell.displayAlignment & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter;
    painter->save();
    painter->setFont(cell.font);
    painter->setPen(ink);
    painter->drawText(QRect(room.left(), top, room.width(), line), align, text.left(cut));
    painter->setPen(light);
    painter->drawText(QRect(room.left(), top + line, room.width(), line), align, text.mid(cut + 1));
    painter->restore();
}

bool labelLess(const QString &a, const QString &b)
{
    static const QCollator collator = [] {
        QCollator french{QLocale(QLocale::French, QLocale::France)};
        french.setNumericMode(true);
        return french;
    }();
    return collator.compare(a, b) < 0;
}
