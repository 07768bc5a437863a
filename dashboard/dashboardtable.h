#pragma once

#include <QHeaderView>
#include <QTreeWidget>

// The tracking table's list: a tree widget that keeps a strip under its
// rows, inside its frame, for a line of its own (the totals).
class DashboardTable : public QTreeWidget
{
    Q_OBJECT
public:
    using QTreeWidget::QTreeWidget;

    // Keeps `height` pixels under the rows, between them and the
    // horizontal scroll bar.
    void setFooterHeight(int height)
    {
        m_footer = height;
        updateGeometries();
    }

protected:
    // The tree sets the margins for its header; the footer's strip goes
    // with them.
    void updateGeometries() override
    {
        QTreeWidget::updateGeometries();
        setViewportMargins(0, header()->isHidden() ? 0 : header()->sizeHint().height(), 0, m_footer);
    }

private:
    int m_footer = 0;
};
