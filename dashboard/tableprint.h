#pragma once

#include "dashboard/dashboardfigures.h"
#include "dashboard/tableexport.h"

#include <QByteArray>
#include <QVector>

#include <optional>

class QPagedPaintDevice;

// The tracking table on paper: A4 landscape pages, each with the title line
// of the export (month and filters) and the captions, then the rows in the
// order given, the totals line after the last row, and the page number at
// the foot. The same document goes to a printer and to a PDF file.
namespace TablePrint {

struct Document
{
    TableExport::Title title;
    QVector<DashboardRow> rows;
    std::optional<DashboardRow> totals;
    // Compared, each figure shows under it, as in the window, its value in
    // the other period and its change.
    std::optional<TableExport::Comparison> comparison;
};

// Lays the document out on `device` (its page layout is set to A4
// landscape first) and draws every page. Returns the number of pages.
int render(QPagedPaintDevice &device, const Document &document);

// The document as a PDF file's bytes.
QByteArray pdf(const Document &document);

} // namespace TablePrint
