#include "dashboard/headlessreport.h"

#include "dashboard/comparison.h"
#include "dashboard/tableprint.h"

#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cmath>

namespace HeadlessReport {

namespace {

bool exists(TABSDatabase &db, const QString &sql)
{
    TABSQuery query(&db);
    query.SetDatabaseName(db.DatabaseName());
    query.SQL().append(sql);
    query.Open();
    return !query.Eof();
}

bool codeExists(TABSDatabase &db, const QString &table, const QString &code)
{
    return exists(db, QStringLiteral("SELECT code FROM %1 WHERE code = '%2'").arg(table, sqlEscape(code)));
}

} // namespace

DashboardSelection resolve(TABSDatabase &db, const Request &request)
{
    DashboardSelection s;
    s.admin = request.user == QLatin1String("VEXOR");
    s.user = s.admin ? QString() : request.user;
    s.year = request.month.year();
    s.month = request.month.month();

    if (request.hasLevel) {
        if (!s.admin && request.level != request.user)
            throw UsageError(QStringLiteral("Le niveau « %1 » n'est pas accessible à l'utilisateur « %2 ».")
                                 .arg(request.level, request.user));
        if (!codeExists(db, QStringLiteral("dim_niveau"), request.level))
            throw UsageError(QStringLiteral("Niveau inconnu : %1").arg(request.level));
        s.levelIndex = 1;
        s.levelCode = request.level;
    }
    if (request.hasAgency) {
        if (!codeExists(db, QStringLiteral("dim_agence"), request.agency))
            throw UsageError(QStringLiteral("Agence inconnue : %1").arg(request.agency));
        if (!exists(db, QStringLiteral("SELECT agence FROM niveau_agence WHERE niveau = '%1' AND agence = '%2'")
                            .arg(sqlEscape(request.level), sqlEscape(request.agency))))
            throw UsageError(QStringLiteral("L'agence « %1 » n'est pas rattachée au niveau « %2 ».")
                                 .arg(request.agency, request.level));
        s.agencyIndex = 1;
        s.agencyCode = request.agency;
    }
    if (request.hasUser) {
        if (!codeExists(db, QStringLiteral("dim_utilisateur"), request.userCode))
            throw UsageError(QStringLiteral("Utilisateur inconnu : %1").arg(request.userCode));
        s.userIndex = 1;
        s.userCode = request.userCode;
    }
    if (request.hasSupplier) {
        if (!codeExists(db, QStringLiteral("dim_fournisseur"), request.supplier))
            throw UsageError(QStringLiteral("Fournisseur inconnu : %1").arg(request.supplier));
        s.supplierCode = request.supplier;
    }
    return s;
}

TableExport::Title title(TABSDatabase &db, const DashboardSelection &selection, const PeriodChoice &period)
{
    auto label = [&db](TableExport::Filter filter, const QString &code) {
        static const char *const tables[] = {"dim_niveau", "dim_agence", "dim_utilisateur", "dim_fournisseur"};
        TABSQuery query(&db);
        query.SetDatabaseName(db.DatabaseName());
        query.SQL().append(QStringLiteral("SELECT libelle FROM %1 WHERE code = '%2'")
                               .arg(QLatin1String(tables[int(filter)]), sqlEscape(code)));
        query.Open();
        return query.Eof() ? QString() : query.FieldByName(QStringLiteral("libelle")).AsString();
    };
    TableExport::Title title = TableExport::titleOf(selection, label);
    title.setPeriod(period);
    return title;
}

QVector<DashboardRow> rows(TABSDatabase &db, const DashboardSelection &selection, DashboardRow *totals,
                           const PeriodChoice &period, std::optional<TableExport::Comparison> *compared)
{
    QVector<DashboardRow> out;
    std::optional<TableExport::Comparison> kept;
    std::optional<TableExport::Comparison> &comparison = compared ? *compared : kept;
    comparison.reset();
    if (const std::optional<MonthSpan> other = period.compared(selection.year, selection.month))
        comparison.emplace().period = other->text();
    const std::unique_ptr<FigureSource> source = defaultFigureSource();
    ComparedRow line;
    buildComparedDashboard(
        &db, selection, period, *source,
        [&](const ComparedRow &row) {
            out << row.chosen;
            if (comparison)
                comparison->rows << row.compared.value_or(DashboardRow());
        },
        totals ? &line : nullptr);
    if (totals) {
        *totals = line.chosen;
        if (comparison)
            comparison->totals = line.compared;
    }
    return out;
}

namespace {

// A cell of the texte format, which a terminal shows: on one line, and no
// control character (an escape sequence would drive the terminal).
QString textCell(const QString &text)
{
    QString out = TableExport::singleLine(text);
    for (QChar &c : out)
        if (c.category() == QChar::Other_Control)
            c = QChar(QChar::ReplacementCharacter);
    return out;
}

// A label of the texte format: at most TextLabelWidth characters.
QString textLabel(const QString &label)
{
    if (label.size() <= TextLabelWidth)
        return textCell(label);
    qsizetype keep = TextLabelWidth - 1;
    if (label.at(keep - 1).isHighSurrogate())
        --keep;
    return textCell(label.left(keep)) + QChar(0x2026);
}

QByteArray renderText(const QVector<DashboardRow> &rows, const std::optional<DashboardRow> &totals,
                      const TableExport::Comparison *comparison)
{
    // The lines are made twice, once to measure the columns and once to
    // write them, so that only one line's texts are held at a time.
    const qsizetype lines = rows.size() + (totals ? 1 : 0);
    const int columns = int(TableExport::captions(comparison).size());
    auto cellsOf = [&](qsizetype line) {
        const DashboardRow *row = line == 0 ? nullptr : line <= rows.size() ? &rows.at(line - 1) : &*totals;
        const DashboardRow *other = !comparison || !row ? nullptr
            : line <= rows.size()                       ? &comparison->rows.at(line - 1)
            : comparison->totals                        ? &*comparison->totals
                                                        : nullptr;
        QStringList cells = row ? TableExport::lineCells(*row, row->cells(), other) : TableExport::captions(comparison);
        cells[0] = textLabel(cells.at(0));
        for (int c = 1; c < columns; ++c)
            cells[c] = textCell(cells.at(c));
        return cells;
    };
    QVector<qsizetype> widths(columns, 0);
    for (qsizetype line = 0; line <= lines; ++line) {
        const QStringList cells = cellsOf(line);
        for (int c = 0; c < columns; ++c)
            widths[c] = qMax(widths[c], cells.at(c).size());
    }
    QByteArray out;
    for (qsizetype line = 0; line <= lines; ++line) {
        const QStringList cells = cellsOf(line);
        QString text;
        for (int c = 0; c < columns; ++c) {
            if (c > 0)
                text += QStringLiteral("  ");
            text += c == 0 ? cells.at(c).leftJustified(widths[c]) : cells.at(c).rightJustified(widths[c]);
        }
        // Right-justified, the last cell leaves no blank at the end.
        out += text.toUtf8() + '\n';
    }
    return out;
}

// The keys of the nine figures, in the order of the table's columns.
const char *const FigureKeys[9] = {"montant_ht",  "tva",         "montant_ttc",  "marge",
                                   "marge_pct",   "nb_relances", "nb_devis",     "nb_commandes",
                                   "transformation_pct"};

QJsonObject valuesOf(const DashboardRow &row)
{
    QJsonObject values;
    for (int f = 0; f < 9; ++f)
        values[QLatin1String(FigureKeys[f])] = TableExport::columnValue(row, f + 1);
    return values;
}

QByteArray renderJson(const QVector<DashboardRow> &rows, const std::optional<DashboardRow> &totals,
                      const TableExport::Comparison *comparison)
{
    QJsonArray array;
    const QStringList captions = dashboardCaptions();
    for (qsizetype i = 0; i < rows.size() + (totals ? 1 : 0); ++i) {
        const DashboardRow &row = i < rows.size() ? rows.at(i) : *totals;
        const QJsonObject values = valuesOf(row);
        // The same bytes whatever the user's locale: a script reads them.
        QJsonObject texts;
        const QStringList cells = row.cells(QLocale::c());
        for (int c = 0; c < 10; ++c)
            texts[captions.at(c)] = cells.at(c);
        QJsonObject object;
        object[QStringLiteral("libelle")] = row.libelle;
        object[QStringLiteral("code")] = row.code;
        object[QStringLiteral("valeurs")] = values;
        object[QStringLiteral("textes")] = texts;
        const DashboardRow *other = !comparison ? nullptr
            : i < rows.size()                   ? &comparison->rows.at(i)
            : comparison->totals                ? &*comparison->totals
                                                : nullptr;
        if (other) {
            object[QStringLiteral("comparaison")] = valuesOf(*other);
            QJsonObject change;
            const auto changes = ComparedRow{row, *other}.changes();
            for (int f = 0; f < 9; ++f) {
                const std::optional<double> value = changes[size_t(f)];
                change[QLatin1String(FigureKeys[f])] = value && std::isfinite(*value) ? QJsonValue(*value) : QJsonValue();
            }
            object[QStringLiteral("evolution")] = change;
        }
        if (i >= rows.size())
            object[QStringLiteral("total")] = true;
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

} // namespace

QByteArray render(const QVector<DashboardRow> &rows, OutputFormat format, const TableExport::Title &title,
                  const std::optional<DashboardRow> &totals, const TableExport::Comparison *comparison)
{
    switch (format) {
    case OutputFormat::Text:
        return renderText(rows, totals, comparison);
    case OutputFormat::Json:
        return renderJson(rows, totals, comparison);
    case OutputFormat::Tsv:
        // For scripts: the window's texts, labels as they are.
        return TableExport::tsv(rows, TableExport::Labels::AsShown, totals, comparison);
    case OutputFormat::Csv:
        return TableExport::csv(rows, totals, comparison);
    case OutputFormat::Xlsx:
        return TableExport::xlsx(rows, title, totals, comparison);
    case OutputFormat::Pdf:
        return TablePrint::pdf({title, rows, totals,
                                comparison ? std::optional<TableExport::Comparison>(*comparison) : std::nullopt});
    }
    return {};
}

} // namespace HeadlessReport
