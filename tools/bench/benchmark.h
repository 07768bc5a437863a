#pragma once

#include "dashboard/dashboardfigures.h"
#include "tools/common/samplegenerator.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <optional>

class QTextStream;

// The covering index of a working copy: none, the recommended one (the
// agency after the month), or the same columns with the account first.
enum class IndexOrder { None, AgencyFirst, AccountFirst };
QString indexOrderName(IndexOrder index); // "none", "agency", "account"
std::optional<IndexOrder> indexOrderNamed(const QString &name);

// The organisation of a sample: orvalis-sample's own, or one of a given
// size ("levels=40,agencies=400,users=4000,suppliers=300,extra-accounts=2").
struct BenchShape
{
    SampleShape shape;

    bool isSample() const { return !shape.numbered(); }
    // Reads --shape's text, "sample" or a list of counts; nothing when it
    // is neither. option() writes it back.
    static std::optional<BenchShape> parse(const QString &text);
    QString option() const;
    // For the tables: "sample", "40 levels, 400 agencies, 4000 users, 300
    // suppliers, 8 accounts".
    QString label() const;
    // For the names of the databases: empty for the sample,
    // "l40-a400-u4000-s300-x2" otherwise.
    QString key() const;
    // What orvalis-sample is given for it.
    QStringList sampleArguments() const;
};

// Times the refresh of the tracking table on sample databases of several
// sizes and organisations: the statement-per-figure path, the grouped path
// and one plain pass over the month (the least any path can cost), with
// each covering index order and without one, at drill levels 0 to 2, and
// the trend of thirteen months against one plain pass over them; on SQLite
// files, on a PostgreSQL server, or on both side by side in the same run.
struct BenchOptions
{
    QVector<qint64> sizes{100000, 1000000, 10000000};
    QVector<BenchShape> shapes{BenchShape()};
    QVector<IndexOrder> indexes{IndexOrder::None, IndexOrder::AgencyFirst, IndexOrder::AccountFirst};
    QString dir = QStringLiteral("bench-data");
    int runs = 5;
    int levels = 40;          // level rows at drill level 0
    quint32 seed = 1;
    QDate lastMonth = QDate::currentDate(); // of the samples (day ignored)
    double perFigureBudget = 120; // seconds the per-figure path may take per case
    bool forcePerFigure = false;
    QString sampleProgram;    // orvalis-sample
    QString reportProgram;    // orvalis-report
    // A database of a PostgreSQL server (postgresql://...), from which the
    // benchmark creates and keeps its own databases on that server; empty:
    // SQLite files only.
    QString server;
    bool sqlite = true;       // SQLite files too
    QString prefix = QStringLiteral("orvalis_bench"); // of the server's databases
    // The deployment's roles script (deploy/postgresql-roles.sql): on a
    // server, the tracking table of one level is also timed as its reader
    // reads it, through the readers' views, against the same statements
    // on the tables.
    QString policiesScript;
};

// One level's tracking table read as its reader, through the deployment's
// views for the readers, and by the owner of the tables, on the tables:
// the same statements, in turns, on the same server database.
struct PolicyResult
{
    qint64 size = 0;
    bool indexed = false;
    int drill = 0;
    QString periods; // with a comparison: "2026-01 à 2026-10 against 2025-01 à 2025-10"
    int rows = 0;
    QVector<double> owner, reader; // seconds, one per run
    bool sameTable = false;
};

struct BenchResult
{
    QString engine;           // "sqlite" or "postgresql"
    qint64 size = 0;
    BenchShape shape;
    IndexOrder index = IndexOrder::None;
    int drill = 0;
    int rows = 0;             // rows of the table
    QString month;            // AAAA-MM
    // Seconds, one per run: wall-clock time, and processor time of this
    // process's thread that ran the statements (on a server, the client's
    // share only). Per-figure: empty when skipped.
    QVector<double> perFigure, perFigureCpu;
    double perFigureEstimate = 0; // seconds a run would take
    QVector<double> grouped, groupedCpu;
    QVector<double> floor, floorCpu;
    bool sameTexts = true;    // both paths gave the same table
    // On a server, when SQLite was measured in the same run: whether the
    // server's table was, text for text, the file's.
    std::optional<bool> sameAsSqlite;
    qint64 reportPeakKiB = -1; // VmHWM of an orvalis-report run of the same table
    double reportSeconds = 0;
    QList<QStringList> table; // the grouped path's cells (not printed)
    // SQLite: the engine's own GROUP BY statements that would stand for
    // the program's aggregate (Benchmark::engineStatements), each timed in
    // turns with the plain pass and the grouped path.
    struct EngineTiming
    {
        QString what;
        QVector<double> wall, cpu;
        int rows = 0; // rows of its result
    };
    QVector<EngineTiming> engineGroupBy;

    bool indexed() const { return index != IndexOrder::None; }
    bool onServer() const { return engine == QLatin1String("postgresql"); }
    static double median(QVector<double> values);
};

// The trend of the level rows over the thirteen months up to the samples'
// last month: one source for all of them, against one plain pass over the
// thirteen months and against thirteen tables of one month each.
struct TrendResult
{
    QString engine;
    qint64 size = 0;
    BenchShape shape;
    IndexOrder index = IndexOrder::None;
    QString months;           // "AAAA-MM à AAAA-MM"
    QVector<double> trend, trendCpu;
    QVector<double> floor, floorCpu;
    double oneByOne = 0;      // seconds of the thirteen tables one by one (one run)
    bool sameTotals = true;   // the trend's totals read as those of the thirteen tables
    bool indexed() const { return index != IndexOrder::None; }
    bool onServer() const { return engine == QLatin1String("postgresql"); }
};

// The level rows against another period (the busiest month against the
// month before, and from January to it against the same months a year
// earlier), against one plain pass over the months both periods cover.
struct ComparisonResult
{
    QString engine;
    qint64 size = 0;
    BenchShape shape;
    IndexOrder index = IndexOrder::None;
    QString what;             // "2026-05 against 2026-04"
    int months = 0;           // months read, both periods
    QVector<double> compared, comparedCpu;
    QVector<double> floor, floorCpu;
    // After the chosen period was shown alone: the compared view (reading
    // only the comparison's months), then the chosen period again.
    QVector<double> afterPlain, afterPlainCpu, shownAgain, shownAgainCpu;
    bool sameTotals = true;   // the totals of both periods read as the plain tables' of each
    bool indexed() const { return index != IndexOrder::None; }
    bool onServer() const { return engine == QLatin1String("postgresql"); }
};

struct BenchResults
{
    QVector<BenchResult> cases;
    QVector<TrendResult> trends;
    QVector<ComparisonResult> comparisons;
};

class BenchStore;

class Benchmark
{
public:
    // Raises std::runtime_error when the options cannot be used (a server
    // address that cannot be parsed, a prefix that is not a plain name).
    Benchmark(BenchOptions options, QTextStream &progress);
    ~Benchmark();

    BenchResults run();
    // After run(): the cases measured with policiesScript.
    const QVector<PolicyResult> &policies() const { return m_policies; }
    static QString policyTable(const QVector<PolicyResult> &results);

    // "SQLite 3.40.1, PostgreSQL 15.14 (127.0.0.1:5432)": the engines measured.
    QString engines() const;

    // The tables for a README (Markdown): every case, the trends, then
    // (when both engines ran) the two engines side by side; and the raw
    // figures (one line per case, tab-separated, for the plot script).
    static QString markdown(const QVector<BenchResult> &results, const BenchOptions &options);
    static QString trends(const QVector<TrendResult> &results);
    static QString comparisons(const QVector<ComparisonResult> &results);
    static QString sideBySide(const QVector<BenchResult> &results);
    static QString tsv(const BenchResults &results);
    // The engine's own GROUP BY statements against the plain pass and the
    // grouped path (SQLite cases only; empty when none was timed).
    static QString engineGroupByTable(const QVector<BenchResult> &results);

    // Peak resident memory of this process (VmHWM), in KiB.
    static qint64 ownPeakKiB();

    // Set in the environment of the copy of this program that runs a program
    // to measure its peak memory: that copy calls runMeasured() first thing.
    static constexpr const char *MeasuredRun = "ORVALIS_BENCH_MEASURED_RUN";
    // Runs `argv` (the program, then its arguments), its output thrown away,
    // and writes "status peak-KiB" on the standard output (status 127: the
    // program could not be started).
    static int runMeasured(char *argv[]);

private:
    // What is measured on every copy of one sample.
    struct Cases
    {
        int year = 0;
        int month = 0;
        QString level;  // drill 1
        QString agency; // drill 2
    };
    Cases cases(BenchStore &store, qint64 size, const BenchShape &shape);
    // What the engine's own GROUP BY would be asked at a drill level (level
    // rows, the agencies of a level, the users of an agency): name and
    // statement.
    static QList<QPair<QString, QString>> engineStatements(int drill, const Cases &cases);
    static void timeEngineStatements(TABSDatabase &db, const Cases &cases, BenchResult &result);
    QVector<BenchResult> measure(BenchStore &store, qint64 size, const BenchShape &shape, IndexOrder index,
                                 const Cases &cases);
    TrendResult measureTrend(BenchStore &store, qint64 size, const BenchShape &shape, IndexOrder index);
    QVector<ComparisonResult> measureComparisons(BenchStore &store, qint64 size, const BenchShape &shape,
                                                 IndexOrder index, const Cases &cases);
    void measurePolicies(BenchStore &store, qint64 size, const BenchShape &shape, IndexOrder index,
                         const Cases &cases);

    BenchOptions m_options;
    QTextStream &m_progress;
    std::vector<std::unique_ptr<BenchStore>> m_stores;
    QVector<PolicyResult> m_policies;
};
