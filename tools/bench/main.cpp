// orvalis-bench: how long a refresh of the tracking table takes on sample
// databases of growing size, statement per figure against one grouped pass,
// on SQLite files and on a PostgreSQL server side by side.
//
//   orvalis-bench [postgresql://user@host:port/dbname] [--server-only]
//                 [--sizes 100000,1000000,10000000] [--dir DIR] [--runs N]
//                 [--levels N] [--per-figure-budget S] [--force-per-figure]
//                 [--last-month AAAA-MM] [--prefix NAME] [--data FILE]
//                 [--policies deploy/postgresql-roles.sql]
//                 [--shape sample|levels=N,agencies=N,users=N,suppliers=N,extra-accounts=N]...
//                 [--indexes none,agency,account]
//
// The sample databases are made once with orvalis-sample and kept (files in
// DIR, databases on the server), for each organisation, with a working copy
// for each index order (none, the agency after the month, the account
// after the month). Only the results go to the standard output; the
// progress goes to the standard error.
//
// Exit status: 0 done, 1 database or file error, 2 usage error.

#include "tools/bench/benchmark.h"

#include "ui/startup.h"
#include "tools/common/toolexit.h"
#include "dashboard/tableexport.h"
#include "store/dberror.h"
#include "store/serveraddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QThread>

#include <memory>
#include <stdexcept>

namespace {

// The load of the machine over the last minute, from /proc/loadavg.
QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 0);
}

int usageError(QTextStream &err, const QString &message)
{
    err << "orvalis-bench : " << message << " (orvalis-bench --help : l'aide)\n";
    return ToolExit::Usage;
}

int run(int &argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvalis-bench"));
    Startup::installFrenchTranslations(app);
    QTextStream out(stdout);
    QTextStream err(stderr);

    BenchOptions options;
    const QString here = QCoreApplication::applicationDirPath();
    options.sampleProgram = QDir(here).filePath(QStringLiteral("orvalis-sample"));
    options.reportProgram = QDir(here).filePath(QStringLiteral("orvalis-report"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Mesure la durée d'un rafraîchissement du tableau de suivi : une requête par chiffre, un passage groupé, et "
        "un simple passage sur le mois, sur des bases d'exemple de plusieurs organisations, sans index et avec chaque "
        "ordre de l'index couvrant, et l'évolution de treize mois ; sur des fichiers SQLite et, côte à côte, sur un "
        "serveur PostgreSQL quand il est indiqué. Les résultats (tableaux Markdown) vont sur la sortie standard, "
        "l'avancement sur la sortie d'erreur.\n"
        "Durée : avec les tailles par défaut (jusqu'à 10 millions de lignes), une vingtaine de minutes et plusieurs "
        "Go de disque ; --sizes 100000 --runs 3 --per-figure-budget 10 donne un aperçu en moins d'une minute."));
    parser.addPositionalArgument(QStringLiteral("serveur"),
                                 QStringLiteral("Une base d'un serveur PostgreSQL (postgresql://utilisateur@serveur:port/base ; "
                                                "mot de passe dans PGPASSWORD ou ~/.pgpass). Le banc crée ses propres "
                                                "bases à côté : le rôle doit avoir CREATEDB."),
                                 QStringLiteral("[serveur]"));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Affiche cette aide."));
    const QCommandLineOption sizes(QStringLiteral("sizes"),
                                   QStringLiteral("Nombres de lignes de faits des bases, séparés par des virgules "
                                                  "(100000,1000000,10000000)."),
                                   QStringLiteral("N,N,..."));
    const QCommandLineOption dir(QStringLiteral("dir"),
                                 QStringLiteral("Dossier où les bases sont gardées (%1).").arg(options.dir),
                                 QStringLiteral("DOSSIER"));
    const QCommandLineOption runs(QStringLiteral("runs"),
                                  QStringLiteral("Mesures par cas ; la médiane est donnée (%1).").arg(options.runs),
                                  QStringLiteral("N"));
    const QCommandLineOption levels(QStringLiteral("levels"),
                                    QStringLiteral("Lignes de niveaux au niveau de détail 0 ; des niveaux sont ajoutés "
                                                   "aux copies (%1).")
                                        .arg(options.levels),
                                    QStringLiteral("N"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Graine des bases d'exemple (%1).").arg(options.seed),
                                  QStringLiteral("S"));
    const QCommandLineOption budget(QStringLiteral("per-figure-budget"),
                                    QStringLiteral("Secondes que la requête par chiffre peut prendre par cas ; au-delà, "
                                                   "moins de mesures, ou aucune (%1).")
                                        .arg(options.perFigureBudget),
                                    QStringLiteral("S"));
    const QCommandLineOption force(QStringLiteral("force-per-figure"),
                                   QStringLiteral("Mesure au moins une fois la requête par chiffre partout."));
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("Écrit aussi les chiffres, séparés par des tabulations, dans FICHIER "
                                                 "(pour scripts/plot-bench)."),
                                  QStringLiteral("FICHIER"));
    const QCommandLineOption sample(QStringLiteral("sample"), QStringLiteral("Le programme orvalis-sample."),
                                    QStringLiteral("CHEMIN"));
    const QCommandLineOption report(QStringLiteral("report"), QStringLiteral("Le programme orvalis-report."),
                                    QStringLiteral("CHEMIN"));
    const QCommandLineOption serverOnly(QStringLiteral("server-only"),
                                        QStringLiteral("Mesure le serveur seul, pas les fichiers SQLite."));
    const QCommandLineOption prefix(QStringLiteral("prefix"),
                                    QStringLiteral("Début du nom des bases créées sur le serveur (%1).").arg(options.prefix),
                                    QStringLiteral("NOM"));
    const QCommandLineOption lastMonth(QStringLiteral("last-month"),
                                       QStringLiteral("Dernier mois des bases d'exemple (le mois en cours)."),
                                       QStringLiteral("AAAA-MM"));
    const QCommandLineOption policies(QStringLiteral("policies"),
                                      QStringLiteral("Sur le serveur, mesure aussi le tableau d'un niveau lu par son "
                                                     "lecteur à travers les vues des lecteurs de ce script de rôles "
                                                     "(deploy/postgresql-roles.sql), à côté des mêmes instructions "
                                                     "sur les tables. Le rôle doit avoir CREATEROLE."),
                                      QStringLiteral("SCRIPT"));
    const QCommandLineOption shapes(
        QStringLiteral("shape"),
        QStringLiteral("Une organisation à mesurer : « sample » (celle d'orvalis-sample, par défaut) ou des nombres "
                       "comme levels=40,agencies=400,users=4000,suppliers=300,extra-accounts=2 ; à répéter pour "
                       "plusieurs."),
        QStringLiteral("FORME"));
    const QCommandLineOption indexes(QStringLiteral("indexes"),
                                     QStringLiteral("Ordres de l'index des copies de travail, séparés par des virgules, "
                                                    "parmi none, agency et account (les trois)."),
                                     QStringLiteral("LISTE"));
    parser.addOptions({help, sizes, dir, runs, levels, seed, budget, force, data, sample, report, serverOnly, prefix,
                       lastMonth, policies, shapes, indexes});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(err, parser.errorText());
    if (parser.isSet(help)) {
        ToolExit::print(parser.helpText() + QLatin1Char('\n') + ToolExit::statusHelp());
        return ToolExit::Success;
    }

    const QStringList positional = parser.positionalArguments();
    auto number = [&](const QCommandLineOption &option, auto &target, auto minimum) {
        if (!parser.isSet(option))
            return true;
        bool ok = false;
        const double value = parser.value(option).toDouble(&ok);
        if (!ok || value < minimum) {
            usageError(err, QStringLiteral("valeur invalide pour --%1 : %2").arg(option.names().first(), parser.value(option)));
            return false;
        }
        target = static_cast<std::remove_reference_t<decltype(target)>>(value);
        return true;
    };
    if (!number(runs, options.runs, 1) || !number(levels, options.levels, 0) || !number(seed, options.seed, 0)
        || !number(budget, options.perFigureBudget, 0))
        return ToolExit::Usage;
    if (parser.isSet(sizes)) {
        options.sizes.clear();
        for (const QString &text : parser.value(sizes).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            bool ok = false;
            const qint64 size = text.trimmed().toLongLong(&ok);
            if (!ok || size <= 0)
                return usageError(err, QStringLiteral("taille invalide : %1").arg(text));
            options.sizes << size;
        }
    }
    if (parser.isSet(shapes)) {
        options.shapes.clear();
        for (const QString &text : parser.values(shapes)) {
            const std::optional<BenchShape> shape = BenchShape::parse(text);
            if (!shape)
                return usageError(err, QStringLiteral("organisation invalide : %1").arg(text));
            options.shapes << *shape;
        }
    }
    if (parser.isSet(indexes)) {
        options.indexes.clear();
        for (const QString &name : parser.value(indexes).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const std::optional<IndexOrder> index = indexOrderNamed(name.trimmed());
            if (!index)
                return usageError(err, QStringLiteral("ordre d'index invalide : %1 (none, agency ou account)").arg(name));
            if (!options.indexes.contains(*index))
                options.indexes << *index;
        }
        if (options.indexes.isEmpty())
            return usageError(err, QStringLiteral("aucun ordre d'index"));
    }
    if (parser.isSet(dir))
        options.dir = parser.value(dir);
    if (parser.isSet(sample))
        options.sampleProgram = parser.value(sample);
    if (parser.isSet(report))
        options.reportProgram = parser.value(report);
    options.forcePerFigure = parser.isSet(force);
    if (parser.isSet(prefix))
        options.prefix = parser.value(prefix);
    if (parser.isSet(policies)) {
        if (positional.isEmpty())
            return usageError(err, QStringLiteral("--policies demande un serveur"));
        options.policiesScript = parser.value(policies);
        // Said now, not after the first sizes have been measured.
        if (!QFileInfo(options.policiesScript).isReadable())
            return usageError(err, QStringLiteral("--policies : impossible de lire %1").arg(options.policiesScript));
    }
    if (parser.isSet(data)) {
        try {
            TableExport::checkTarget(parser.value(data));
        } catch (const TableExport::ExportError &e) {
            return usageError(err, QStringLiteral("--data : %1").arg(QString::fromUtf8(e.what())));
        }
    }
    if (parser.isSet(lastMonth)) {
        options.lastMonth = QDate::fromString(parser.value(lastMonth), QStringLiteral("yyyy-MM"));
        if (!options.lastMonth.isValid())
            return usageError(err, QStringLiteral("mois invalide (AAAA-MM) : %1").arg(parser.value(lastMonth)));
    }
    if (positional.size() > 1 || (positional.size() == 1 && !ServerAddress::isServerName(positional.first())))
        return usageError(err, QStringLiteral("le seul argument est un serveur PostgreSQL (postgresql://...) ; "
                                              "les fichiers SQLite sont gardés dans --dir"));
    if (!positional.isEmpty())
        options.server = positional.first();
    if (parser.isSet(serverOnly)) {
        if (options.server.isEmpty())
            return usageError(err, QStringLiteral("--server-only demande un serveur"));
        options.sqlite = false;
    }

    std::unique_ptr<Benchmark> bench;
    try {
        bench = std::make_unique<Benchmark>(options, err);
    } catch (const std::runtime_error &e) {
        return usageError(err, QString::fromUtf8(e.what()));
    }

    // A failure reaches ToolExit::guard, which says it and returns 1.
    const QString loadBefore = loadAverage();
    const BenchResults results = bench->run();
    out << "orvalis-bench, " << QDateTime::currentDateTime().toString(Qt::ISODate) << ", "
        << QThread::idealThreadCount() << " cores (load average " << loadBefore << " at the start, "
        << loadAverage() << " at the end), " << bench->engines() << ", busiest month of each "
        << "database, " << options.levels << " levels, median of " << options.runs << " runs\n\n";
    out << Benchmark::markdown(results.cases, options);
    out << "\nThe trend of the level rows over thirteen months:\n\n" << Benchmark::trends(results.trends);
    out << "\nThe level rows against another period, one pass over the months of both:\n\n"
        << Benchmark::comparisons(results.comparisons);
    const QString engines = Benchmark::sideBySide(results.cases);
    if (!engines.isEmpty())
        out << "\nThe two engines side by side (grouped pass, the program's path):\n\n" << engines;
    const QString engineGroupBy = Benchmark::engineGroupByTable(results.cases);
    if (!engineGroupBy.isEmpty())
        out << "\nThe engine's own GROUP BY, which would stand for the program's aggregate, timed in turns with the "
               "plain pass and the grouped path (SQLite):\n\n"
            << engineGroupBy;
    const QString security = Benchmark::policyTable(bench->policies());
    if (!security.isEmpty())
        out << "\nOne level's reader through the readers' views, against the same statements on the tables "
               "(grouped pass, the program's path):\n\n"
            << security;
    out << "\nPeak memory of orvalis-bench itself: " << Benchmark::ownPeakKiB() / 1024 << " MiB\n";
    out.flush();
    if (out.status() != QTextStream::Ok) {
        err << "orvalis-bench : les résultats n'ont pas pu être écrits sur la sortie standard\n";
        return ToolExit::Failure;
    }
    if (parser.isSet(data))
        TableExport::save(parser.value(data), Benchmark::tsv(results).toUtf8());
    return ToolExit::Success;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(Benchmark::MeasuredRun) && argc > 1)
        return Benchmark::runMeasured(argv + 1);
    return ToolExit::guard("orvalis-bench", [&] { return run(argc, argv); });
}
