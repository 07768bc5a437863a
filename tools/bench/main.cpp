// orvalis-bench: how long a refresh of the tracking table takes on sample
// databases of growing size, statement per figure against one grouped pass,
// on SQLite files and on a PostgreSQL server side by side.
//
//   orvalis-bench [postgresql://user@host:port/dbname] [--server-only]
//                 [--sizes 100000,1000000,10000000] [--dir DIR] [--runs N]
//                 [--levels N] [--per-figure-budget S] [--force-per-figure]
//                 [--last-month AAAA-MM] [--prefix NAME] [--data FILE]
//                 [--shape sample|levels=N,agencies=N,users=N,suppliers=N,extra-accounts=N]...
//                 [--indexes none,agency,account]
//
// The sample databases are made once with orvalis-sample and kept (files in
// DIR, databases on the server), for each organisation, with a working copy
// for each index order (none, the agency after the month, the account
// after the month).

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
        "the month, on sample databases of several organisations, without an index and with each order of the "
        "covering index, and the trend of thirteen months; on SQLite files, and on a PostgreSQL server side by side "
        "when one is given."));
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
    const QCommandLineOption shapes(
        QStringLiteral("shape"),
        QStringLiteral("An organisation to measure: \"sample\" (orvalis-sample's own, the default) or counts such as "
                       "levels=40,agencies=400,users=4000,suppliers=300,extra-accounts=2; repeat for several."),
        QStringLiteral("SPEC"));
    const QCommandLineOption indexes(QStringLiteral("indexes"),
                                     QStringLiteral("Index orders of the working copies, comma-separated among none, "
                                                    "agency and account (all three)."),
                                     QStringLiteral("LIST"));
    parser.addOptions({sizes, dir, runs, levels, seed, budget, force, data, sample, report, serverOnly, prefix, lastMonth,
                       shapes, indexes});
    parser.process(app);

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
    if (parser.isSet(shapes)) {
        options.shapes.clear();
        for (const QString &spec : parser.values(shapes)) {
            const std::optional<BenchShape> shape = BenchShape::parse(spec);
            if (!shape) {
                err << "orvalis-bench: invalid organisation: " << spec << '\n';
                return 2;
            }
            options.shapes << *shape;
        }
    }
    if (parser.isSet(indexes)) {
        options.indexes.clear();
        for (const QString &name : parser.value(indexes).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const std::optional<IndexOrder> index = indexOrderNamed(name.trimmed());
            if (!index) {
                err << "orvalis-bench: invalid index order: " << name << " (none, agency or account)\n";
                return 2;
            }
            if (!options.indexes.contains(*index))
                options.indexes << *index;
        }
        if (options.indexes.isEmpty()) {
            err << "orvalis-bench: no index order\n";
            return 2;
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
    if (parser.isSet(lastMonth)) {
        options.lastMonth = QDate::fromString(parser.value(lastMonth), QStringLiteral("yyyy-MM"));
        if (!options.lastMonth.isValid()) {
            err << "orvalis-bench: invalid month (AAAA-MM): " << parser.value(lastMonth) << '\n';
            return 2;
        }
    }
    const QStringList positional = parser.positionalArguments();
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
        const BenchResults results = bench->run();
        out << "orvalis-bench, " << QDateTime::currentDateTime().toString(Qt::ISODate) << ", "
            << QThread::idealThreadCount() << " cores (load average " << loadBefore << " at the start, "
            << loadAverage() << " at the end), " << bench->engines() << ", busiest month of each "
            << "database, " << options.levels << " levels, median of " << options.runs << " runs\n\n";
        out << Benchmark::markdown(results.cases, options);
        out << "\nThe trend of the level rows over thirteen months:\n\n" << Benchmark::trends(results.trends);
        const QString engines = Benchmark::sideBySide(results.cases);
        if (!engines.isEmpty())
            out << "\nThe two engines side by side (grouped pass, the program's path):\n\n" << engines;
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
