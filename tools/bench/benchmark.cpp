#include "benchmark.h"

#include "dashboard/dashboardstatements.h"
#include "dashboard/groupedfigures.h"
#include "store/dberror.h"
#include "store/schema.h"
#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <stdexcept>

#include <time.h>

#include <fcntl.h>
#include "store/sqlrows.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString &message)
{
    throw std::runtime_error(message.toStdString());
}

// A connection of the benchmark's own, for preparing its copies.
class Setup
{
public:
    explicit Setup(const QString &path) : m_name(QStringLiteral("bench-setup"))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        if (!db.open())
            fail(db.lastError().text());
    }
    ~Setup()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    void exec(const QString &sql, const QVariantList &values = {})
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        if (!query.prepare(sql))
            fail(sql + QStringLiteral(": ") + query.lastError().text());
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (!query.exec())
            fail(sql + QStringLiteral(": ") + query.lastError().text());
    }
    QList<QVariantList> rows(const QString &sql)
    {
        return queryRows(QSqlDatabase::database(m_name), sql);
    }
    // The statements of the indexes of the fact table.
    QStringList dataIndexes()
    {
        QStringList out;
        for (const QVariantList &row : rows(QStringLiteral(
                 "SELECT sql FROM sqlite_master WHERE type = 'index' AND tbl_name = 'data' AND sql IS NOT NULL")))
            out << row.first().toString();
        return out;
    }
    QVariant scalar(const QString &sql)
    {
        const QList<QVariantList> all = rows(sql);
        return all.isEmpty() ? QVariant() : all.first().value(0);
    }

private:
    QString m_name;
};

QString queryText(TABSDatabase &db, const QString &sql, const QString &column)
{
    TABSQuery query(&db);
    query.SetDatabaseName(db.DatabaseName());
    query.SQL().append(sql);
    query.Open();
    return query.Eof() ? QString() : query.FieldByName(column).AsString();
}

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Wall-clock time, and the processor time of this thread (where the engine
// runs): on a machine shared with other work, the second is what the work
// itself cost.
struct Timing
{
    double wall = 0;
    double cpu = 0;
};

class Stopwatch
{
public:
    Stopwatch() : m_cpu(threadCpuSeconds()) { m_wall.start(); }
    Timing elapsed() const { return {seconds(m_wall), threadCpuSeconds() - m_cpu}; }

private:
    QElapsedTimer m_wall;
    double m_cpu;
};

// Stops a refresh after the figures of its first row.
struct FirstRowDone
{
};
class FirstRowSource : public PerFigureSource
{
public:
    double seconds = 0;
    AccountSums figures(TAccount &request) override
    {
        QElapsedTimer timer;
        timer.start();
        PerFigureSource::figures(request);
        seconds = ::seconds(timer);
        throw FirstRowDone();
    }
};

QList<DashboardRow> refresh(TABSDatabase &db, const DashboardSelection &selection, FigureSource &source,
                            Timing *elapsed)
{
    QList<DashboardRow> rows;
    const Stopwatch watch;
    buildDashboard(&db, selection, source, [&rows](const DashboardRow &row) { rows << row; });
    *elapsed = watch.elapsed();
    return rows;
}

bool sameTexts(const QList<DashboardRow> &a, const QList<DashboardRow> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (a.at(i).cells() != b.at(i).cells())
            return false;
    return true;
}

// Runs a program with its output thrown away; returns its exit status and
// its peak resident memory in KiB.
int runChild(const QString &program, const QStringList &arguments, qint64 *peakKiB)
{
    QList<QByteArray> args{QFile::encodeName(program)};
    for (const QString &a : arguments)
        args << a.toLocal8Bit();
    QVector<char *> argv;
    for (QByteArray &a : args)
        argv << a.data();
    argv << nullptr;

    const pid_t pid = fork();
    if (pid < 0)
        fail(QStringLiteral("fork failed"));
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0)
        fail(QStringLiteral("wait4 failed"));
    *peakKiB = usage.ru_maxrss; // KiB on Linux
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

QString duration(double s)
{
    if (s < 0.001)
        return QStringLiteral("%1 µs").arg(s * 1e6, 0, 'f', 0);
    if (s < 0.1)
        return QStringLiteral("%1 ms").arg(s * 1e3, 0, 'f', 1);
    if (s < 10)
        return QStringLiteral("%1 s").arg(s, 0, 'f', 2);
    return QStringLiteral("%1 s").arg(s, 0, 'f', 0);
}

QString ratio(double r)
{
    if (r >= 100)
        return QStringLiteral("%1×").arg(r, 0, 'f', 0);
    return QStringLiteral("%1×").arg(r, 0, 'f', r >= 10 ? 1 : 2);
}

QString groupedDigits(qint64 n)
{
    QString digits = QString::number(n);
    for (int i = int(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(i, QChar(0x202F)); // narrow no-break space
    return digits;
}

} // namespace

double BenchResult::median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

Benchmark::Benchmark(BenchOptions options, QTextStream &progress) : m_options(std::move(options)), m_progress(progress)
{
}

QString Benchmark::baseFile(qint64 size) const
{
    return QDir(m_options.dir).filePath(QStringLiteral("sample-%1-seed%2.db").arg(size).arg(m_options.seed));
}

QString Benchmark::workFile(qint64 size, bool indexed) const
{
    return QDir(m_options.dir).filePath(QStringLiteral("bench-%1-seed%2-%3levels-%4.db")
                                            .arg(size)
                                            .arg(m_options.seed)
                                            .arg(m_options.levels)
                                            .arg(indexed ? QStringLiteral("index") : QStringLiteral("noindex")));
}

void Benchmark::ensureBase(qint64 size)
{
    const QString base = baseFile(size);
    if (QFileInfo::exists(base))
        return;
    m_progress << "Creating " << base << " with orvalis-sample (" << size << " fact rows)..." << Qt::endl;
    QProcess sample;
    sample.setProcessChannelMode(QProcess::ForwardedChannels);
    sample.start(m_options.sampleProgram, {base, QStringLiteral("--rows"), QString::number(size),
                                           QStringLiteral("--seed"), QString::number(m_options.seed)});
    if (!sample.waitForStarted())
        fail(QStringLiteral("cannot start %1").arg(m_options.sampleProgram));
    sample.waitForFinished(-1);
    if (sample.exitStatus() != QProcess::NormalExit || sample.exitCode() != 0 || !QFileInfo::exists(base))
        fail(QStringLiteral("orvalis-sample failed for %1 rows").arg(size));
}

bool Benchmark::workCopyReady(qint64 size, bool indexed) const
{
    const QString work = workFile(size, indexed);
    if (!QFileInfo::exists(work) || QFileInfo(work).lastModified() < QFileInfo(baseFile(size)).lastModified())
        return false;
    Setup setup(work);
    return setup.scalar(QStringLiteral("SELECT COUNT(*) FROM dim_niveau")).toInt() >= m_options.levels
        && setup.dataIndexes() == (indexed ? QStringList{Schema::recommendedIndex()} : QStringList());
}

void Benchmark::ensureWorkCopy(qint64 size, bool indexed)
{
    if (workCopyReady(size, indexed))
        return;

    const QString work = workFile(size, indexed);
    m_progress << "Preparing " << work << "..." << Qt::endl;
    const QString temporary = work + QStringLiteral(".part");
    QFile::remove(temporary);
    if (!QFile::copy(baseFile(size), temporary))
        fail(QStringLiteral("cannot copy %1 to %2").arg(baseFile(size), temporary));
    {
        Setup setup(temporary);
        setup.exec(QStringLiteral("BEGIN"));
        // Enough levels for the level rows asked for, each with a few of the
        // existing agencies (so some agencies belong to two levels).
        const int existing = setup.scalar(QStringLiteral("SELECT COUNT(*) FROM dim_niveau")).toInt();
        QStringList agencies;
        for (const QVariantList &row : setup.rows(QStringLiteral("SELECT code FROM dim_agence ORDER BY code")))
            agencies << row.first().toString();
        for (int i = existing + 1; i <= m_options.levels && !agencies.isEmpty(); ++i) {
            const QString code = QStringLiteral("BENCH%1").arg(i, 2, 10, QLatin1Char('0'));
            setup.exec(QStringLiteral("INSERT INTO dim_niveau (code, libelle) VALUES (?, ?)"),
                       {code, QStringLiteral("Secteur complémentaire %1").arg(i, 2, 10, QLatin1Char('0'))});
            for (int k = 0; k < 4; ++k)
                setup.exec(QStringLiteral("INSERT INTO niveau_agence (niveau, agence) VALUES (?, ?)"),
                           {code, agencies.at((i * 5 + k * 17) % agencies.size())});
        }
        // Exactly the recommended index, or none.
        const QStringList present = setup.dataIndexes();
        if (present != (indexed ? QStringList{Schema::recommendedIndex()} : QStringList())) {
            for (const QVariantList &row : setup.rows(QStringLiteral(
                     "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'data' AND sql IS NOT NULL")))
                setup.exec(QStringLiteral("DROP INDEX \"%1\"").arg(row.first().toString()));
            if (indexed) {
                m_progress << "  creating the recommended index..." << Qt::endl;
                setup.exec(Schema::recommendedIndex());
            }
        }
        setup.exec(QStringLiteral("COMMIT"));
        setup.exec(QStringLiteral("ANALYZE"));
    }
    QFile::remove(work);
    if (!QFile::rename(temporary, work))
        fail(QStringLiteral("cannot rename %1").arg(temporary));
}

Benchmark::Cases Benchmark::cases(qint64 size)
{
    // Asked on the indexed copy, where it reads the index alone.
    TABSDatabase db;
    db.SetDatabaseFileName(workFile(size, true));
    Cases cases;
    // The busiest month.
    const int busiest = queryText(db,
                                  QStringLiteral("SELECT period_year * 100 + period_month AS mois FROM data "
                                                 "GROUP BY period_year, period_month ORDER BY COUNT(*) DESC, mois DESC "
                                                 "LIMIT 1"),
                                  QStringLiteral("mois"))
                            .toInt();
    cases.year = busiest / 100;
    cases.month = busiest % 100;
    // Drill 1: the level with the most agencies; drill 2: its first agency.
    cases.level = queryText(db,
                            QStringLiteral("SELECT niveau FROM niveau_agence GROUP BY niveau "
                                           "ORDER BY COUNT(DISTINCT agence) DESC, niveau LIMIT 1"),
                            QStringLiteral("niveau"));
    cases.agency = queryText(db, DashboardStatements::agencies(cases.level), QStringLiteral("code"));
    return cases;
}

QVector<BenchResult> Benchmark::measure(qint64 size, bool indexed, const Cases &cases)
{
    TABSDatabase db;
    db.SetDatabaseFileName(workFile(size, indexed));
    const int year = cases.year, month = cases.month;
    const QString &level = cases.level, &agency = cases.agency;
    const QString floorSql =
        QStringLiteral("SELECT SUM(valeur) AS somme FROM data WHERE period_year = %1 AND period_month = %2").arg(year).arg(month);

    QVector<BenchResult> results;
    for (int drill = 0; drill <= 2; ++drill) {
        DashboardSelection selection;
        selection.admin = true;
        selection.year = year;
        selection.month = month;
        QStringList reportArgs{workFile(size, indexed), QStringLiteral("VEXOR"),
                               QStringLiteral("--mois"), QStringLiteral("%1-%2").arg(year).arg(month, 2, 10, QLatin1Char('0')),
                               QStringLiteral("--format"), QStringLiteral("tsv")};
        if (drill >= 1) {
            selection.levelIndex = 1;
            selection.levelCode = level;
            reportArgs << QStringLiteral("--niveau") << level;
        }
        if (drill >= 2) {
            selection.agencyIndex = 1;
            selection.agencyCode = agency;
            reportArgs << QStringLiteral("--agence") << agency;
        }

        BenchResult result;
        result.size = size;
        result.indexed = indexed;
        result.drill = drill;
        result.month = reportArgs.at(3);
        m_progress << "  " << size << (indexed ? " indexed" : " no index") << ", drill " << drill << ": " << Qt::flush;

        // The plain pass and the grouped path in turns, so that both see the
        // same load of the machine; a first plain pass brings the file into
        // the cache.
        queryText(db, floorSql, QStringLiteral("somme"));
        QList<DashboardRow> groupedRows;
        for (int run = 0; run < m_options.runs; ++run) {
            const Stopwatch watch;
            queryText(db, floorSql, QStringLiteral("somme"));
            const Timing floor = watch.elapsed();
            result.floor << floor.wall;
            result.floorCpu << floor.cpu;

            GroupedFigureSource source; // a new one: every run reads the facts
            Timing elapsed;
            groupedRows = refresh(db, selection, source, &elapsed);
            result.grouped << elapsed.wall;
            result.groupedCpu << elapsed.cpu;
        }
        result.rows = int(groupedRows.size());
        m_progress << "plain " << duration(BenchResult::median(result.floor)) << ", grouped "
                   << duration(BenchResult::median(result.grouped)) << Qt::flush;

        // The per-figure path, as far as the budget allows.
        double estimate = 0;
        if (result.rows > 0) {
            FirstRowSource probe;
            Timing ignored;
            try {
                refresh(db, selection, probe, &ignored);
            } catch (const FirstRowDone &) {
            }
            estimate = probe.seconds * result.rows;
        }
        int runs = m_options.runs;
        if (estimate * runs > m_options.perFigureBudget)
            runs = std::max(m_options.forcePerFigure ? 1 : 0, int(m_options.perFigureBudget / std::max(estimate, 1e-9)));
        runs = std::min(runs, m_options.runs);
        result.perFigureEstimate = estimate;
        QList<DashboardRow> perFigureRows;
        for (int run = 0; run < runs; ++run) {
            PerFigureSource source;
            Timing elapsed;
            perFigureRows = refresh(db, selection, source, &elapsed);
            result.perFigure << elapsed.wall;
            result.perFigureCpu << elapsed.cpu;
        }
        if (runs > 0) {
            result.sameTexts = sameTexts(perFigureRows, groupedRows);
            m_progress << ", per-figure " << duration(BenchResult::median(result.perFigure)) << Qt::flush;
        } else {
            m_progress << ", per-figure skipped (estimated " << duration(estimate) << ")" << Qt::flush;
        }

        QElapsedTimer timer;
        timer.start();
        if (runChild(m_options.reportProgram, reportArgs, &result.reportPeakKiB) != 0)
            fail(QStringLiteral("orvalis-report failed: %1").arg(reportArgs.join(QLatin1Char(' '))));
        result.reportSeconds = seconds(timer);
        m_progress << ", orvalis-report " << result.reportPeakKiB / 1024 << " MiB" << Qt::endl;
        results << result;
    }
    return results;
}

QVector<BenchResult> Benchmark::run()
{
    QDir().mkpath(m_options.dir);
    QVector<BenchResult> results;
    for (qint64 size : m_options.sizes) {
        ensureBase(size);
        ensureWorkCopy(size, false);
        ensureWorkCopy(size, true);
        const Cases what = cases(size);
        for (bool indexed : {false, true})
            results << measure(size, indexed, what);
    }
    return results;
}

QString Benchmark::markdown(const QVector<BenchResult> &results, const BenchOptions &options)
{
    QString out;
    QTextStream s(&out);
    s << "| Fact rows | Index | Drill | Rows | Per-figure | Grouped | Plain pass | Grouped / plain | Per-figure / grouped "
         "| Same texts | orvalis-report peak |\n";
    s << "|---:|:---|---:|---:|---:|---:|---:|---:|---:|:---|---:|\n";
    for (const BenchResult &r : results) {
        const double grouped = BenchResult::median(r.grouped);
        const double floor = BenchResult::median(r.floor);
        QString perFigure, speedUp = QStringLiteral("—"), same = QStringLiteral("—");
        if (r.perFigure.isEmpty()) {
            perFigure = QStringLiteral("skipped (≈ %1 per run)").arg(duration(r.perFigureEstimate));
            if (r.perFigureEstimate > 0)
                speedUp = QStringLiteral("≈ ") + ratio(r.perFigureEstimate / grouped);
        } else {
            const double median = BenchResult::median(r.perFigure);
            perFigure = duration(median);
            if (r.perFigure.size() < options.runs)
                perFigure += QStringLiteral(" (%1 run%2)").arg(r.perFigure.size()).arg(r.perFigure.size() > 1 ? "s" : "");
            speedUp = ratio(median / grouped);
            same = r.sameTexts ? QStringLiteral("yes") : QStringLiteral("**no**");
        }
        s << "| " << groupedDigits(r.size) << " | " << (r.indexed ? "yes" : "no") << " | " << r.drill << " | " << r.rows
          << " | " << perFigure << " | " << duration(grouped) << " | " << duration(floor) << " | "
          << ratio(grouped / floor) << " (CPU " << ratio(BenchResult::median(r.groupedCpu) / BenchResult::median(r.floorCpu))
          << ") | " << speedUp << " | " << same << " | "
          << QStringLiteral("%1 MiB").arg(double(r.reportPeakKiB) / 1024.0, 0, 'f', 1) << " |\n";
    }
    return out;
}

QString Benchmark::tsv(const QVector<BenchResult> &results)
{
    QString out = QStringLiteral("rows\tindexed\tdrill\ttable_rows\tmonth\tper_figure_s\tper_figure_runs\t"
                                 "per_figure_estimate_s\tgrouped_s\tplain_s\treport_peak_kib\treport_s\tsame_texts\t"
                                 "per_figure_cpu_s\tgrouped_cpu_s\tplain_cpu_s\n");
    for (const BenchResult &r : results) {
        out += QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6\t%7\t%8\t%9\t")
                   .arg(r.size)
                   .arg(r.indexed ? 1 : 0)
                   .arg(r.drill)
                   .arg(r.rows)
                   .arg(r.month)
                   .arg(r.perFigure.isEmpty() ? QStringLiteral("") : QString::number(BenchResult::median(r.perFigure), 'g', 6))
                   .arg(r.perFigure.size())
                   .arg(r.perFigureEstimate, 0, 'g', 6)
                   .arg(BenchResult::median(r.grouped), 0, 'g', 6);
        out += QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6\t%7\n")
                   .arg(BenchResult::median(r.floor), 0, 'g', 6)
                   .arg(r.reportPeakKiB)
                   .arg(r.reportSeconds, 0, 'g', 4)
                   .arg(r.perFigure.isEmpty() ? QStringLiteral("") : r.sameTexts ? QStringLiteral("1") : QStringLiteral("0"))
                   .arg(r.perFigure.isEmpty() ? QStringLiteral("") : QString::number(BenchResult::median(r.perFigureCpu), 'g', 6))
                   .arg(BenchResult::median(r.groupedCpu), 0, 'g', 6)
                   .arg(BenchResult::median(r.floorCpu), 0, 'g', 6);
    }
    return out;
}

qint64 Benchmark::ownPeakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}
