#pragma once

#include "dashboard/dashboardfigures.h"
#include "dashboard/periods.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>
#include <stdexcept>

// The tracking table outside the window: files for spreadsheets (CSV and
// XLSX) and the clipboard's text and HTML. Every writer takes the rows in
// the order they are to appear, so what leaves the window is what it shows.
namespace TableExport {

// The kind of value a column holds.
enum class ColumnKind { Label, Amount, Percent, Count };
ColumnKind columnKind(int column);
// Where a column's texts stand, in the table and in every export: labels
// on the left, the reminder count centred, the other figures on the right.
Qt::Alignment columnAlignment(int column);
// The raw value behind a figure column (1 to 9) of a row: the amount, the
// rate in percent, or the count. 0 for the label column.
double columnValue(const DashboardRow &row, int column);

// A label that a spreadsheet would run as a formula (it begins with "=",
// "+", "-", "@", a tab or a carriage return) gets a leading apostrophe, so
// that it stays plain text.
QString guardFormula(const QString &cell);

// A table compared with another period: for each of its rows, in their
// order, and for its totals, the same row in that period. The exports then
// give each figure two more columns: its value in that period and its
// change (percent for amounts and counts, points for the rates, nothing
// where the other value is 0).
struct Comparison
{
    QString period; // the other period, as the captions name it: "2025-05"
    QVector<DashboardRow> rows;
    std::optional<DashboardRow> totals;
};
// The captions of a table, compared or not.
QStringList captions(const Comparison *comparison = nullptr);

// The texts of one line of a compared table: `cells` (a row's ten), and
// after each figure its value in the other period, `other`, and its
// change. Without `other`, `cells`.
QStringList lineCells(const DashboardRow &row, const QStringList &cells, const DashboardRow *other);

// The ten texts of a row for the spreadsheet text formats: the table's
// texts, the label guarded.
QStringList textCells(const DashboardRow &row);

// Tabs and line breaks turned into blanks, for formats of one line per row.
QString singleLine(QString text);

// Header and rows, ";" between cells, CRLF line ends, UTF-8 with a byte
// order mark: what a French spreadsheet opens directly. Numbers keep the
// table's texts, so the decimal separator is the locale's.
// Given `totals`, the totals line comes last in this one and the writers
// below.
QByteArray csv(const QVector<DashboardRow> &rows, const std::optional<DashboardRow> &totals = std::nullopt,
              const Comparison *comparison = nullptr);
// What a text format does with a label that a spreadsheet would run as a
// formula: guard it where a spreadsheet takes the cells as its input (the
// CSV file, the clipboard), keep the table's text where a script reads it
// (the report's tab-separated output).
enum class Labels { Guarded, AsShown };
// Header and rows, tab between cells, one line each ("\n"); line breaks
// and tabs inside a cell become blanks.
QByteArray tsv(const QVector<DashboardRow> &rows, Labels labels = Labels::Guarded,
               const std::optional<DashboardRow> &totals = std::nullopt, const Comparison *comparison = nullptr);
// Header and rows as an HTML table (UTF-8 text).
QString html(const QVector<DashboardRow> &rows, const std::optional<DashboardRow> &totals = std::nullopt,
             const Comparison *comparison = nullptr);

// What the title line of an export names.
struct Title
{
    int year = 0;
    int month = 0;
    int firstMonth = 0; // from this month of the year to `month`; 0: the month alone
    QString comparedWith; // the period the figures are compared with, as MonthSpan::text() names it
    QString levelCaption = QStringLiteral("Chef de secteur");
    // Labels of the filters in force; empty: no restriction.
    QString level;
    QString agency;
    QString user;
    QString supplier;

    // "Tableau de suivi – 2026-05 – Chef de secteur : Secteur Nord –
    // Agence : <Toutes> – Utilisateur : <Tous> – Fournisseur : <Tous>";
    // over several months and against another period: "Tableau de suivi
    // – 2026-01 à 2026-05 – comparé à 2025-01 à 2025-05 – Chef de …".
    QString text() const;
    // The span and the comparison of `period`, for the month year/month.
    void setPeriod(const PeriodChoice &period);
    // The same without the table and the month: "Chef de secteur : … –
    // Fournisseur : <Tous>".
    QString filtersText() const;
};

// The filters of a selection that restrict the table's figures.
enum class Filter { Level, Agency, User, Supplier };

// The title of what a selection shows: the level, agency and user filters
// that its drill level applies, and the supplier filter. `label` gives the
// label of a filter's code.
Title titleOf(const DashboardSelection &selection, const std::function<QString(Filter, const QString &)> &label,
              const QString &levelCaption = QStringLiteral("Chef de secteur"));

// A file that could not be written.
class ExportError : public std::runtime_error
{
public:
    explicit ExportError(const QString &message) : std::runtime_error(message.toStdString()) {}
};

// A path that must not receive an export: nothing was written.
class RefusedTarget : public ExportError
{
public:
    using ExportError::ExportError;
};

// A text as a workbook can hold it: the characters that XML cannot carry
// (control characters other than tab and line breaks, U+FFFE, U+FFFF,
// unpaired surrogates) become U+FFFD, and a text longer than a cell holds
// (32 767 characters) is cut, ending with "…".
QString workbookText(const QString &text);

// A workbook with one sheet: the title line, a blank line, the captions,
// then one line per row with real numbers (two decimals and a thousands
// separator; rates as percentages; counts as integers) and the labels as
// text; printed on A4. The numbers in the file are written the same way
// whatever the locale. Throws ExportError.
// Compared, each change is a number too: a percentage, or points.
QByteArray xlsx(const QVector<DashboardRow> &rows, const Title &title,
                const std::optional<DashboardRow> &totals = std::nullopt, const Comparison *comparison = nullptr);

// Refuses (RefusedTarget, with a French message) a path that must not be
// replaced by an export: the database `database` itself, whatever the
// spelling of either path or the links between them, or one of the journals
// SQLite keeps beside it (-journal, -wal, -shm) under any name of the same
// file (compared by device and inode); a folder; a named pipe, a device or a socket. A
// path that names nothing yet, or an ordinary file, passes. `database`
// may be empty or a server's URI: no database file to protect.
void checkTarget(const QString &path, const QString &database = QString());

// Writes a whole file after checkTarget: into a new file of the same
// folder, synced to the disk, which then takes the path's place; a file
// that was there stays as it was when anything fails. Throws ExportError.
void save(const QString &path, const QByteArray &bytes, const QString &database = QString());

} // namespace TableExport
