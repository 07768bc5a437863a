#include "dashboard/headlessreport.h"

#include "dashboard/tableprint.h"

#include "app/toolexit.h"
#include "store/dberror.h"
#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace HeadlessReport {

namespace {

const QString UsageLine = QStringLiteral("Utilisation : orvalis-report BASE UTILISATEUR [options]");

} // namespace

QString usage()
{
    return UsageLine
           + QStringLiteral(
               "\n\n"
               "Le tableau de suivi sans fenêtre : les mêmes lignes et les mêmes textes que la fenêtre, pour un mois\n"
               "et les filtres demandés, sur la sortie standard ou dans un fichier.\n"
               "\n"
               "Arguments :\n"
               "  BASE                 le fichier de base de données, ou une base d'un serveur PostgreSQL\n"
               "                       (postgresql://utilisateur@serveur:port/base)\n"
               "  UTILISATEUR          le code de l'utilisateur ; VEXOR : l'administrateur, qui voit tous les niveaux\n"
               "\n"
               "Options :\n"
               "  --mois AAAA-MM       le mois (le mois en cours par défaut)\n"
               "  --niveau CODE        les agences de ce niveau\n"
               "  --agence CODE        les utilisateurs de cette agence dans le mois (demande --niveau)\n"
               "  --utilisateur CODE   cet utilisateur seul, dans l'agence (demande --agence)\n"
               "  --fournisseur CODE   les chiffres de ce fournisseur seulement\n"
               "  --format FORMAT      texte (par défaut), tsv, csv, json, xlsx ou pdf\n"
               "  --total              ajoute la ligne des totaux après les lignes (chaque fait compté une fois)\n"
               "  --sortie FICHIER     écrit ce fichier au lieu de la sortie standard (obligatoire pour xlsx et pdf) ;\n"
               "                       un fichier existant n'est remplacé qu'une fois le nouveau complet\n"
               "  -h, --help           affiche cette aide\n"
               "\n")
           + ToolExit::statusHelp();
}

Request parse(const QStringList &arguments, const QDate &today)
{
    Request request;
    request.month = QDate(today.year(), today.month(), 1);
    QStringList positional;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            request.help = true;
            return request;
        }
        if (!arg.startsWith(QLatin1String("--"))) {
            positional << arg;
            continue;
        }
        if (arg == QLatin1String("--total")) {
            request.total = true;
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
            else if (value == QLatin1String("pdf"))
                request.format = OutputFormat::Pdf;
            else
                throw UsageError(QStringLiteral("Format inconnu : %1 (texte, tsv, csv, json, xlsx ou pdf).").arg(value));
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
    if (request.format == OutputFormat::Pdf && request.output.isEmpty())
        throw UsageError(QStringLiteral("Le format pdf demande --sortie FICHIER."));
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
    QVector<DashboardRow> lines = rows;
    if (totals)
        lines << *totals;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const DashboardRow &row = lines.at(i);
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

namespace {

// Writes everything to `out`, or raises ExportError.
void writeAll(QIODevice &out, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = out.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            break;
        done += written;
    }
    auto *file = qobject_cast<QFileDevice *>(&out);
    if (done < bytes.size() || (file && !file->flush()))
        throw TableExport::ExportError(
            QStringLiteral("La sortie standard n'a pas pu être écrite : %1").arg(out.errorString()));
}

int report(const Request &request, QIODevice &out, QTextStream &err)
{
    if (!request.output.isEmpty())
        TableExport::checkTarget(request.output, request.database);
    TABSDatabase db;
    db.SetDatabaseFileName(request.database);
    const DashboardSelection selection = resolve(db, request);
    DashboardRow totals;
    const QVector<DashboardRow> shown = rows(db, selection, request.total ? &totals : nullptr);
    if (shown.isEmpty() && drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex) == 0)
        err << QStringLiteral("Information : ") << TableExport::singleLine(noLevelNotice(selection.admin, request.user))
            << '\n';
    const QByteArray bytes = render(shown, request.format,
                                    request.format == OutputFormat::Xlsx || request.format == OutputFormat::Pdf
                                        ? title(db, selection)
                                        : TableExport::Title(),
                                    request.total ? std::optional<DashboardRow>(totals) : std::nullopt);
    if (request.output.isEmpty())
        writeAll(out, bytes);
    else
        TableExport::save(request.output, bytes, request.database);
    return ToolExit::Success;
}

} // namespace

int run(const QStringList &arguments, QIODevice &out, QTextStream &err)
{
    try {
        Request request;
        try {
            request = parse(arguments);
        } catch (const UsageError &e) {
            err << e.message() << '\n' << UsageLine << QStringLiteral(" (orvalis-report --help : l'aide)\n");
            return ToolExit::Usage;
        }
        if (request.help) {
            writeAll(out, usage().toUtf8());
            return ToolExit::Success;
        }
        return report(request, out, err);
    } catch (const UsageError &e) {
        err << e.message() << '\n';
        return ToolExit::Usage;
    } catch (const TableExport::RefusedTarget &e) {
        err << QString::fromUtf8(e.what()) << '\n';
        return ToolExit::Usage;
    } catch (const EDatabaseError &e) {
        err << e.message() << '\n';
        return ToolExit::Failure;
    } catch (const TableExport::ExportError &e) {
        err << QString::fromUtf8(e.what()) << '\n';
        return ToolExit::Failure;
    } catch (const std::bad_alloc &) {
        err << ToolExit::outOfMemory() << '\n';
        return ToolExit::Failure;
    }
}

} // namespace HeadlessReport
