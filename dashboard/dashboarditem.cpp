#include "dashboard/dashboarditem.h"

#include "dashboard/tableexport.h"

#include <QCollator>

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

bool labelLess(const QString &a, const QString &b)
{
    static const QCollator collator = [] {
        QCollator french{QLocale(QLocale::French, QLocale::France)};
        french.setNumericMode(true);
        return french;
    }();
    return collator.compare(a, b) < 0;
}
