#include "dashboard/totalsline.h"

#include "dashboard/dashboardtable.h"
#include "dashboard/tableexport.h"

#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>

TotalsLine::TotalsLine(DashboardTable *table) : QWidget(table), m_table(table), m_viewport(table->viewport())
{
    setObjectName(QStringLiteral("lvTotal"));
    QFont bold = table->font();
    bold.setBold(true);
    setFont(bold);
    setAttribute(Qt::WA_OpaquePaintEvent);
    table->setFooterHeight(lineHeight());
    table->installEventFilter(this);
    m_viewport->installEventFilter(this);
    QHeaderView *header = table->header();
    connect(header, &QHeaderView::sectionResized, this, [this] { update(); });
    connect(header, &QHeaderView::sectionMoved, this, [this] { update(); });
    connect(table->horizontalScrollBar(), &QScrollBar::valueChanged, this, [this] { update(); });
    place();
}

void TotalsLine::setCells(const QStringList &cells)
{
    m_cells = cells;
    // A screen reader reaches the table's rows, not what is painted inside
    // its frame: the line is the table's accessible description too.
    QStringList spoken;
    for (int i = 1; i < cells.size(); ++i) {
        spoken << m_table->headerItem()->text(i) + QStringLiteral(" : ")
                + QString(cells.at(i)).replace(QLatin1Char('\n'), QLatin1Char(' '));
    }
    const QString said = cells.isEmpty() ? QString() : cells.at(0) + QStringLiteral(" – ") + spoken.join(QStringLiteral(" ; "));
    setAccessibleName(cells.value(0));
    setAccessibleDescription(said);
    m_table->setAccessibleDescription(said);
    // As many lines as the tallest cell (a compared table: two).
    int lines = 1;
    for (const QString &cell : cells)
        lines = qMax(lines, int(cell.count(QLatin1Char('\n'))) + 1);
    if (lines != m_lines) {
        m_lines = lines;
        m_table->setFooterHeight(lineHeight());
        place();
    }
    update();
}

int TotalsLine::lineHeight() const
{
    return m_lines * fontMetrics().height() + 6;
}

QRect TotalsLine::cellRect(int column) const
{
    const QHeaderView *header = m_table->header();
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_table) + 1;
    return QRect(header->sectionViewportPosition(column) + margin, 0, header->sectionSize(column) - 2 * margin,
                 height());
}

bool TotalsLine::eventFilter(QObject *watched, QEvent *event)
{
    const bool moved = event->type() == QEvent::Resize || event->type() == QEvent::Move
        || event->type() == QEvent::LayoutRequest;
    if (moved && (watched == m_table || watched == m_viewport))
        place();
    return QWidget::eventFilter(watched, event);
}

// Just under the rows, as wide as them, above the horizontal scroll bar.
void TotalsLine::place()
{
    if (!m_viewport)
        return;
    const QRect rows = m_viewport->geometry();
    setGeometry(rows.left(), rows.bottom() + 1, rows.width(), lineHeight());
    raise();
}

void TotalsLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QPalette colours = m_table->palette();
    painter.fillRect(rect(), QColor(0xe4, 0xe8, 0xee));
    painter.setPen(QColor(0x9a, 0xa4, 0xb2));
    painter.drawLine(0, 0, width(), 0);
    const QColor ink = colours.color(QPalette::Text);
    // A compared figure's second line (its comparison and change), lighter
    // and not bold, as in the rows.
    QFont light = font();
    light.setBold(false);
    const int line = fontMetrics().height();
    for (int c = 0; c < m_cells.size(); ++c) {
        const QStringList lines = m_cells.at(c).split(QLatin1Char('\n'));
        const QRect cell = cellRect(c);
        const int align = int(TableExport::columnAlignment(c) | Qt::AlignVCenter);
        if (lines.size() < 2) {
            painter.setPen(ink);
            painter.drawText(cell, align, lines.first());
            continue;
        }
        const int top = cell.top() + (cell.height() - 2 * line) / 2;
        painter.setFont(font());
        painter.setPen(ink);
        painter.drawText(QRect(cell.left(), top, cell.width(), line), align, lines.at(0));
        painter.setFont(light);
        painter.setPen(QColor(0x4a, 0x52, 0x5e));
        painter.drawText(QRect(cell.left(), top + line, cell.width(), line), align, lines.at(1));
        painter.setFont(font());
    }
}
