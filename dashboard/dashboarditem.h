#pragma once

#include "dashboard/dashboardfigures.h"

#include <QStyledItemDelegate>
#include <QTreeWidgetItem>

// A row of the tracking table. Besides the texts it shows, it keeps the
// value behind each figure and its place in the row statement's order, so
// that a click on a column header sorts numbers as numbers and labels in
// French order.
class DashboardItem : public QTreeWidgetItem
{
public:
    // The number behind a figure cell (double).
    static constexpr int SortValueRole = Qt::UserRole + 1;
    // The row's place in the order of the row statement (int).
    static constexpr int StatementOrderRole = Qt::UserRole + 2;

    DashboardItem(QTreeWidget *view, const DashboardRow &row, int statementOrder);

    int statementOrder() const;

    // By the tree's sort column: labels by labelLess, figures by value.
    bool operator<(const QTreeWidgetItem &other) const override;
};

// Draws a compared figure's two lines: the figure as any cell, under it
// the comparison's value and the change in a lighter text, so that the eye
// goes first to the figures of the period chosen. A cell of one line is
// drawn as usual.
class ComparedCellDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};

// French collation order (accents and case counted after the letters,
// digits by their value: "Agence 9" before "Agence 10").
bool labelLess(const QString &a, const QString &b);
