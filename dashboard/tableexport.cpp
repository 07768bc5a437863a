#include "dashboard/tableexport.h"

#include "dashboard/comparison.h"
#include "dashboard/periods.h"
#include "store/serveraddress.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

#include <xlsxwriter.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <locale.h>
#include <vector>
#include <sys/stat.h>

namespace TableExport {

ColumnKind columnKind(int column)
{
    switch (column) {
    case 1:
    case 2:
    case 3:
    case 4:
        return ColumnKind::Amount;
    case 5:
    case 9:
        return ColumnKind::Percent;
    case 6:
    case 7:
    case 8:
        return ColumnKind::Count;
    default:
        return ColumnKind::Label;
    }
}

Qt::Alignment columnAlignment(int column)
{
    if (columnKind(column) == ColumnKind::Label)
        return Qt::AlignLeft;
    return column == 6 ? Qt::AlignHCenter : Qt::AlignRight;
}

double columnValue(const DashboardRow &row, int column)
{
    switch (column) {
    case 1:
        return row.HT;
    case 2:
        return row.TVA;
    case 3:
        return row.TTC;
    case 4:
        return row.Marge;
    case 5:
        return row.MargePct;
    case 6:
        return row.NbRelances;
    case 7:
        return row.NbDevis;
    case 8:
        return row.NbCommandes;
    case 9:
        return row.Transformation;
    default:
        return 0;
    }
}

QString guardFormula(const QString &cell)
{
    static const QString starts = QStringLiteral("=+-@\t\r");
    if (!cell.isEmpty() && starts.contains(cell.at(0)))
        return QLatin1Char('\'') + cell;
    return cell;
}

QStringList captions(const Comparison *comparison)
{
    const QStringList base = dashboardCaptions();
    if (!comparison)
        return base;
    QStringList out{base.first()};
    for (int c = 1; c < 10; ++c)
        out << base.at(c) << QStringLiteral("%1 (%2)").arg(base.at(c), comparison->period)
            << QStringLiteral("Évolution %1").arg(base.at(c));
    return out;
}

QStringList lineCells(const DashboardRow &row, const QStringList &cells, const DashboardRow *other)
{
    if (!other)
        return cells;
    const QStringList before = other->cells();
    const QStringList changes = ComparedRow{row, *other}.changeCells();
    QStringList out{cells.first()};
    for (int c = 1; c < 10; ++c)
        out << cells.at(c) << before.at(c) << changes.at(c - 1);
    return out;
}

QStringList textCells(const DashboardRow &row)
{
    QStringList cells = row.cells();
    cells[0] = guardFormula(cells.at(0));
    return cells;
}

QString singleLine(QString text)
{
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

namespace {

// A column of a compared table: the figure column of the table it shows
// (0 the label), and which of its three columns it is (0 the value, 1 the
// other period's, 2 the change).
struct ComparedColumn
{
    int figure = 0;
    int part = 0;
};

ComparedColumn comparedColumn(int column, const Comparison *comparison)
{
    if (!comparison || column == 0)
        return {column, 0};
    return {1 + (column - 1) / 3, (column - 1) % 3};
}

Qt::Alignment alignmentOf(int column, const Comparison *comparison)
{
    const ComparedColumn at = comparedColumn(column, comparison);
    return at.part == 2 ? Qt::AlignRight : columnAlignment(at.figure);
}

// The lines of a table: the captions, each row's cells, the totals'.
QList<QStringList> tableLines(const QVector<DashboardRow> &rows, Labels labels,
                              const std::optional<DashboardRow> &totals, const Comparison *comparison)
{
    if (comparison && comparison->rows.size() != rows.size())
        throw ExportError(QStringLiteral("Le tableau et sa comparaison n'ont pas les mêmes lignes."));
    QList<QStringList> lines{captions(comparison)};
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const DashboardRow &row = rows.at(i);
        lines << lineCells(row, labels == Labels::Guarded ? textCells(row) : row.cells(),
                           comparison ? &comparison->rows.at(i) : nullptr);
    }
    if (totals)
        lines << lineCells(*totals, totals->cells(),
                           comparison && comparison->totals ? &*comparison->totals : nullptr);
    return lines;
}

QString csvCell(const QString &text)
{
    if (!text.contains(QLatin1Char(';')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// The header and the rows' text cells, each cell written by `write`,
// `separator` between cells and `end` after each line.
template <typename Write>
QByteArray textLines(const QVector<DashboardRow> &rows, Write write, QChar separator, const QString &end,
                     Labels labels, const std::optional<DashboardRow> &totals, const Comparison *comparison)
{
    QString out;
    for (const QStringList &line : tableLines(rows, labels, totals, comparison)) {
        QStringList cells;
        for (const QString &cell : line)
            cells << write(cell);
        out += cells.join(separator) + end;
    }
    return out.toUtf8();
}

} // namespace

QByteArray csv(const QVector<DashboardRow> &rows, const std::optional<DashboardRow> &totals,
               const Comparison *comparison)
{
    return QByteArray("\xEF\xBB\xBF")
        + textLines(rows, csvCell, QLatin1Char(';'), QStringLiteral("\r\n"), Labels::Guarded, totals, comparison);
}

QByteArray tsv(const QVector<DashboardRow> &rows, Labels labels, const std::optional<DashboardRow> &totals,
               const Comparison *comparison)
{
    return textLines(rows, singleLine, QLatin1Char('\t'), QStringLiteral("\n"), labels, totals, comparison);
}

QString html(const QVector<DashboardRow> &rows, const std::optional<DashboardRow> &totals,
             const Comparison *comparison)
{
    auto align = [comparison](int column) {
        const Qt::Alignment alignment = alignmentOf(column, comparison);
        return alignment == Qt::AlignLeft      ? QStringLiteral("left")
               : alignment == Qt::AlignHCenter ? QStringLiteral("center")
                                               : QStringLiteral("right");
    };
    QString out = QStringLiteral("<html><head><meta charset=\"utf-8\"></head><body>\n"
                                 "<table border=\"1\" cellspacing=\"0\" cellpadding=\"2\">\n<thead><tr>");
    QList<QStringList> lines = tableLines(rows, Labels::Guarded, totals, comparison);
    const QStringList header = lines.takeFirst();
    const std::optional<QStringList> totalsLine =
        totals ? std::optional<QStringList>(lines.takeLast()) : std::nullopt;
    for (int c = 0; c < header.size(); ++c)
        out += QStringLiteral("<th align=\"%1\">%2</th>").arg(align(c), header.at(c).toHtmlEscaped());
    out += QStringLiteral("</tr></thead>\n<tbody>\n");
    for (const QStringList &cells : std::as_const(lines)) {
        out += QStringLiteral("<tr>");
        for (int c = 0; c < cells.size(); ++c) {
            // The label is text for a spreadsheet that reads the table.
            const QString style = c == 0 ? QStringLiteral(" style=\"mso-number-format:'\\@'\"") : QString();
            out += QStringLiteral("<td align=\"%1\"%2>%3</td>").arg(align(c), style, cells.at(c).toHtmlEscaped());
        }
        out += QStringLiteral("</tr>\n");
    }
    out += QStringLiteral("</tbody>\n");
    if (totalsLine) {
        out += QStringLiteral("<tfoot><tr>");
        const QStringList &cells = *totalsLine;
        for (int c = 0; c < cells.size(); ++c)
            out += QStringLiteral("<td align=\"%1\"><b>%2</b></td>").arg(align(c), cells.at(c).toHtmlEscaped());
        out += QStringLiteral("</tr></tfoot>\n");
    }
    out += QStringLiteral("</table>\n</body></html>\n");
    return out;
}

QString Title::text() const
{
    const MonthSpan span{year, firstMonth > 0 ? firstMonth : month, month};
    const QString against =
        comparedWith.isEmpty() ? QString() : QStringLiteral("comparé à %1 – ").arg(comparedWith);
    return QStringLiteral("Tableau de suivi – %1 – ").arg(span.text()) + against + filtersText();
}

void Title::setPeriod(const PeriodChoice &period)
{
    firstMonth = period.chosen(year, month).first;
    const std::optional<MonthSpan> other = period.compared(year, month);
    comparedWith = other ? other->text() : QString();
}

QString Title::filtersText() const
{
    auto orAll = [](const QString &label, const char *all) {
        return label.isEmpty() ? QString::fromLatin1(all) : label;
    };
    return QStringLiteral("%1 : %2 – Agence : %3 – Utilisateur : %4 – Fournisseur : %5")
        .arg(levelCaption, orAll(level, "<Tous>"), orAll(agency, "<Toutes>"), orAll(user, "<Tous>"),
             orAll(supplier, "<Tous>"));
}

Title titleOf(const DashboardSelection &selection, const std::function<QString(Filter, const QString &)> &label,
              const QString &levelCaption)
{
    auto labelOf = [&label](Filter filter, const QString &code) {
        const QString text = label(filter, code);
        return text.isEmpty() ? code : text;
    };
    const int drill = drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex);
    Title title;
    title.year = selection.year;
    title.month = selection.month;
    title.levelCaption = levelCaption;
    if (drill >= 1)
        title.level = labelOf(Filter::Level, selection.levelCode);
    if (drill >= 2)
        title.agency = labelOf(Filter::Agency, selection.agencyCode);
    if (drill >= 3)
        title.user = labelOf(Filter::User, selection.userCode);
    if (!selection.supplierCode.isEmpty())
        title.supplier = labelOf(Filter::Supplier, selection.supplierCode);
    return title;
}

QString workbookText(const QString &text)
{
    // Excel's limit, which the workbook library enforces.
    constexpr qsizetype CellLimit = 32767;
    const qsizetype keep = text.size() > CellLimit ? CellLimit - 1 : text.size();
    QString out;
    out.reserve(keep + 1);
    for (qsizetype i = 0; i < keep; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            if (i + 1 == keep)
                break; // the cut falls inside the pair: leave both out
            out += c;
            out += text.at(++i);
            continue;
        }
        const char16_t u = c.unicode();
        const bool allowed = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u < 0xFFFE && !c.isSurrogate());
        out += allowed ? c : QChar(QChar::ReplacementCharacter);
    }
    if (keep < text.size())
        out += QChar(0x2026);
    return out;
}

namespace {

// The C library formats numbers by the locale the program took from the
// user (LC_NUMERIC): under fr_FR, "37262,835". The workbook library writes
// every number of the file (cell values, column widths, margins) with it,
// so it runs under the C conventions, for this thread only, whatever the
// user's locale.
class CNumbers
{
public:
    CNumbers()
    {
        locale_t base = duplocale(LC_GLOBAL_LOCALE);
        m_locale = base ? newlocale(LC_NUMERIC_MASK, "C", base) : locale_t(nullptr);
        if (!m_locale) {
            if (base)
                freelocale(base);
            throw ExportError(QStringLiteral("Le classeur n'a pas pu être préparé : %1")
                                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
        m_previous = uselocale(m_locale);
    }
    ~CNumbers()
    {
        uselocale(m_previous);
        freelocale(m_locale);
    }
    CNumbers(const CNumbers &) = delete;
    CNumbers &operator=(const CNumbers &) = delete;

private:
    locale_t m_locale = nullptr;
    locale_t m_previous = nullptr;
};

// A cell's text for the workbook library. Spreadsheets read "_xHHHH_" in
// a cell as the character HHHH (the library writes a carriage return so):
// a text that holds such a sequence itself gets its underscore written
// that way, and reads back as it was.
QByteArray cellText(const QString &text)
{
    static const QRegularExpression escape(QStringLiteral("_(?=x[0-9A-Fa-f]{4}_)"));
    // Escaped first, then cut: the library counts what it is given.
    return workbookText(QString(text).replace(escape, QStringLiteral("_x005F_"))).toUtf8();
}

// Widths of the columns in characters; a change's column is 11 wide.
const double ColumnWidths[10] = {32, 14, 12, 14, 12, 11, 14, 11, 15, 17};
constexpr double ChangeWidth = 11;

// One cell format per column for the header, the figures and the totals.
struct SheetFormats
{
    lxw_format *title = nullptr;
    std::vector<lxw_format *> header, cell, total;
};

// The number format of a column: amounts with two decimals and a thousands
// separator, rates as percentages, counts as integers; a change signed, in
// percent or in points.
const char *numberFormat(int column, const Comparison *comparison)
{
    const ComparedColumn at = comparedColumn(column, comparison);
    if (at.part == 2)
        return isRate(at.figure - 1) ? "+0.00\" pt\";-0.00\" pt\";0.00\" pt\"" : "+0.00%;-0.00%;0.00%";
    switch (columnKind(at.figure)) {
    case ColumnKind::Amount:
        return "#,##0.00";
    case ColumnKind::Percent:
        return "0.00%";
    case ColumnKind::Count:
        return "#,##0";
    case ColumnKind::Label:
        break;
    }
    return "@";
}

SheetFormats addFormats(lxw_workbook *workbook, int columns, const Comparison *comparison)
{
    SheetFormats formats;
    formats.title = workbook_add_format(workbook);
    format_set_bold(formats.title);
    format_set_font_size(formats.title, 12);
    for (int c = 0; c < columns; ++c) {
        const Qt::Alignment alignment = alignmentOf(c, comparison);
        const uint8_t align = alignment == Qt::AlignLeft      ? LXW_ALIGN_LEFT
                              : alignment == Qt::AlignHCenter ? LXW_ALIGN_CENTER
                                                              : LXW_ALIGN_RIGHT;
        lxw_format *header = workbook_add_format(workbook);
        format_set_bold(header);
        format_set_bottom(header, LXW_BORDER_THIN);
        format_set_align(header, align);
        if (comparison)
            format_set_text_wrap(header);
        formats.header.push_back(header);

        const char *number = numberFormat(c, comparison);
        lxw_format *cell = workbook_add_format(workbook);
        format_set_align(cell, align);
        format_set_num_format(cell, number);
        formats.cell.push_back(cell);
        lxw_format *total = workbook_add_format(workbook);
        format_set_align(total, align);
        format_set_bold(total);
        format_set_top(total, LXW_BORDER_THIN);
        format_set_num_format(total, number);
        formats.total.push_back(total);
    }
    return formats;
}

// The first error of a sequence of writes.
struct Writes
{
    lxw_error first = LXW_NO_ERROR;
    void operator<<(lxw_error error)
    {
        if (first == LXW_NO_ERROR)
            first = error;
    }
};

void writeSheet(lxw_workbook *workbook, const QVector<DashboardRow> &rows, const Title &title,
                const std::optional<DashboardRow> &totals, const Comparison *comparison, Writes &writes)
{
    // The texts, checked against the rows, for the values that no number
    // cell can hold.
    const QList<QStringList> lines = tableLines(rows, Labels::AsShown, totals, comparison);
    lxw_worksheet *sheet = workbook_add_worksheet(workbook, "Tableau de suivi");
    const QStringList header = lines.first();
    const int columns = int(header.size());
    const SheetFormats formats = addFormats(workbook, columns, comparison);

    writes << worksheet_write_string(sheet, 0, 0, cellText(title.text()).constData(), formats.title);
    const lxw_row_t headerRow = 2;
    for (int c = 0; c < columns; ++c) {
        const ComparedColumn at = comparedColumn(c, comparison);
        const double width = at.part == 2 ? ChangeWidth : ColumnWidths[at.figure];
        writes << worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c), width, nullptr);
        writes << worksheet_write_string(sheet, headerRow, lxw_col_t(c), cellText(header.at(c)).constData(),
                                         formats.header[size_t(c)]);
    }
    lxw_row_t line = headerRow + 1;
    const auto writeLine = [&](const DashboardRow &row, const DashboardRow *other, const QStringList &shown,
                               const std::vector<lxw_format *> &cellFormats) {
        // Labels are written as strings, never as formulas.
        writes << worksheet_write_string(sheet, line, 0, cellText(row.libelle).constData(), cellFormats[0]);
        for (int c = 1; c < columns; ++c) {
            const ComparedColumn at = comparedColumn(c, comparison);
            std::optional<double> value;
            if (at.part == 0)
                value = columnValue(row, at.figure);
            else if (at.part == 1)
                value = columnValue(*other, at.figure);
            else if ((value = figureChange(at.figure - 1, row, *other)) && !isRate(at.figure - 1))
                *value /= 100;
            if (!value)
                continue; // no change to give: the cell stays empty
            if (!std::isfinite(*value)) {
                // No number cell can hold it: the table's text.
                writes << worksheet_write_string(sheet, line, lxw_col_t(c), cellText(shown.at(c)).constData(),
                                                 nullptr);
                continue;
            }
            if (at.part < 2 && columnKind(at.figure) == ColumnKind::Percent)
                *value /= 100;
            writes << worksheet_write_number(sheet, line, lxw_col_t(c), *value, cellFormats[size_t(c)]);
        }
        ++line;
    };
    for (qsizetype i = 0; i < rows.size(); ++i)
        writeLine(rows.at(i), comparison ? &comparison->rows.at(i) : nullptr, lines.at(i + 1), formats.cell);
    // The totals line under the rows, outside the filtered range.
    if (totals)
        writeLine(*totals, comparison && comparison->totals ? &*comparison->totals : nullptr, lines.last(),
                  formats.total);
    worksheet_freeze_panes(sheet, headerRow + 1, comparison ? 1 : 0);
    // Printed across one page width of A4, in landscape, for a meeting.
    worksheet_set_paper(sheet, 9);
    worksheet_set_landscape(sheet);
    worksheet_fit_to_pages(sheet, 1, 0);
    writes << worksheet_repeat_rows(sheet, headerRow, headerRow);
    writes << worksheet_autofilter(sheet, headerRow, 0, headerRow + lxw_row_t(rows.size()), lxw_col_t(columns - 1));
}

} // namespace

QByteArray xlsx(const QVector<DashboardRow> &rows, const Title &title, const std::optional<DashboardRow> &totals,
                const Comparison *comparison)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        throw ExportError(QStringLiteral("Impossible de créer un dossier temporaire pour le classeur."));
    const QString path = dir.filePath(QStringLiteral("tableau.xlsx"));
    const QByteArray nativePath = QFile::encodeName(path);
    QByteArray tmpdir = QFile::encodeName(dir.path());
    lxw_workbook_options options = {};
    options.tmpdir = tmpdir.data();
    lxw_error error = LXW_NO_ERROR;
    {
        const CNumbers numbers;
        lxw_workbook *workbook = workbook_new_opt(nativePath.constData(), &options);
        if (!workbook)
            throw ExportError(QStringLiteral("Impossible de créer le classeur."));

        // A property is one line: XML would read a carriage return back as
        // a line feed.
        QByteArray titleText = singleLine(workbookText(title.text())).toUtf8();
        lxw_doc_properties properties = {};
        properties.title = titleText.data();
        Writes writes;
        writes << workbook_set_properties(workbook, &properties);
        writeSheet(workbook, rows, title, totals, comparison, writes);
        const lxw_error closed = workbook_close(workbook);
        error = writes.first != LXW_NO_ERROR ? writes.first : closed;
    }
    if (error != LXW_NO_ERROR)
        throw ExportError(QStringLiteral("Le classeur n'a pas pu être écrit : %1").arg(QString::fromUtf8(lxw_strerror(error))));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ExportError(QStringLiteral("Le classeur n'a pas pu être relu : %1").arg(file.errorString()));
    return file.readAll();
}

namespace {

// What stat() says of a path, following links; false when it names nothing
// that can be reached.
bool statOf(const QString &path, struct stat &info)
{
    return ::stat(QFile::encodeName(path).constData(), &info) == 0;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A path with its folder's links resolved, whether it exists or not.
QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : QDir(folder).filePath(info.fileName());
}

// The path a chain of symbolic links ends at, whether a file is there or
// not.
QString followedPath(const QString &path)
{
    QString current = path;
    for (int hop = 0; hop < 40 && QFileInfo(current).isSymLink(); ++hop)
        current = QFileInfo(current).symLinkTarget();
    return resolvedPath(current);
}

} // namespace

void checkTarget(const QString &path, const QString &database)
{
    struct stat target;
    const bool exists = statOf(path, target);
    if (exists && S_ISDIR(target.st_mode))
        throw RefusedTarget(QStringLiteral("%1 est un dossier : indiquez le nom d'un fichier.").arg(path));
    if (exists && !S_ISREG(target.st_mode))
        throw RefusedTarget(
            QStringLiteral("%1 n'est pas un fichier ordinaire (tube, périphérique ou socket) : indiquez le nom d'un fichier.")
                .arg(path));
    if (database.isEmpty() || ServerAddress::isServerName(database))
        return;
    // The database, and the journals SQLite keeps beside it: a file there
    // would be taken for one of them. SQLite names a journal after the name
    // the database was opened by, so a journal of the same file under any
    // of its names (another hard link, a symbolic link) is one too.
    struct stat databaseInfo;
    const bool databaseExists = statOf(database, databaseInfo);
    const QString databaseResolved = resolvedPath(database);
    const QString databaseCanonical = QFileInfo(database).canonicalFilePath();
    const auto namesTheDatabase = [&](const QString &name) {
        struct stat info;
        if (databaseExists && statOf(name, info) && sameFile(info, databaseInfo))
            return true;
        const QString resolved = resolvedPath(name);
        return resolved == databaseResolved || (!databaseCanonical.isEmpty() && resolved == databaseCanonical);
    };
    const QString names[] = {path, followedPath(path)};
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        const QLatin1String ending(suffix);
        struct stat existing;
        bool same = exists && statOf(database + ending, existing) && sameFile(existing, target);
        for (const QString &name : names)
            same = same || (name.endsWith(ending) && namesTheDatabase(name.chopped(ending.size())));
        if (!same)
            continue;
        if (*suffix == 0)
            throw RefusedTarget(
                QStringLiteral("%1 est la base de données elle-même : indiquez un autre fichier.").arg(path));
        throw RefusedTarget(QStringLiteral("%1 est un journal de la base de données %2 : indiquez un autre fichier.")
                                .arg(path, database));
    }
}

void save(const QString &path, const QByteArray &bytes, const QString &database)
{
    checkTarget(path, database);
    QSaveFile file(path);
    // Flushed before commit(): a write that fails while commit() flushes
    // (a full disk) would not stop it from putting the short file in place.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() || !file.commit())
        throw ExportError(QStringLiteral("Impossible d'écrire le fichier %1 : %2").arg(path, file.errorString()));
}

} // namespace TableExport
