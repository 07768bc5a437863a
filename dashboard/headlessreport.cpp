#include "dashboard/headlessreport.h"

#include "dashboard/tableprint.h"

#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

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

TableExport::Title title(TABSDatabase &db, const DashboardSelection &selection)
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
    return TableExport::titleOf(selection, label);
}

QVector<DashboardRow> rows(TABSDatabase &db, const DashboardSelection &selection, DashboardRow *totals)
{
    QVector<DashboardRow> out;
    const std::unique_ptr<FigureSource> source = defaultFigureSource();
    buildDashboard(&db, selection, *source, [&out](const DashboardRow &row) { out << row; }, totals);
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

QByteArray renderText(const QVector<DashboardRow> &rows, const std::optional<DashboardRow> &totals)
{
    // The lines are made twice, once to measure the columns and once to
    // write them, so that only one line's texts are held at a time.
    const qsizetype lines = rows.size() + (totals ? 1 : 0);
    auto cellsOf = [&rows, &totals](qsizetype line) {
        QStringList cells = line == 0 ? dashboardCaptions()
            : line <= rows.size()     ? rows.at(line - 1).cells()
                                      : totals->cells();
        cells[0] = textLabel(cells.at(0));
        for (int c = 1; c < 10; ++c)
            cells[c] = textCell(cells.at(c));
        return cells;
    };
    QVector<qsizetype> widths(10, 0);
    for (qsizetype line = 0; line <= lines; ++line) {
        const QStringList cells = cellsOf(line);
        for (int c = 0; c < 10; ++c)
            widths[c] = qMax(widths[c], cells.at(c).size());
    }
    QByteArray out;
    for (qsizetype line = 0; line <= lines; ++line) {
        const QStringList cells = cellsOf(line);
        QString text;
        for (int c = 0; c < 10; ++c) {
            if (c > 0)
                text += QStringLiteral("  ");
            text += c == 0 ? cells.at(c).leftJustified(widths[c]) : cells.at(c).rightJustified(widths[c]);
        }
        // Right-justified, the last cell leaves no blank at the end.
        out += text.toUtf8() + '\n';
    }
    return out;
}

QByteArray renderJson(const QVector<DashboardRow> &rows, const std::optional<DashboardRow> &totals)
{
    QJsonArray array;
    const QStringList captions = dashboardCaptions();
    for (qsizetype i = 0; i < rows.size() + (totals ? 1 : 0); ++i) {
        const DashboardRow &row = i < rows.size() ? rows.at(i) : *totals;
        QJsonObject values;
        values[QStringLiteral("montant_ht")] = row.HT;
        values[QStringLiteral("tva")] = row.TVA;
        values[QStringLiteral("montant_ttc")] = row.TTC;
        values[QStringLiteral("marge")] = row.Marge;
        values[QStringLiteral("marge_pct")] = row.MargePct;
        values[QStringLiteral("nb_relances")] = row.NbRelances;
        values[QStringLiteral("nb_devis")] = row.NbDevis;
        values[QStringLiteral("nb_commandes")] = row.NbCommandes;
        values[QStringLiteral("transformation_pct")] = row.Transformation;
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
        if (i >= rows.size())
            object[QStringLiteral("total")] = true;
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

} // namespace

QByteArray render(const QVector<DashboardRow> &rows, OutputFormat format, const TableExport::Title &title,
                  const std::optional<DashboardRow> &totals)
{
    switch (format) {
    case OutputFormat::Text:
        return renderText(rows, totals);
    case OutputFormat::Json:
        return renderJson(rows, totals);
    case OutputFormat::Tsv:
        // For scripts: the window's texts, labels as they are.
        return TableExport::tsv(rows, TableExport::Labels::AsShown, totals);
    case OutputFormat::Csv:
        return TableExport::csv(rows, totals);
    case OutputFormat::Xlsx:
        return TableExport::xlsx(rows, title, totals);
    case OutputFormat::Pdf:
        return TablePrint::pdf({title, rows, totals});
    }
    return {};
}

} // namespace HeadlessReport
