#include "dashboard/tableprint.h"

#include "dashboard/comparison.h"

#include <QBuffer>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QTextLayout>

#include <algorithm>
#include <memory>

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
    qreal rowHeight = 0;  // a row's, of one or two lines
    qreal headerHeight = 0;
    QStringList title; // the title line, wrapped
    qreal titleLineHeight = 0;
    qreal titleHeight = 0;
    qreal footHeight = 0;
    qreal padding = 0;
    qreal widths[Columns] = {};
    int rowsPerPage = 0;
};

// The label column wants at least this many characters before the font
// shrinks for it; a longer label is cut with "…".
constexpr int LabelCharacters = 40;
// The title line wraps over at most this many lines.
constexpr int TitleLines = 6;
// No line of a page holds more characters than this: a longer text is
// measured and laid out up to here only (a label of a million characters
// would otherwise be shaped whole).
constexpr int LongestShown = 2000;

// A label as a cell shows it: on one line, and no longer than a line.
QString shownLabel(const QString &label)
{
    return TableExport::singleLine(label.left(LongestShown));
}

// `text` broken into the lines of `width` that `font` makes of it, at word
// boundaries or anywhere in a word too long; past `most` lines the last one
// ends with "…".
QStringList wrapped(const QString &text, const QFont &font, QPaintDevice *device, qreal width, int most)
{
    QTextLayout layout(text.left(LongestShown * most), font, device);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == most - 1) {
            const QFontMetricsF metrics(font, device);
            lines << metrics.elidedText(layout.text().mid(line.textStart()), Qt::ElideRight, width);
            break;
        }
        lines << layout.text().mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

// The texts of each row, then of the totals line: compared, a figure's
// cell holds under it a second line, its other value and its change.
QVector<QStringList> textsOf(const Document &document)
{
    const TableExport::Comparison *comparison = document.comparison ? &*document.comparison : nullptr;
    if (comparison && comparison->rows.size() != document.rows.size())
        throw TableExport::ExportError(QStringLiteral("Le tableau et sa comparaison n'ont pas les mêmes lignes."));
    QVector<QStringList> texts;
    texts.reserve(document.rows.size() + 1);
    const auto add = [&](const DashboardRow &row, const DashboardRow *other) {
        texts << (other ? ComparedRow{row, *other}.shownCells() : row.cells());
        texts.last()[0] = shownLabel(texts.last().at(0));
    };
    for (qsizetype i = 0; i < document.rows.size(); ++i)
        add(document.rows.at(i), comparison ? &comparison->rows.at(i) : nullptr);
    if (document.totals)
        add(*document.totals, comparison && comparison->totals ? &*comparison->totals : nullptr);
    return texts;
}

// The widest line of a cell.
qreal widthOf(const QFontMetricsF &metrics, const QString &cell)
{
    qreal widest = 0;
    for (const QString &line : cell.split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest;
}

Layout layOut(QPaintDevice *device, const QSizeF &page, const Document &document,
              const QVector<QStringList> &rowTexts)
{
    Layout layout;
    const QStringList captions = dashboardCaptions();
    // Each row's texts once, whatever the number of sizes tried.
    QVector<QStringList> texts = rowTexts;
    const QStringList totals = document.totals ? texts.takeLast() : QStringList();
    // The font shrinks until every figure column holds its longest text
    // and the label column the longest label, up to LabelCharacters.
    for (qreal points = BasePoints;; points -= 0.5) {
        layout.font = QFont(QStringLiteral("DejaVu Sans"));
        layout.font.setPointSizeF(points);
        layout.bold = layout.font;
        layout.bold.setBold(true);
        const QFontMetricsF plain(layout.font, device), bold(layout.bold, device);
        const qreal padding = 0.75 * plain.averageCharWidth();
        qreal figures = 0;
        for (int c = 0; c < Columns; ++c) {
            qreal widest = bold.horizontalAdvance(captions.at(c));
            for (const QStringList &cells : std::as_const(texts))
                widest = std::max(widest, widthOf(plain, cells.at(c)));
            if (!totals.isEmpty())
                widest = std::max(widest, widthOf(bold, totals.at(c)));
            layout.widths[c] = widest + 2 * padding;
            if (c > 0)
                figures += layout.widths[c];
        }
        const qreal labelWanted = std::min(layout.widths[0], LabelCharacters * plain.averageCharWidth() + 2 * padding);
        layout.padding = padding;
        if (figures + labelWanted <= page.width() || points <= SmallestPoints) {
            // The label column takes what is left, and cuts what is longer.
            layout.widths[0] = std::max(labelWanted, page.width() - figures);
            break;
        }
    }
    layout.titleFont = layout.bold;
    layout.titleFont.setPointSizeF(layout.font.pointSizeF() + 2);
    layout.title = wrapped(document.title.text(), layout.titleFont, device, page.width(), TitleLines);
    const QFontMetricsF metrics(layout.font, device);
    layout.headerHeight = metrics.height() * 1.4;
    layout.rowHeight = document.comparison ? metrics.height() * 2.5 : layout.headerHeight;
    layout.titleLineHeight = QFontMetricsF(layout.titleFont, device).lineSpacing();
    layout.titleHeight = layout.titleLineHeight * (layout.title.size() + 1);
    layout.footHeight = metrics.height() * 2;
    const qreal body = page.height() - layout.titleHeight - layout.headerHeight - layout.footHeight;
    layout.rowsPerPage = std::max(1, int(body / layout.rowHeight));
    return layout;
}

void drawRow(QPainter &painter, const Layout &layout, qreal y, qreal height, const QStringList &cells,
             const QFont &font)
{
    painter.setFont(font);
    const QFontMetricsF metrics(font, painter.device());
    qreal x = 0;
    for (int c = 0; c < Columns; ++c) {
        const QRectF cell(x + layout.padding, y, layout.widths[c] - 2 * layout.padding, height);
        const QString text =
            c == 0 ? metrics.elidedText(shownLabel(cells.value(c)), Qt::ElideRight, cell.width()) : cells.value(c);
        painter.drawText(cell, int(TableExport::columnAlignment(c) | Qt::AlignVCenter), text);
        x += layout.widths[c];
    }
}

// Draws every page on a painter begun on `device`. Returns the number of
// pages.
int drawPages(QPainter &painter, QPagedPaintDevice &device, const Document &document);

} // namespace

int render(QPagedPaintDevice &device, const Document &document)
{
    device.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(12, 12, 12, 12),
                                     QPageLayout::Millimeter));
    auto painter = std::make_unique<QPainter>();
    if (!painter->begin(&device))
        throw TableExport::ExportError(QStringLiteral("L'impression n'a pas pu commencer."));
    try {
        const int pages = drawPages(*painter, device, document);
        if (!painter->end())
            throw TableExport::ExportError(QStringLiteral("L'impression n'a pas pu être terminée."));
        return pages;
    } catch (...) {
        // Ending a painter writes the document, which takes memory again:
        // after a failure (memory that ran out, above all) it is left as it
        // is, never ended, and the failure goes on to the caller.
        (void)painter.release();
        throw;
    }
}

namespace {

int drawPages(QPainter &painter, QPagedPaintDevice &device, const Document &document)
{
    const QRectF area = device.pageLayout().paintRectPixels(device.logicalDpiX());
    const QSizeF page = area.size();
    const QVector<QStringList> texts = textsOf(document);
    const Layout layout = layOut(&device, page, document, texts);

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
        for (const QString &titleLine : layout.title) {
            painter.drawText(QRectF(0, y, page.width(), layout.titleLineHeight), int(Qt::AlignLeft | Qt::AlignTop),
                             titleLine);
            y += layout.titleLineHeight;
        }
        y += layout.titleHeight - layout.titleLineHeight * layout.title.size();
        drawRow(painter, layout, y, layout.headerHeight, dashboardCaptions(), layout.bold);
        y += layout.headerHeight;
        painter.setPen(thin);
        painter.drawLine(QPointF(0, y), QPointF(page.width(), y));
        for (int onPage = 0; onPage < layout.rowsPerPage && line < lines; ++onPage, ++line) {
            if (line < document.rows.size()) {
                drawRow(painter, layout, y, layout.rowHeight, texts.at(line), layout.font);
            } else {
                painter.drawLine(QPointF(0, y), QPointF(page.width(), y));
                drawRow(painter, layout, y, layout.rowHeight, texts.last(), layout.bold);
            }
            y += layout.rowHeight;
        }
        painter.setFont(layout.font);
        painter.drawText(QRectF(0, page.height() - layout.footHeight, page.width(), layout.footHeight),
                         int(Qt::AlignRight | Qt::AlignBottom), pageText(p, pages));
    }
    return pages;
}

} // namespace

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
