#include "dashboard/tableexport.h"

#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <xlsxwriter.h>

#include <cmath>

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
QByteArray textLines(const QVector<DashboardRow> &rows, Write write, QChar separator, const QString &end)
{
    QList<QStringList> lines{dashboardCaptions()};
    for (const DashboardRow &row : rows)
        lines << textCells(row);
    QString out;
    for (const QStringList &line : lines) {
        QStringList cells;
        for (const QString &cell : line)
            cells << write(cell);
        out += cells.join(separator) + end;
    }
    return out.toUtf8();
}

} // namespace

QByteArray csv(const QVector<DashboardRow> &rows)
{
    return QByteArray("\xEF\xBB\xBF") + textLines(rows, csvCell, QLatin1Char(';'), QStringLiteral("\r\n"));
}

QByteArray tsv(const QVector<DashboardRow> &rows)
{
    return textLines(rows, singleLine, QLatin1Char('\t'), QStringLiteral("\n"));
}

QString html(const QVector<DashboardRow> &rows)
{
    auto align = [](int column) {
        const Qt::Alignment alignment = columnAlignment(column);
        return alignment == Qt::AlignLeft      ? QStringLiteral("left")
               : alignment == Qt::AlignHCenter ? QStringLiteral("center")
                                               : QStringLiteral("right");
    };
    QString out = QStringLiteral("<html><head><meta charset=\"utf-8\"></head><body>\n"
                                 "<table border=\"1\" cellspacing=\"0\" cellpadding=\"2\">\n<thead><tr>");
    const QStringList captions = dashboardCaptions();
    for (int c = 0; c < captions.size(); ++c)
        out += QStringLiteral("<th align=\"%1\">%2</th>").arg(align(c), captions.at(c).toHtmlEscaped());
    out += QStringLiteral("</tr></thead>\n<tbody>\n");
    for (const DashboardRow &row : rows) {
        const QStringList cells = textCells(row);
        out += QStringLiteral("<tr>");
        for (int c = 0; c < cells.size(); ++c) {
            // The label is text for a spreadsheet that reads the table.
            const QString style = c == 0 ? QStringLiteral(" style=\"mso-number-format:'\\@'\"") : QString();
            out += QStringLiteral("<td align=\"%1\"%2>%3</td>").arg(align(c), style, cells.at(c).toHtmlEscaped());
        }
        out += QStringLiteral("</tr>\n");
    }
    out += QStringLiteral("</tbody>\n</table>\n</body></html>\n");
    return out;
}

QString Title::text() const
{
    return QStringLiteral("Tableau de suivi – %1-%2 – ")
               .arg(year, 4, 10, QLatin1Char('0'))
               .arg(month, 2, 10, QLatin1Char('0'))
           + filtersText();
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

namespace {

// Widths of the columns in characters.
const double ColumnWidths[10] = {32, 14, 12, 14, 12, 11, 14, 11, 15, 17};

// One cell format per column for the header and for the figures.
struct SheetFormats
{
    lxw_format *title = nullptr;
    lxw_format *header[10] = {};
    lxw_format *cell[10] = {};
};

SheetFormats addFormats(lxw_workbook *workbook)
{
    SheetFormats formats;
    formats.title = workbook_add_format(workbook);
    format_set_bold(formats.title);
    format_set_font_size(formats.title, 12);
    for (int c = 0; c < 10; ++c) {
        const Qt::Alignment alignment = columnAlignment(c);
        const uint8_t align = alignment == Qt::AlignLeft      ? LXW_ALIGN_LEFT
                              : alignment == Qt::AlignHCenter ? LXW_ALIGN_CENTER
                                                              : LXW_ALIGN_RIGHT;
        lxw_format *header = workbook_add_format(workbook);
        format_set_bold(header);
        format_set_bottom(header, LXW_BORDER_THIN);
        format_set_align(header, align);
        formats.header[c] = header;

        lxw_format *cell = workbook_add_format(workbook);
        format_set_align(cell, align);
        switch (columnKind(c)) {
        case ColumnKind::Amount:
            format_set_num_format(cell, "0.00");
            break;
        case ColumnKind::Percent:
            format_set_num_format(cell, "0.00%");
            break;
        case ColumnKind::Count:
            format_set_num_format(cell, "0");
            break;
        case ColumnKind::Label:
            format_set_num_format(cell, "@");
            break;
        }
        formats.cell[c] = cell;
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

void writeSheet(lxw_workbook *workbook, const QVector<DashboardRow> &rows, const Title &title, Writes &writes)
{
    lxw_worksheet *sheet = workbook_add_worksheet(workbook, "Tableau de suivi");
    const SheetFormats formats = addFormats(workbook);

    writes << worksheet_write_string(sheet, 0, 0, title.text().toUtf8().constData(), formats.title);
    const lxw_row_t headerRow = 2;
    const QStringList captions = dashboardCaptions();
    for (int c = 0; c < 10; ++c) {
        writes << worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c), ColumnWidths[c], nullptr);
        writes << worksheet_write_string(sheet, headerRow, lxw_col_t(c), captions.at(c).toUtf8().constData(),
                                         formats.header[c]);
    }
    lxw_row_t line = headerRow + 1;
    for (const DashboardRow &row : rows) {
        const QStringList shown = row.cells();
        // Labels are written as strings, never as formulas.
        writes << worksheet_write_string(sheet, line, 0, row.libelle.toUtf8().constData(), formats.cell[0]);
        for (int c = 1; c < 10; ++c) {
            double value = columnValue(row, c);
            if (!std::isfinite(value)) {
                // No number cell can hold it: the table's text.
                writes << worksheet_write_string(sheet, line, lxw_col_t(c), shown.at(c).toUtf8().constData(),
                                                 nullptr);
                continue;
            }
            if (columnKind(c) == ColumnKind::Percent)
                value /= 100;
            writes << worksheet_write_number(sheet, line, lxw_col_t(c), value, formats.cell[c]);
        }
        ++line;
    }
    worksheet_freeze_panes(sheet, headerRow + 1, 0);
    // Printed across one page width, in landscape, for a meeting.
    worksheet_set_landscape(sheet);
    worksheet_fit_to_pages(sheet, 1, 0);
    writes << worksheet_repeat_rows(sheet, headerRow, headerRow);
    writes << worksheet_autofilter(sheet, headerRow, 0, headerRow + lxw_row_t(rows.size()), 9);
}

} // namespace

QByteArray xlsx(const QVector<DashboardRow> &rows, const Title &title)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        throw ExportError(QStringLiteral("Impossible de créer un dossier temporaire pour le classeur."));
    const QString path = dir.filePath(QStringLiteral("tableau.xlsx"));
    const QByteArray nativePath = QFile::encodeName(path);
    QByteArray tmpdir = QFile::encodeName(dir.path());
    lxw_workbook_options options = {};
    options.tmpdir = tmpdir.data();
    lxw_workbook *workbook = workbook_new_opt(nativePath.constData(), &options);
    if (!workbook)
        throw ExportError(QStringLiteral("Impossible de créer le classeur."));

    QByteArray titleText = title.text().toUtf8();
    lxw_doc_properties properties = {};
    properties.title = titleText.data();
    Writes writes;
    writes << workbook_set_properties(workbook, &properties);
    writeSheet(workbook, rows, title, writes);
    const lxw_error closed = workbook_close(workbook);
    const lxw_error error = writes.first != LXW_NO_ERROR ? writes.first : closed;
    if (error != LXW_NO_ERROR)
        throw ExportError(QStringLiteral("Le classeur n'a pas pu être écrit : %1").arg(QString::fromUtf8(lxw_strerror(error))));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ExportError(QStringLiteral("Le classeur n'a pas pu être relu : %1").arg(file.errorString()));
    return file.readAll();
}

void save(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw ExportError(QStringLiteral("Impossible d'écrire le fichier %1 : %2").arg(path, file.errorString()));
}

} // namespace TableExport
