#pragma once

#include <QPointer>
#include <QStringList>
#include <QWidget>

class DashboardTable;

// The totals line under the tracking table: a line of its own, not a row
// of the table, drawn along the bottom edge of the table's frame, its cells
// under the table's columns (it follows their widths and the horizontal
// scrolling), in bold. Sorting the table does not move it.
class TotalsLine : public QWidget
{
    Q_OBJECT
public:
    // Makes room for the line inside `table`'s frame, under its rows.
    explicit TotalsLine(DashboardTable *table);

    void setCells(const QStringList &cells);
    QStringList cells() const { return m_cells; }

    // Where each cell's text stands (viewport coordinates of the table).
    QRect cellRect(int column) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();
    int lineHeight() const;

    DashboardTable *m_table;
    // Compared with as they are; the table is asked nothing while its
    // children go (it is no longer a table then).
    QPointer<QWidget> m_viewport;
    QStringList m_cells;
    int m_lines = 1;
};
