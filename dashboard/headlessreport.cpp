#include "dashboard/headlessreport.h"

#include "store/dberror.h"
#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace HeadlessReport {

QString usage()
{
    return QStringLiteral(
        "Usage : orvalis-report BASE UTILISATEUR [--mois AAAA-MM] [--niveau CODE] [--agence CODE]\n"
        "                       [--utilisateur CODE] [--fournisseur CODE]\n"
        "                       [--format texte|tsv|csv|json|xlsx] [--sortie FICHIER]\n"
        "Le format xlsx demande --sortie.\n");
}

Request parse(const QStringList &arguments, const QDate &today)
{
    Request request;
    request.month = QDate(today.year(), today.month(), 1);
    QStringList positional;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (!arg.startsWith(QLatin1String("--"))) {
            positional << arg;
            continue;
        }
        static const QStringList known{QStringLiteral("--mois"),        QStringLiteral("--niveau"),
                                       QStringLiteral("--agence"),      QStringLiteral("--utilisateur"),
                                       QStringLiteral("--fournisseur"), QStringLiteral("--format"),
                                       QStringLiteral("--sortie")};
        QString name = arg;
        QString value;
        const int eq = arg.indexOf(QLatin1Char('='));
        if (!known.contains(eq > 0 ? arg.left(eq) : arg))
            throw UsageError(QStringLiteral("Option inconnue : %1").arg(eq > 0 ? arg.left(eq) : arg));
        if (eq > 0) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
        } else {
            if (i + 1 >= arguments.size())
                throw UsageError(QStringLiteral("L'option %1 attend une valeur.").arg(arg));
            value = arguments.at(++i);
        }
        if (name == QLatin1String("--mois")) {
            const QDate month = QDate::fromString(value + QStringLiteral("-01"), QStringLiteral("yyyy-MM-dd"));
            if (!month.isValid())
                throw UsageError(QStringLiteral("Mois invalide : %1 (attendu AAAA-MM).").arg(value));
            request.month = month;
        } else if (name == QLatin1String("--niveau")) {
            request.hasLevel = true;
            request.level = value;
        } else if (name == QLatin1String("--agence")) {
            request.hasAgency = true;
            request.agency = value;
        } else if (name == QLatin1String("--utilisateur")) {
            request.hasUser = true;
            request.userCode = value;
        } else if (name == QLatin1String("--fournisseur")) {
            request.hasSupplier = true;
            request.supplier = value;
        } else if (name == QLatin1String("--format")) {
            if (value == QLatin1String("texte"))
                request.format = OutputFormat::Text;
            else if (value == QLatin1String("tsv"))
                request.format = OutputFormat::Tsv;
            else if (value == QLatin1String("csv"))
                request.format = OutputFormat::Csv;
            else if (value == QLatin1String("json"))
                request.format = OutputFormat::Json;
            else if (value == QLatin1String("xlsx"))
                request.format = OutputFormat::Xlsx;
            else
                throw UsageError(QStringLiteral("Format inconnu : %1 (texte, tsv, csv, json ou xlsx).").arg(value));
        } else if (name == QLatin1String("--sortie")) {
            if (value.isEmpty())
                throw UsageError(QStringLiteral("--sortie attend un nom de fichier."));
            request.output = value;
        }
    }
    if (positional.size() != 2)
        throw UsageError(QStringLiteral("Il faut la base de données et l'utilisateur."));
    request.database = positional.at(0);
    request.user = positional.at(1);
    if (request.hasAgency && !request.hasLevel)
        throw UsageError(QStringLiteral("--agence demande --niveau."));
    if (request.hasUser && !request.hasAgency)
        throw UsageError(QStringLiteral("--utilisateur demande --agence."));
    if (request.format == OutputFormat::Xlsx && request.output.isEmpty())
        throw UsageError(QStringLiteral("Le format xlsx demande --sortie FICHIER."));
    return request;
}

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

QVector<DashboardRow> rows(TABSDatabase &db, const DashboardSelection &selection)
{
    QVector<DashboardRow> out;
    const std::unique_ptr<FigureSource> source = defaultFigureSource();
    buildDashboard(&db, selection, *source, [&out](const DashboardRow &row) { out << row; });
    return out;
}

namespace {

QByteArray renderText(const QVector<DashboardRow> &rows)
{
    QList<QStringList> lines{dashboardCaptions()};
    for (const DashboardRow &row : rows)
        lines << row.cells();
    QVector<int> widths(10, 0);
    for (const QStringList &line : lines)
        for (int c = 0; c < 10; ++c)
            widths[c] = qMax(widths[c], int(TableExport::singleLine(line.at(c)).size()));
    QString out;
    for (const QStringList &line : lines) {
        QStringList cells;
        for (int c = 0; c < 10; ++c) {
            const QString cell = TableExport::singleLine(line.at(c));
            cells << (c == 0 ? cell.leftJustified(widths[c]) : cell.rightJustified(widths[c]));
        }
        out += cells.join(QStringLiteral("  ")).trimmed() + QLatin1Char('\n');
    }
    return out.toUtf8();
}

QByteArray renderJson(const QVector<DashboardRow> &rows)
{
    QJsonArray array;
    for (const DashboardRow &row : rows) {
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
        QJsonObject texts;
        const QStringList captions = dashboardCaptions();
        const QStringList cells = row.cells();
        for (int c = 0; c < 10; ++c)
            texts[captions.at(c)] = cells.at(c);
        QJsonObject object;
        object[QStringLiteral("libelle")] = row.libelle;
        object[QStringLiteral("code")] = row.code;
        object[QStringLiteral("valeurs")] = values;
        object[QStringLiteral("textes")] = texts;
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

} // namespace

QByteArray render(const QVector<DashboardRow> &rows, OutputFormat format, const TableExport::Title &title)
{
    switch (format) {
    case OutputFormat::Text:
        return renderText(rows);
    case OutputFormat::Json:
        return renderJson(rows);
    case OutputFormat::Tsv:
        return TableExport::tsv(rows);
    case OutputFormat::Csv:
        return TableExport::csv(rows);
    case OutputFormat::Xlsx:
        return TableExport::xlsx(rows, title);
    }
    return {};
}

int run(const QStringList &arguments, QIODevice &out, QTextStream &err)
{
    Request request;
    try {
        request = parse(arguments);
    } catch (const UsageError &e) {
        err << e.message() << '\n' << usage();
        return 2;
    }
    try {
        TABSDatabase db;
        db.SetDatabaseFileName(request.database);
        const DashboardSelection selection = resolve(db, request);
        const QByteArray bytes = render(rows(db, selection), request.format,
                                        request.format == OutputFormat::Xlsx ? title(db, selection)
                                                                             : TableExport::Title());
        if (request.output.isEmpty())
            out.write(bytes);
        else
            TableExport::save(request.output, bytes);
        return 0;
    } catch (const UsageError &e) {
        err << e.message() << '\n';
        return 2;
    } catch (const EDatabaseError &e) {
        err << e.message() << '\n';
        return 1;
    } catch (const TableExport::ExportError &e) {
        err << QString::fromUtf8(e.what()) << '\n';
        return 1;
    }
}

} // namespace HeadlessReport
