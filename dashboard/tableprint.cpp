#include "dashboard/tableprint.h"

#include <QBuffer>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>

#include <algorithm>

namespace TablePrint {

namespace {

constexpr int Columns = 10;
constexpr qreal BasePoints = 9.0;
constexpr qreal SmallestPoints = 5.0;

QString pageText(int page, int pages)
{
    return QStringLiteral("Page %1 sur %2").arg(page).arg(pages);
}

// Where everything goes on a page, in the device's units.
struct Layout
{
    QFont font;
    QFont bold;
    QFont titleFont;
    qreal rowHeight = 0;
    qreal titleHeight = 0;
    qreal footHeight = 0;
    qreal padding = 0;
    qreal widths[Columns] = {};
    int rowsPerPage = 0;
};

Layout layOut(QPaintDevice *device, const QSizeF &page, const Document &document)
{
    Layout layout;
    const QStringList captions = dashboardCaptions();
    // Each row's texts once, whatever the number of sizes tried.
    QVector<QStringList> texts;
    texts.reserve(document.rows.size());
    for (const DashboardRow &row : document.rows)
        texts << row.cells();
    const QStringList totals = document.totals ? document.totals->cells() : QStringList();
    // The font shrinks until every column holds its longest text.
    for (qreal points = BasePoints;; points -= 0.5) {
        layout.font = QFont(QStringLiteral("DejaVu Sans"));
        layout.font.setPointSizeF(points);
        layout.bold = layout.font;
        layout.bold.setBold(true);
        const QFontMetricsF plain(layout.font, device), bold(layout.bold, device);
        const qreal padding = 0.75 * plain.averageCharWidth();
        qreal total = 0;
        for (int c = 0; c < Columns; ++c) {
            qreal widest = bold.horizontalAdvance(captions.at(c));
            for (const QStringList &cells : std::as_const(texts))
                widest = std::max(widest, plain.horizontalAdvance(cells.at(c)));
            if (!totals.isEmpty())
                widest = std::max(widest, bold.horizontalAdvance(totals.at(c)));
            layout.widths[c] = widest + 2 * padding;
            total += layout.widths[c];
        }
        layout.padding = padding;
        if (total <= page.width() || points <= SmallestPoints) {
            // What is left goes to the label column.
            if (total < page.width())
                layout.widths[0] += page.width() - total;
            break;
        }
    }
    layout.titleFont = layout.bold;
    layout.titleFont.setPointSizeF(layout.font.pointSizeF() + 2);
    const QFontMetricsF metrics(layout.font, device);
    layout.rowHeight = metrics.height() * 1.4;
    layout.titleHeight = QFontMetricsF(layout.titleFont, device).height() * 2;
    layout.footHeight = metrics.height() * 2;
    const qreal body = page.height() - layout.titleHeight - layout.rowHeight - layout.footHeight;
    layout.rowsPerPage = std::max(1, int(body / layout.rowHeight));
    return layout;
}

void drawRow(QPainter &painter, const Layout &layout, qreal y, const QStringList &cells, const QFont &font)
{
    painter.setFont(font);
    qreal x = 0;
    for (int c = 0; c < Columns; ++c) {
        const QRectF cell(x + layout.padding, y, layout.widths[c] - 2 * layout.padding, layout.rowHeight);
        painter.drawText(cell, int(TableExport::columnAlignment(c) | Qt::AlignVCenter), cells.value(c));
        x += layout.widths[c];
    }
}

} // namespace

int render(QPagedPaintDevice &device, const Document &document)
{
    device.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(12, 12, 12, 12),
                                     QPageLayout::Millimeter));
    QPainter painter;
    if (!painter.begin(&device))
        throw TableExport::ExportError(QStringLiteral("L'impression n'a pas pu commencer."));
    const QRectF area = device.pageLayout().paintRectPixels(device.logicalDpiX());
    const QSizeF page = area.size();
    const Layout layout = layOut(&device, page, document);

    // The totals line stands after the last row, on the page that has room
    // for it.
    const int lines = int(document.rows.size()) + (document.totals ? 1 : 0);
    const int pages = std::max(1, (lines + layout.rowsPerPage - 1) / layout.rowsPerPage);
    const QPen thin(Qt::black, std::max(1.0, device.logicalDpiX() / 144.0));
    int line = 0;
    for (int p = 1; p <= pages; ++p) {
        if (p > 1)
            device.newPage();
        qreal y = 0;
        painter.setFont(layout.titleFont);
        painter.drawText(QRectF(0, y, page.width(), layout.titleHeight), int(Qt::AlignLeft | Qt::AlignTop),
                         document.title.text());
        y += layout.titleHeight;
        drawRow(painter, layout, y, dashboardCaptions(), layout.bold);
        y += layout.rowHeight;
        painter.setPen(thin);
        painter.drawLine(QPointF(0, y), QPointF(page.width(), y));
        for (int onPage = 0; onPage < layout.rowsPerPage && line < lines; ++onPage, ++line) {
            if (line < document.rows.size()) {
                drawRow(painter, layout, y, document.rows.at(line).cells(), layout.font);
            } else {
                painter.drawLine(QPointF(0, y), QPointF(page.width(), y));
                drawRow(painter, layout, y, document.totals->cells(), layout.bold);
            }
            y += layout.rowHeight;
        }
        painter.setFont(layout.font);
        painter.drawText(QRectF(0, page.height() - layout.footHeight, page.width(), layout.footHeight),
                         int(Qt::AlignRight | Qt::AlignBottom), pageText(p, pages));
    }
    painter.end();
    return pages;
}

QByteArray pdf(const Document &document)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setResolution(300);
        writer.setTitle(document.title.text());
        writer.setCreator(QStringLiteral("Orvalis"));
        render(writer, document);
    }
    buffer.close();
    return bytes;
}

} // namespace TablePrint
