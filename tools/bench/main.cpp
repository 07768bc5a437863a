// orvalis-bench: how long a refresh of the tracking table takes on sample
// databases of growing size, statement per figure against one grouped pass,
// on SQLite files and on a PostgreSQL server side by side.
//
//   orvalis-bench [postgresql://user@host:port/dbname] [--server-only]
//                 [--sizes 100000,1000000,10000000] [--dir DIR] [--runs N]
//                 [--levels N] [--per-figure-budget S] [--force-per-figure]
//                 [--last-month AAAA-MM] [--prefix NAME] [--data FILE]
//                 [--policies deploy/postgresql-roles.sql]
//
// The sample databases are made once with orvalis-sample and kept (files in
// DIR, databases on the server), with two working copies each (with and
// without the recommended index).

#include "benchmark.h"

#include "store/dberror.h"
#include "store/serveraddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvalis-bench"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    BenchOptions options;
    const QString here = QCoreApplication::applicationDirPath();
    options.sampleProgram = QDir(here).filePath(QStringLiteral("orvalis-sample"));
    options.reportProgram = QDir(here).filePath(QStringLiteral("orvalis-report"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Times a refresh of the tracking table: one statement per figure, one grouped pass, and one plain pass over "
        "the month, on sample databases with and without the recommended index; on SQLite files, and on a "
        "PostgreSQL server side by side when one is given."));
    parser.addPositionalArgument(QStringLiteral("server"),
                                 QStringLiteral("A database of a PostgreSQL server (postgresql://user@host:port/dbname; "
                                                "password in PGPASSWORD or ~/.pgpass). The benchmark creates its own "
                                                "databases beside it: the role needs CREATEDB."),
                                 QStringLiteral("[server]"));
    parser.addHelpOption();
    const QCommandLineOption sizes(QStringLiteral("sizes"), QStringLiteral("Fact rows of the databases, comma-separated."),
                                   QStringLiteral("N,N,..."));
    const QCommandLineOption dir(QStringLiteral("dir"), QStringLiteral("Where the databases are kept (%1).").arg(options.dir),
                                 QStringLiteral("DIR"));
    const QCommandLineOption runs(QStringLiteral("runs"), QStringLiteral("Runs per measure; the median is shown (5)."),
                                  QStringLiteral("N"));
    const QCommandLineOption levels(QStringLiteral("levels"),
                                    QStringLiteral("Level rows at drill level 0; levels are added to the copies (40)."),
                                    QStringLiteral("N"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the sample databases (1)."),
                                  QStringLiteral("S"));
    const QCommandLineOption budget(QStringLiteral("per-figure-budget"),
                                    QStringLiteral("Seconds the per-figure path may take per case; fewer runs, or none, "
                                                   "beyond (120)."),
                                    QStringLiteral("S"));
    const QCommandLineOption force(QStringLiteral("force-per-figure"),
                                   QStringLiteral("Run the per-figure path at least once everywhere."));
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("Also write the figures, tab-separated, to FILE (for scripts/plot-bench)."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption sample(QStringLiteral("sample"), QStringLiteral("The orvalis-sample program."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption report(QStringLiteral("report"), QStringLiteral("The orvalis-report program."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption serverOnly(QStringLiteral("server-only"),
                                        QStringLiteral("Measure the server alone, not the SQLite files."));
    const QCommandLineOption prefix(QStringLiteral("prefix"),
                                    QStringLiteral("Start of the names of the databases made on the server (%1).")
                                        .arg(options.prefix),
                                    QStringLiteral("NAME"));
    const QCommandLineOption lastMonth(QStringLiteral("last-month"),
                                       QStringLiteral("Last month of the samples (the current month)."),
                                       QStringLiteral("AAAA-MM"));
    const QCommandLineOption policies(QStringLiteral("policies"),
                                      QStringLiteral("On the server, also time one level's tracking table as its "
                                                     "reader under the row-level security of this roles script "
                                                     "(deploy/postgresql-roles.sql), against the same statements "
                                                     "without it. The role needs CREATEROLE."),
                                      QStringLiteral("SCRIPT"));
    parser.addOptions({sizes, dir, runs, levels, seed, budget, force, data, sample, report, serverOnly, prefix, lastMonth,
                       policies});
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    auto number = [&](const QCommandLineOption &option, auto &target, auto minimum) {
        if (!parser.isSet(option))
            return true;
        bool ok = false;
        const double value = parser.value(option).toDouble(&ok);
        if (!ok || value < minimum) {
            err << "orvalis-bench: invalid value for --" << option.names().first() << ": " << parser.value(option) << '\n';
            return false;
        }
        target = static_cast<std::remove_reference_t<decltype(target)>>(value);
        return true;
    };
    if (!number(runs, options.runs, 1) || !number(levels, options.levels, 0) || !number(seed, options.seed, 0)
        || !number(budget, options.perFigureBudget, 0))
        return 2;
    if (parser.isSet(sizes)) {
        options.sizes.clear();
        for (const QString &text : parser.value(sizes).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            bool ok = false;
            const qint64 size = text.trimmed().toLongLong(&ok);
            if (!ok || size <= 0) {
                err << "orvalis-bench: invalid size: " << text << '\n';
                return 2;
            }
            options.sizes << size;
        }
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
        if (positional.isEmpty()) {
            err << "orvalis-bench: --policies needs a server\n";
            return 2;
        }
        options.policiesScript = parser.value(policies);
    }
    if (parser.isSet(lastMonth)) {
        options.lastMonth = QDate::fromString(parser.value(lastMonth), QStringLiteral("yyyy-MM"));
        if (!options.lastMonth.isValid()) {
            err << "orvalis-bench: invalid month (AAAA-MM): " << parser.value(lastMonth) << '\n';
            return 2;
        }
    }
    if (positional.size() > 1 || (positional.size() == 1 && !ServerAddress::isServerName(positional.first()))) {
        err << "orvalis-bench: the only argument is a PostgreSQL server (postgresql://...); "
               "SQLite files are kept in --dir\n";
        return 2;
    }
    if (!positional.isEmpty())
        options.server = positional.first();
    if (parser.isSet(serverOnly)) {
        if (options.server.isEmpty()) {
            err << "orvalis-bench: --server-only needs a server\n";
            return 2;
        }
        options.sqlite = false;
    }

    std::unique_ptr<Benchmark> bench;
    try {
        bench = std::make_unique<Benchmark>(options, err);
    } catch (const std::exception &e) {
        err << "orvalis-bench: " << QString::fromLocal8Bit(e.what()) << '\n';
        return 2;
    }

    try {
        const QString loadBefore = loadAverage();
        const QVector<BenchResult> results = bench->run();
        out << "orvalis-bench, " << QDateTime::currentDateTime().toString(Qt::ISODate) << ", "
            << QThread::idealThreadCount() << " cores (load average " << loadBefore << " at the start, "
            << loadAverage() << " at the end), " << bench->engines() << ", busiest month of each "
            << "database, " << options.levels << " levels, median of " << options.runs << " runs\n\n";
        out << Benchmark::markdown(results, options);
        const QString engines = Benchmark::sideBySide(results);
        if (!engines.isEmpty())
            out << "\nThe two engines side by side (grouped pass, the program's path):\n\n" << engines;
        const QString security = Benchmark::policyTable(bench->policies());
        if (!security.isEmpty())
            out << "\nOne level's reader under row-level security, against the same statements without it "
                   "(grouped pass, the program's path):\n\n"
                << security;
        out << "\nPeak memory of orvalis-bench itself: " << Benchmark::ownPeakKiB() / 1024 << " MiB\n";
        if (parser.isSet(data)) {
            QFile file(parser.value(data));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                err << "orvalis-bench: cannot write " << file.fileName() << '\n';
                return 1;
            }
            file.write(Benchmark::tsv(results).toUtf8());
        }
        return 0;
    } catch (const std::exception &e) {
        err << "orvalis-bench: " << QString::fromLocal8Bit(e.what()) << '\n';
        return 1;
    }
}
