#pragma once

#include "dashboard/dashboardfigures.h"
#include "dashboard/periods.h"
#include "dashboard/tableexport.h"

#include <QDate>
#include <QString>
#include <QVector>

#include <optional>
#include <stdexcept>

class TABSDatabase;

// The tracking table without a window, for scripts, scheduled exports and
// checks. It asks the very same code as the window for rows and texts.
namespace HeadlessReport {

enum class OutputFormat { Text, Tsv, Csv, Json, Xlsx, Pdf };

struct Request
{
    QString database;
    QString user;
    QDate month; // the first of the month
    bool hasLevel = false;
    bool hasAgency = false;
    bool hasUser = false;
    bool hasSupplier = false;
    QString level;
    QString agency;
    QString userCode;
    QString supplier;
    OutputFormat format = OutputFormat::Text;
    bool total = false; // --total: the totals line last
    PeriodChoice period; // --cumul, --comparer
    QString output; // the file to write; empty: standard output
    bool help = false; // --help: the help on standard output, nothing else
};

// A command line that cannot be served: exit status 2.
class UsageError : public std::runtime_error
{
public:
    explicit UsageError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message)
    {
    }
    const QString &message() const { return m_message; }

private:
    QString m_message;
};


// The window's selections for this request, after the window's access rule:
// an ordinary user sees only his own level; unknown codes and agencies
// outside the level are refused (UsageError).
DashboardSelection resolve(TABSDatabase &db, const Request &request);

// The rows of the selection over the span of `period` and, given
// `totals`, its totals line; given `comparison`, the rows and totals of the
// period they are compared with (nothing without a comparison).
QVector<DashboardRow> rows(TABSDatabase &db, const DashboardSelection &selection, DashboardRow *totals = nullptr,
                           const PeriodChoice &period = PeriodChoice(),
                           std::optional<TableExport::Comparison> *comparison = nullptr);

// The title line of an export of this selection, with the labels of its
// filters read from the database, and the span and comparison of `period`.
TableExport::Title title(TABSDatabase &db, const DashboardSelection &selection,
                         const PeriodChoice &period = PeriodChoice());

// The widest label of the texte format, in characters: a longer one is cut
// there, ending with "…", so that a line never grows with the labels of
// other lines. That format, made for a terminal, also shows every control
// character of a label as U+FFFD.
constexpr int TextLabelWidth = 40;

// The table in one of the output formats (CSV with its byte order mark;
// the title goes into the workbook only).
// Given `totals`, the totals line comes last (in JSON, the last object,
// marked "total": true). JSON is the same bytes under any locale: its
// texts are the table's as the C locale writes them ("37262.84").
// Given `comparison`, each figure is followed by its value in the other
// period and its change; in JSON each object gains "comparaison" (the
// other period's values, the keys of "valeurs") and "evolution" (the
// same keys: percent for amounts and counts, points for the rates, null
// where the other value is 0).
QByteArray render(const QVector<DashboardRow> &rows, OutputFormat format,
                  const TableExport::Title &title = TableExport::Title(),
                  const std::optional<DashboardRow> &totals = std::nullopt,
                  const TableExport::Comparison *comparison = nullptr);

} // namespace HeadlessReport
