#include "tools/report/reportcommand.h"

#include "dashboard/tableexport.h"
#include "store/dberror.h"
#include "store/visibletext.h"
#include "store/tabsdatabase.h"
#include "tools/common/toolexit.h"

#include <QCommandLineParser>
#include <QFileDevice>
#include <QTextStream>

namespace HeadlessReport {

namespace {

const QString UsageLine = QStringLiteral("Utilisation : orvalis-report BASE UTILISATEUR [options]");

// The first option QCommandLineParser refused (unknown, or given a value it
// takes none of), as it was typed: the parser names it without its dashes,
// and a word after a single dash letter by letter.
QString refusedOption(const QStringList &arguments, const QStringList &unknown, const QStringList &flags,
                      const QStringList &valued)
{
    for (qsizetype i = 0; i < arguments.size() && arguments.at(i) != QLatin1String("--"); ++i) {
        const QString &arg = arguments.at(i);
        if (arg.startsWith(QLatin1String("--"))) {
            const QString name = arg.mid(2).section(QLatin1Char('='), 0, 0);
            const bool withValue = arg.contains(QLatin1Char('='));
            if (unknown.contains(name) || (withValue && flags.contains(name)))
                return arg.section(QLatin1Char('='), 0, 0);
            if (!withValue && valued.contains(name))
                ++i; // its value
        } else if (arg.startsWith(QLatin1Char('-'))) {
            if (arg.contains(QLatin1Char('=')))
                return arg;
            for (const QString &name : unknown)
                if (name.size() == 1 && arg.mid(1).contains(name))
                    return arg;
        }
    }
    return QString();
}

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
               "  --cumul              de janvier au mois, au lieu du mois seul\n"
               "  --comparer PERIODE   chaque chiffre suivi de sa valeur sur l'autre période et de son évolution :\n"
               "                       mois-precedent (le mois seul) ou annee-precedente (la même période un an plus tôt)\n"
               "  --sortie FICHIER     écrit ce fichier au lieu de la sortie standard (obligatoire pour xlsx et pdf) ;\n"
               "                       un fichier existant n'est remplacé qu'une fois le nouveau complet\n"
               "  -h, --help           affiche cette aide\n"
               "  --                   la fin des options : ce qui suit est la base et l'utilisateur\n"
               "\n")
           + ToolExit::statusHelp();
}

Request parse(const QStringList &arguments, const QDate &today)
{
    // The help and every message are the report's own, in French.
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption total(QStringLiteral("total"));
    const QCommandLineOption cumul(QStringLiteral("cumul"));
    const auto valued = [](const char *name) {
        return QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("valeur"));
    };
    const QList<QCommandLineOption> values{valued("mois"),        valued("niveau"), valued("agence"),
                                           valued("utilisateur"), valued("fournisseur"), valued("format"),
                                           valued("sortie"),      valued("comparer")};
    const QCommandLineOption &month = values[0], &level = values[1], &agency = values[2], &user = values[3],
                             &supplier = values[4], &format = values[5], &output = values[6],
                             &compare = values[7];
    QCommandLineParser parser;
    parser.addOptions(values + QList<QCommandLineOption>{help, total, cumul});
    if (!parser.parse(QStringList{QStringLiteral("orvalis-report")} + arguments)) {
        QStringList valueNames;
        for (const QCommandLineOption &option : values)
            valueNames << option.names();
        const QString refused =
            refusedOption(arguments, parser.unknownOptionNames(), help.names() + total.names() + cumul.names(),
                          valueNames);
        if (!refused.isEmpty())
            throw UsageError(QStringLiteral("Option inconnue : %1").arg(refused));
        // Otherwise the last argument is an option whose value is missing.
        throw UsageError(QStringLiteral("L'option %1 attend une valeur.").arg(arguments.last()));
    }
    Request request;
    if (parser.isSet(help)) {
        request.help = true;
        return request;
    }
    request.month = QDate(today.year(), today.month(), 1);
    for (const QString &value : parser.values(month)) {
        request.month = QDate::fromString(value + QStringLiteral("-01"), QStringLiteral("yyyy-MM-dd"));
        if (!request.month.isValid())
            throw UsageError(QStringLiteral("Mois invalide : %1 (attendu AAAA-MM).").arg(value));
    }
    static const QStringList formats{QStringLiteral("texte"), QStringLiteral("tsv"),  QStringLiteral("csv"),
                                     QStringLiteral("json"),  QStringLiteral("xlsx"), QStringLiteral("pdf")};
    for (const QString &value : parser.values(format)) {
        if (!formats.contains(value))
            throw UsageError(QStringLiteral("Format inconnu : %1 (texte, tsv, csv, json, xlsx ou pdf).").arg(value));
        request.format = OutputFormat(formats.indexOf(value)); // in the order of OutputFormat
    }
    for (const QString &value : parser.values(output)) {
        if (value.isEmpty())
            throw UsageError(QStringLiteral("--sortie attend un nom de fichier."));
        request.output = value;
    }
    request.hasLevel = parser.isSet(level);
    request.level = parser.value(level);
    request.hasAgency = parser.isSet(agency);
    request.agency = parser.value(agency);
    request.hasUser = parser.isSet(user);
    request.userCode = parser.value(user);
    request.hasSupplier = parser.isSet(supplier);
    request.supplier = parser.value(supplier);
    request.total = parser.isSet(total);
    if (parser.isSet(cumul))
        request.period.span = PeriodChoice::YearToDate;
    for (const QString &value : parser.values(compare)) {
        if (value == QLatin1String("mois-precedent"))
            request.period.comparison = PeriodChoice::PreviousMonth;
        else if (value == QLatin1String("annee-precedente"))
            request.period.comparison = PeriodChoice::YearEarlier;
        else
            throw UsageError(
                QStringLiteral("Comparaison inconnue : %1 (mois-precedent ou annee-precedente).").arg(value));
    }
    if (!PeriodChoice::comparisonsFor(request.period.span).contains(request.period.comparison))
        throw UsageError(QStringLiteral("--comparer mois-precedent ne va pas avec --cumul : comparez le cumul à "
                                        "annee-precedente."));
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2)
        throw UsageError(QStringLiteral("Il faut la base de données et l'utilisateur."));
    if (positional.at(0).isEmpty())
        throw UsageError(QStringLiteral("Le nom de la base de données est vide."));
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
    // A server slow to end a transaction: said while the user waits.
    db.setWaitNotice([&err](const QString &text) {
        if (!text.isEmpty())
            err << QStringLiteral("Information : ") << text << '\n' << Qt::flush;
    });
    const DashboardSelection selection = resolve(db, request);
    DashboardRow totals;
    std::optional<TableExport::Comparison> comparison;
    const QVector<DashboardRow> shown =
        rows(db, selection, request.total ? &totals : nullptr, request.period, &comparison);
    if (shown.isEmpty() && drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex) == 0)
        err << QStringLiteral("Information : ") << visibleText(TableExport::singleLine(noLevelNotice(selection.admin, request.user)))
            << '\n';
    const QByteArray bytes = render(shown, request.format,
                                    request.format == OutputFormat::Xlsx || request.format == OutputFormat::Pdf
                                        ? title(db, selection, request.period)
                                        : TableExport::Title(),
                                    request.total ? std::optional<DashboardRow>(totals) : std::nullopt,
                                    comparison ? &*comparison : nullptr);
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
            err << visibleText(e.message()) << '\n' << UsageLine << QStringLiteral(" (orvalis-report --help : l'aide)\n");
            return ToolExit::Usage;
        }
        if (request.help) {
            writeAll(out, usage().toUtf8());
            return ToolExit::Success;
        }
        return report(request, out, err);
    } catch (const UsageError &e) {
        err << visibleText(e.message()) << '\n';
        return ToolExit::Usage;
    } catch (const TableExport::RefusedTarget &e) {
        err << visibleText(QString::fromUtf8(e.what())) << '\n';
        return ToolExit::Usage;
    } catch (const EDatabaseError &e) {
        err << visibleText(e.message()) << '\n';
        return ToolExit::Failure;
    } catch (const TableExport::ExportError &e) {
        err << visibleText(QString::fromUtf8(e.what())) << '\n';
        return ToolExit::Failure;
    } catch (const std::bad_alloc &) {
        err << ToolExit::outOfMemory() << '\n';
        return ToolExit::Failure;
    }
}

} // namespace HeadlessReport
