#include "tools/bench/benchmark.h"

#include "dashboard/comparison.h"
#include "dashboard/dashboardstatements.h"
#include "dashboard/groupedfigures.h"
#include "dashboard/periods.h"
#include "dashboard/trend.h"
#include "store/dberror.h"
#include "store/pgsession.h"
#include "store/schema.h"
#include "store/serveraddress.h"
#include "store/serverconnection.h"
#include "store/sqlrows.h"
#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "tools/common/toolexit.h"
#include "ui/numbertext.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <time.h>

#include <fcntl.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString &message)
{
    throw std::runtime_error(message.toStdString());
}

// A connection of the benchmark's own, for preparing its databases: a file
// path or a server's URI.
class Setup
{
public:
    explicit Setup(const QString &name)
    {
        static int serial = 0;
        m_name = QStringLiteral("bench-setup-%1").arg(++serial);
        if (ServerAddress::isServerName(name)) {
            m_server = true;
            ServerConnection::open(m_name, ServerAddress::parse(name), 60000);
            exec(QStringLiteral("SET client_min_messages = warning")); // no notices on the console
            return;
        }
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(name);
        if (!db.open()) {
            const QString message = db.lastError().text();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_name);
            fail(message);
        }
    }
    ~Setup()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    Setup(const Setup &) = delete;
    Setup &operator=(const Setup &) = delete;

    bool onServer() const { return m_server; }
    void exec(const QString &sql, const QVariantList &values = {})
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        if (values.isEmpty()) {
            if (!query.exec(sql))
                fail(sql + QStringLiteral(": ") + query.lastError().text());
            return;
        }
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
    QVariant scalar(const QString &sql)
    {
        const QList<QVariantList> all = rows(sql);
        return all.isEmpty() ? QVariant() : all.first().value(0);
    }
    // The indexes of the fact table: name, and what tells whether it is the
    // recommended one (its statement on SQLite; its name on a server, which
    // rewrites the statement in its own words).
    QList<QPair<QString, QString>> dataIndexes()
    {
        QList<QPair<QString, QString>> out;
        const QString sql = m_server
            ? QStringLiteral("SELECT indexname, indexname FROM pg_indexes "
                             "WHERE schemaname = current_schema() AND tablename = 'data' ORDER BY indexname")
            : QStringLiteral("SELECT name, sql FROM sqlite_master "
                             "WHERE type = 'index' AND tbl_name = 'data' AND sql IS NOT NULL ORDER BY name");
        for (const QVariantList &row : rows(sql))
            out << qMakePair(row.value(0).toString(), row.value(1).toString());
        return out;
    }
    // What dataIndexes() gives for the index of that order.
    QString wanted(IndexOrder index) const
    {
        const bool agencyFirst = index == IndexOrder::AgencyFirst;
        if (m_server)
            return agencyFirst ? Schema::recommendedIndexName() : Schema::accountFirstIndexName();
        return agencyFirst ? Schema::recommendedIndex() : Schema::accountFirstIndex();
    }
    bool indexesAsWanted(IndexOrder index)
    {
        const QList<QPair<QString, QString>> present = dataIndexes();
        if (index == IndexOrder::None)
            return present.isEmpty();
        return present.size() == 1 && present.first().second == wanted(index);
    }

private:
    QString m_name;
    bool m_server = false;
};

// A name made of our own characters, quoted as an identifier.
QString identifier(const QString &name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

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

// What a run took, added to the runs so far.
void record(const Timing &timing, QVector<double> &wall, QVector<double> &cpu)
{
    wall << timing.wall;
    cpu << timing.cpu;
}

// One plain pass (`floorSql`), then `path`, each timed: measured in turns,
// both see the same load of the machine.
void timeInTurns(TABSDatabase &db, const QString &floorSql, QVector<double> &floor, QVector<double> &floorCpu,
                 const std::function<void()> &path, QVector<double> &wall, QVector<double> &cpu)
{
    const Stopwatch plain;
    queryText(db, floorSql, QStringLiteral("somme"));
    record(plain.elapsed(), floor, floorCpu);
    const Stopwatch measured;
    path();
    record(measured.elapsed(), wall, cpu);
}

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

// The rows of a refresh; with a comparison, each row's chosen period and
// then its compared one.
QList<DashboardRow> refresh(TABSDatabase &db, const DashboardSelection &selection, FigureSource &source,
                            Timing *elapsed, const PeriodChoice &choice = {})
{
    QList<DashboardRow> rows;
    const Stopwatch watch;
    if (choice.span == PeriodChoice::Month && choice.comparison == PeriodChoice::None) {
        buildDashboard(&db, selection, source, [&rows](const DashboardRow &row) { rows << row; });
    } else {
        buildComparedDashboard(&db, selection, choice, source, [&rows](const ComparedRow &row) {
            rows << row.chosen;
            if (row.compared)
                rows << *row.compared;
        });
    }
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
// its peak resident memory in KiB, as the kernel counts it for a child
// (wait4's ru_maxrss). That count includes what the forking process held at
// the fork, which may be far more than the program itself: the program is
// started by a fresh copy of this one (Benchmark::runMeasured), still small
// (a few MiB, the floor of the figure), which writes its status and peak on
// its output.
int runChild(const QString &program, const QStringList &arguments, qint64 *peakKiB)
{
    QProcess measured;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(Benchmark::MeasuredRun), QStringLiteral("1"));
    measured.setProcessEnvironment(environment);
    measured.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    measured.start(QCoreApplication::applicationFilePath(), QStringList{program} + arguments);
    if (!measured.waitForFinished(-1) || measured.exitStatus() != QProcess::NormalExit || measured.exitCode() != 0)
        fail(QStringLiteral("%1 n'a pas pu être lancé").arg(program));
    const QList<QByteArray> figures = measured.readAllStandardOutput().split(' ');
    *peakKiB = figures.value(1).trimmed().toLongLong();
    return figures.value(0).toInt();
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

// Where one engine keeps the benchmark's databases: a sample per size and
// organisation, made once by orvalis-sample and kept, and working copies
// of it (levels added; no index, or one covering index in either order),
// prepared once and kept until the sample is made again.
class BenchStore
{
public:
    BenchStore(const BenchOptions &options, QTextStream &progress) : m_options(options), m_progress(progress) {}
    virtual ~BenchStore() = default;

    virtual QString engine() const = 0;  // "sqlite", "postgresql"
    virtual QString version() = 0;       // for the header of the results
    // What the programs are given: a file path or a URI.
    virtual QString base(qint64 size, const BenchShape &shape) const = 0;
    virtual QString work(qint64 size, const BenchShape &shape, IndexOrder index) const = 0;
    virtual void ensureBase(qint64 size, const BenchShape &shape) = 0;
    virtual void ensureWork(qint64 size, const BenchShape &shape, IndexOrder index) = 0;

protected:
    QString month() const { return m_options.lastMonth.toString(QStringLiteral("yyyy-MM")); }

    void runSample(const QString &target, qint64 size, const BenchShape &shape)
    {
        m_progress << "Création de " << target << " par orvalis-sample (" << size << " lignes de faits)..." << Qt::endl;
        // Its report goes with our progress, not into the results.
        QProcess sample;
        sample.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&sample, &QProcess::readyRead,
                         [&sample, this] { m_progress << QString::fromLocal8Bit(sample.readAll()) << Qt::flush; });
        sample.start(m_options.sampleProgram,
                     QStringList{target, QStringLiteral("--rows"), QString::number(size), QStringLiteral("--seed"),
                                 QString::number(m_options.seed), QStringLiteral("--last-month"), month()}
                         + shape.sampleArguments());
        if (!sample.waitForStarted())
            fail(QStringLiteral("impossible de lancer %1").arg(m_options.sampleProgram));
        sample.waitForFinished(-1);
        m_progress << QString::fromLocal8Bit(sample.readAll()) << Qt::flush;
        if (sample.exitStatus() != QProcess::NormalExit || sample.exitCode() != 0)
            fail(QStringLiteral("orvalis-sample a échoué pour %1 lignes").arg(size));
    }

    // Adds levels up to the number asked for, leaves exactly the index
    // asked for or none, and brings the statistics up to date.
    void prepare(Setup &setup, IndexOrder index)
    {
        setup.exec(QStringLiteral("BEGIN"));
        // Each new level has a few of the existing agencies (so some
        // agencies belong to two levels).
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
        if (!setup.indexesAsWanted(index)) {
            const bool indexed = index != IndexOrder::None;
            bool present = false;
            for (const auto &[name, what] : setup.dataIndexes()) {
                if (indexed && what == setup.wanted(index) && !present)
                    present = true;
                else
                    setup.exec(QStringLiteral("DROP INDEX %1").arg(identifier(name)));
            }
            if (indexed && !present) {
                m_progress << "  création de l'index (" << indexOrderName(index) << " d'abord)..." << Qt::endl;
                setup.exec(index == IndexOrder::AgencyFirst ? Schema::recommendedIndex() : Schema::accountFirstIndex());
            }
        }
        setup.exec(QStringLiteral("COMMIT"));
        // On a server, VACUUM also sets the visibility map that lets the
        // figures be read from the index alone. Only the six tables: the
        // catalogs are not ours to maintain unless we are a superuser.
        setup.exec(setup.onServer()
                       ? QStringLiteral("VACUUM ANALYZE %1").arg(Schema::tableNames().join(QStringLiteral(", ")))
                       : QStringLiteral("ANALYZE"));
    }

    const BenchOptions &m_options;
    QTextStream &m_progress;
};

namespace {

// Files in the benchmark's folder.
class FileStore : public BenchStore
{
public:
    using BenchStore::BenchStore;

    QString engine() const override { return QStringLiteral("sqlite"); }
    QString version() override
    {
        Setup memory(QStringLiteral(":memory:"));
        return QStringLiteral("SQLite ") + memory.scalar(QStringLiteral("SELECT sqlite_version()")).toString();
    }
    QString base(qint64 size, const BenchShape &shape) const override
    {
        return QDir(m_options.dir).filePath(
            QStringLiteral("sample-%1-seed%2-%3%4.db").arg(size).arg(m_options.seed).arg(month(), suffix(shape)));
    }
    QString work(qint64 size, const BenchShape &shape, IndexOrder index) const override
    {
        return QDir(m_options.dir).filePath(QStringLiteral("bench-%1-seed%2-%3%4-%5levels-%6.db")
                                                .arg(size)
                                                .arg(m_options.seed)
                                                .arg(month(), suffix(shape))
                                                .arg(m_options.levels)
                                                .arg(indexName(index)));
    }
    void ensureBase(qint64 size, const BenchShape &shape) override
    {
        QDir().mkpath(m_options.dir);
        if (QFileInfo::exists(base(size, shape)))
            return;
        runSample(base(size, shape), size, shape);
        if (!QFileInfo::exists(base(size, shape)))
            fail(QStringLiteral("orvalis-sample n'a pas créé %1").arg(base(size, shape)));
    }
    void ensureWork(qint64 size, const BenchShape &shape, IndexOrder index) override
    {
        const QString copy = work(size, shape, index);
        const QString sample = base(size, shape);
        if (QFileInfo::exists(copy) && QFileInfo(copy).lastModified() >= QFileInfo(sample).lastModified()) {
            Setup setup(copy);
            if (setup.scalar(QStringLiteral("SELECT COUNT(*) FROM dim_niveau")).toInt() >= m_options.levels
                && setup.indexesAsWanted(index))
                return;
        }
        m_progress << "Préparation de " << copy << "..." << Qt::endl;
        // Prepared under another name: an interrupted preparation is never
        // taken for a finished one.
        const QString temporary = copy + QStringLiteral(".part");
        QFile::remove(temporary);
        if (!QFile::copy(sample, temporary))
            fail(QStringLiteral("impossible de copier %1 vers %2").arg(sample, temporary));
        {
            Setup setup(temporary);
            prepare(setup, index);
        }
        QFile::remove(copy);
        if (!QFile::rename(temporary, copy))
            fail(QStringLiteral("impossible de renommer %1").arg(temporary));
    }

private:
    static QString suffix(const BenchShape &shape) { return shape.isSample() ? QString() : QLatin1Char('-') + shape.key(); }
    // The names the copies had before the account-first order, and its own.
    static QString indexName(IndexOrder index)
    {
        static const char *const names[] = {"noindex", "index", "index-account"};
        return QLatin1String(names[int(index)]);
    }
};

// Databases on a PostgreSQL server, created beside the one the benchmark is
// given (the role needs CREATEDB), with the C collation so that they sort
// as SQLite does. A working copy is a copy of the sample's database
// (CREATE DATABASE ... TEMPLATE), marked by a comment once prepared.
class ServerStore : public BenchStore
{
public:
    ServerStore(const BenchOptions &options, QTextStream &progress)
        : BenchStore(options, progress), m_address(ServerAddress::parse(options.server))
    {
    }

    QString engine() const override { return QStringLiteral("postgresql"); }
    QString version() override
    {
        Setup server(m_options.server);
        return QStringLiteral("PostgreSQL %1 (%2)")
            .arg(server.scalar(QStringLiteral("SHOW server_version")).toString(), m_address.display());
    }
    QString base(qint64 size, const BenchShape &shape) const override
    {
        return m_address.withDatabase(baseName(size, shape));
    }
    QString work(qint64 size, const BenchShape &shape, IndexOrder index) const override
    {
        return m_address.withDatabase(workName(size, shape, index));
    }
    void ensureBase(qint64 size, const BenchShape &shape) override
    {
        const QString name = baseName(size, shape);
        {
            Setup server(m_options.server);
            if (oid(server, name).isEmpty())
                server.exec(QStringLiteral("CREATE DATABASE %1 TEMPLATE template0 ENCODING 'UTF8' "
                                           "LC_COLLATE 'C' LC_CTYPE 'C'")
                                .arg(identifier(name)));
        }
        {
            // orvalis-sample writes its tables in one transaction: they are
            // there, whole, or not at all.
            Setup sample(base(size, shape));
            if (sample.scalar(QStringLiteral("SELECT to_regclass('data') IS NOT NULL")).toBool())
                return;
        }
        runSample(base(size, shape), size, shape);
    }
    void ensureWork(qint64 size, const BenchShape &shape, IndexOrder index) override
    {
        Setup server(m_options.server);
        const QString sample = baseName(size, shape);
        const QString baseOid = oid(server, sample);
        if (baseOid.isEmpty())
            fail(QStringLiteral("base %1 introuvable sur le serveur").arg(sample));
        const QString name = workName(size, shape, index);
        const QString marker = QStringLiteral("orvalis-bench: copy of %1 (oid %2), %3 levels, %4")
                                   .arg(sample, baseOid)
                                   .arg(m_options.levels)
                                   .arg(index == IndexOrder::None ? QStringLiteral("no index")
                                        : index == IndexOrder::AgencyFirst ? QStringLiteral("index")
                                                                           : QStringLiteral("index, account first"));
        const QString comment = server
                                    .scalar(QStringLiteral("SELECT shobj_description(oid, 'pg_database') "
                                                           "FROM pg_database WHERE datname = '%1'")
                                                .arg(sqlEscape(name)))
                                    .toString();
        if (comment == marker)
            return;
        m_progress << "Préparation de " << m_address.withDatabase(name) << "..." << Qt::endl;
        server.exec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(identifier(name)));
        server.exec(QStringLiteral("CREATE DATABASE %1 TEMPLATE %2").arg(identifier(name), identifier(sample)));
        {
            Setup copy(work(size, shape, index));
            prepare(copy, index);
        }
        server.exec(QStringLiteral("COMMENT ON DATABASE %1 IS '%2'").arg(identifier(name), sqlEscape(marker)));
    }

private:
    // An organisation of a given size is named by a digest of its counts:
    // a server's names are short.
    QString baseName(qint64 size, const BenchShape &shape) const
    {
        const QString name = QStringLiteral("%1_%2_s%3_%4")
                                 .arg(m_options.prefix)
                                 .arg(size)
                                 .arg(m_options.seed)
                                 .arg(m_options.lastMonth.toString(QStringLiteral("yyyyMM")));
        if (shape.isSample())
            return name;
        return name + QLatin1Char('_')
            + QString::fromLatin1(QCryptographicHash::hash(shape.key().toLatin1(), QCryptographicHash::Sha1).toHex().left(8));
    }
    QString workName(qint64 size, const BenchShape &shape, IndexOrder index) const
    {
        static const char *const names[] = {"noindex", "index", "indexcompte"};
        return baseName(size, shape) + QStringLiteral("_%1n_%2").arg(m_options.levels).arg(QLatin1String(names[int(index)]));
    }
    static QString oid(Setup &server, const QString &database)
    {
        return server.scalar(QStringLiteral("SELECT oid FROM pg_database WHERE datname = '%1'").arg(sqlEscape(database)))
            .toString();
    }

    ServerAddress m_address;
};

} // namespace

Benchmark::Benchmark(BenchOptions options, QTextStream &progress) : m_options(std::move(options)), m_progress(progress)
{
    // The longest name made from it stays within a server's 63 characters.
    static const QRegularExpression plainName(QStringLiteral("^[a-z][a-z0-9_]{0,19}$"));
    if (!plainName.match(m_options.prefix).hasMatch())
        fail(QStringLiteral("le préfixe doit être un nom en minuscules d'au plus 20 lettres, chiffres et soulignés : %1")
                 .arg(m_options.prefix));
    if (!m_options.lastMonth.isValid())
        fail(QStringLiteral("mois invalide"));
    if (m_options.sqlite)
        m_stores.push_back(std::make_unique<FileStore>(m_options, m_progress));
    if (!m_options.server.isEmpty())
        m_stores.push_back(std::make_unique<ServerStore>(m_options, m_progress));
    if (m_stores.empty())
        fail(QStringLiteral("rien à mesurer : pas de serveur, et SQLite laissé de côté"));
}

Benchmark::~Benchmark() = default;

QString Benchmark::engines() const
{
    QStringList out;
    for (const auto &store : m_stores)
        out << store->version();
    return out.join(QStringLiteral(", "));
}

Benchmark::Cases Benchmark::cases(BenchStore &store, qint64 size, const BenchShape &shape)
{
    // Asked on an indexed copy where there is one, where it reads the index
    // alone.
    IndexOrder index = m_options.indexes.first();
    for (IndexOrder order : m_options.indexes)
        if (order != IndexOrder::None)
            index = order;
    TABSDatabase db;
    db.SetDatabaseFileName(store.work(size, shape, index));
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

QVector<BenchResult> Benchmark::measure(BenchStore &store, qint64 size, const BenchShape &shape, IndexOrder index,
                                        const Cases &cases)
{
    TABSDatabase db;
    db.SetDatabaseFileName(store.work(size, shape, index));
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
        QStringList reportArgs{store.work(size, shape, index), QStringLiteral("VEXOR"),
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
        result.engine = store.engine();
        result.size = size;
        result.shape = shape;
        result.index = index;
        result.drill = drill;
        result.month = reportArgs.at(3);
        m_progress << "  " << result.engine << ' ' << size << ' ' << shape.label() << ", index "
                   << indexOrderName(index) << ", drill " << drill << ": " << Qt::flush;

        // The plain pass and the grouped path in turns (on a file, the
        // engine's own GROUP BY statements too), so that all see the same
        // load of the machine; a first plain pass brings the file into the
        // cache.
        queryText(db, floorSql, QStringLiteral("somme"));
        QList<DashboardRow> groupedRows;
        for (int run = 0; run < m_options.runs; ++run) {
            const Stopwatch watch;
            queryText(db, floorSql, QStringLiteral("somme"));
            record(watch.elapsed(), result.floor, result.floorCpu);

            GroupedFigureSource source; // a new one: every run reads the facts
            Timing elapsed;
            groupedRows = refresh(db, selection, source, &elapsed);
            record(elapsed, result.grouped, result.groupedCpu);

            if (!db.isServer())
                timeEngineStatements(db, cases, result);
        }
        result.rows = int(groupedRows.size());
        for (const DashboardRow &row : std::as_const(groupedRows))
            result.table << row.cells();
        m_progress << "passage simple " << duration(BenchResult::median(result.floor)) << ", groupé "
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
            m_progress << ", par chiffre " << duration(BenchResult::median(result.perFigure)) << Qt::flush;
        } else {
            m_progress << ", par chiffre omis (estimé à " << duration(estimate) << ")" << Qt::flush;
        }

        QElapsedTimer timer;
        timer.start();
        if (runChild(m_options.reportProgram, reportArgs, &result.reportPeakKiB) != 0)
            fail(QStringLiteral("orvalis-report a échoué : %1").arg(reportArgs.join(QLatin1Char(' '))));
        result.reportSeconds = seconds(timer);
        m_progress << ", orvalis-report " << result.reportPeakKiB / 1024 << " MiB" << Qt::endl;
        results << result;
    }
    return results;
}

TrendResult Benchmark::measureTrend(BenchStore &store, qint64 size, const BenchShape &shape, IndexOrder index)
{
    TABSDatabase db;
    db.SetDatabaseFileName(store.work(size, shape, index));
    // The month list on the samples' last month: it and the twelve before.
    QVector<Period> months = monthList(m_options.lastMonth);
    std::reverse(months.begin(), months.end());
    DashboardSelection selection;
    selection.admin = true;

    TrendResult result;
    result.engine = store.engine();
    result.size = size;
    result.shape = shape;
    result.index = index;
    result.months = months.first().text + QStringLiteral(" to ") + months.last().text;
    m_progress << "  " << result.engine << ' ' << size << ' ' << shape.label() << ", index " << indexOrderName(index)
               << ", trend of " << result.months << ": " << Qt::flush;
    const QString floorSql = QStringLiteral("SELECT SUM(valeur) AS somme FROM data WHERE (period_year, period_month) "
                                            ">= (%1, %2) AND (period_year, period_month) <= (%3, %4)")
                                 .arg(months.first().year)
                                 .arg(months.first().month)
                                 .arg(months.last().year)
                                 .arg(months.last().month);

    queryText(db, floorSql, QStringLiteral("somme"));
    const FigureSourceFactory grouped = [] { return std::make_unique<GroupedFigureSource>(); };
    QVector<MonthTotals> trend;
    for (int run = 0; run < m_options.runs; ++run) // a new source each time: every run reads the facts
        timeInTurns(db, floorSql, result.floor, result.floorCpu,
                    [&] { trend = monthlyTotals(&db, selection, months, grouped); }, result.trend, result.trendCpu);

    // The thirteen tables of one month each, each with its own pass: the
    // same totals, and what the trend cost before it was one pass.
    const Stopwatch oneByOne;
    for (int i = 0; i < months.size(); ++i) {
        const MonthTotals totals = monthlyTotals(&db, selection, {months.at(i)}, grouped).first();
        // As the totals read (a server adds a group's rows in an order of
        // its own for each statement, so the last bits may differ).
        const MonthTotals &t = trend.at(i);
        if (Format::amount(t.HT) != Format::amount(totals.HT) || Format::amount(t.Marge) != Format::amount(totals.Marge)
            || t.NbDevis != totals.NbDevis || t.NbCommandes != totals.NbCommandes)
            result.sameTotals = false;
    }
    result.oneByOne = oneByOne.elapsed().wall;
    m_progress << "plain " << duration(BenchResult::median(result.floor)) << ", trend "
               << duration(BenchResult::median(result.trend)) << ", one by one " << duration(result.oneByOne)
               << (result.sameTotals ? "" : ", totals DIFFER") << Qt::endl;
    return result;
}

QVector<ComparisonResult> Benchmark::measureComparisons(BenchStore &store, qint64 size, const BenchShape &shape,
                                                        IndexOrder index, const Cases &cases)
{
    TABSDatabase db;
    db.SetDatabaseFileName(store.work(size, shape, index));
    QVector<ComparisonResult> results;
    PeriodChoice previous{PeriodChoice::Month, PeriodChoice::PreviousMonth};
    PeriodChoice sinceJanuary{PeriodChoice::YearToDate, PeriodChoice::YearEarlier};
    for (const PeriodChoice &choice : {previous, sinceJanuary}) {
        const MonthSpan chosen = choice.chosen(cases.year, cases.month);
        const MonthSpan other = *choice.compared(cases.year, cases.month);
        ComparisonResult result;
        result.engine = store.engine();
        result.size = size;
        result.shape = shape;
        result.index = index;
        result.what = chosen.text() + QStringLiteral(" against ") + other.text();
        result.months = chosen.months() + other.months();
        // One range of the index for each period.
        QStringList sums;
        for (const MonthSpan &span : {chosen, other})
            sums << QStringLiteral("(SELECT SUM(valeur) FROM data WHERE period_year = %1 AND period_month BETWEEN %2 "
                                   "AND %3)")
                        .arg(span.year)
                        .arg(span.first)
                        .arg(span.last);
        const QString floorSql = QStringLiteral("SELECT %1 AS somme").arg(sums.join(QStringLiteral(" + ")));
        m_progress << "  " << result.engine << ' ' << size << ' ' << shape.label() << ", index "
                   << indexOrderName(index) << ", " << result.what << ": " << Qt::flush;
        DashboardSelection selection;
        selection.admin = true;
        selection.year = cases.year;
        selection.month = cases.month;

        queryText(db, floorSql, QStringLiteral("somme"));
        ComparedRow totals;
        for (int run = 0; run < m_options.runs; ++run) {
            GroupedFigureSource source; // a new one: every run reads the facts
            timeInTurns(
                db, floorSql, result.floor, result.floorCpu,
                [&] { buildComparedDashboard(&db, selection, choice, source, [](const ComparedRow &) {}, &totals); },
                result.compared, result.comparedCpu);
            // As a user goes: the chosen period alone, the comparison, and
            // back to the chosen period.
            GroupedFigureSource going;
            DashboardSelection alone = selection;
            alone.setSpan(chosen);
            buildDashboard(&db, alone, going, [](const DashboardRow &) {});
            const Stopwatch then;
            buildComparedDashboard(&db, selection, choice, going, [](const ComparedRow &) {});
            record(then.elapsed(), result.afterPlain, result.afterPlainCpu);
            const Stopwatch again;
            buildDashboard(&db, alone, going, [](const DashboardRow &) {});
            record(again.elapsed(), result.shownAgain, result.shownAgainCpu);
        }
        // Each period's totals as its own table gives them.
        for (const auto &[span, line] : {std::pair{chosen, totals.chosen}, std::pair{other, *totals.compared}}) {
            DashboardSelection alone = selection;
            alone.setSpan(span);
            GroupedFigureSource source;
            DashboardRow plain;
            buildDashboard(&db, alone, source, [](const DashboardRow &) {}, &plain);
            result.sameTotals = result.sameTotals && plain.cells() == line.cells();
        }
        m_progress << "plain " << duration(BenchResult::median(result.floor)) << ", compared "
                   << duration(BenchResult::median(result.compared)) << ", after the plain view "
                   << duration(BenchResult::median(result.afterPlain)) << ", shown again "
                   << duration(BenchResult::median(result.shownAgain)) << (result.sameTotals ? "" : ", totals DIFFER")
                   << Qt::endl;
        results << result;
    }
    return results;
}

BenchResults Benchmark::run()
{
    BenchResults results;
    for (qint64 size : m_options.sizes) {
        for (const BenchShape &shape : std::as_const(m_options.shapes)) {
            for (const auto &store : m_stores) {
                store->ensureBase(size, shape);
                for (IndexOrder index : std::as_const(m_options.indexes))
                    store->ensureWork(size, shape, index);
            }
            // The same selections on every engine (the samples are the same).
            const Cases what = cases(*m_stores.front(), size, shape);
            QVector<BenchResult> ofSample;
            for (const auto &store : m_stores) {
                for (IndexOrder index : std::as_const(m_options.indexes)) {
                    ofSample << measure(*store, size, shape, index, what);
                    results.trends << measureTrend(*store, size, shape, index);
                    results.comparisons << measureComparisons(*store, size, shape, index, what);
                }
            }
            for (BenchResult &r : ofSample) {
                if (!r.onServer())
                    continue;
                for (const BenchResult &file : std::as_const(ofSample))
                    if (!file.onServer() && file.index == r.index && file.drill == r.drill)
                        r.sameAsSqlite = file.table == r.table;
            }
            if (!m_options.policiesScript.isEmpty())
                for (const auto &store : m_stores)
                    if (store->engine() == QLatin1String("postgresql"))
                        for (IndexOrder index : std::as_const(m_options.indexes))
                            if (index != IndexOrder::AccountFirst)
                                measurePolicies(*store, size, shape, index, what);
            results.cases << ofSample;
        }
    }
    return results;
}

void Benchmark::measurePolicies(BenchStore &store, qint64 size, const BenchShape &shape, IndexOrder index,
                                const Cases &cases)
{
    const bool indexed = index != IndexOrder::None;
    QFile file(m_options.policiesScript);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("impossible de lire %1").arg(m_options.policiesScript));
    const QString script = QString::fromUtf8(file.readAll());
    const QString database = store.work(size, shape, index);
    m_progress << "  the readers' views on " << database << ": " << Qt::flush;
    {
        // The deployment's roles and policies; our own session reads as a
        // reader of the measured level: its login stands for that user, and
        // it takes the readers' role (a superuser needs no membership).
        PgSession owner(ServerAddress::parse(database));
        // The catalogue's part of the set-up comes first, from beside it.
        // It takes a superuser; without one the measure goes on with the
        // catalogue open, which changes no time, and says so to the script.
        QString cataloguePath = m_options.policiesScript;
        cataloguePath.replace(QStringLiteral("-roles.sql"), QStringLiteral("-catalog.sql"));
        QFile catalogue(cataloguePath);
        bool closed = false;
        if (cataloguePath != m_options.policiesScript && catalogue.open(QIODevice::ReadOnly)
            && owner.scalar(QStringLiteral("SELECT rolsuper FROM pg_roles WHERE rolname = current_user")) == QLatin1String("t")) {
            owner.exec(QString::fromUtf8(catalogue.readAll()), cataloguePath);
            closed = true;
        }
        if (!closed)
            owner.exec(QStringLiteral("SET orvalis.catalogue_ouvert = on"), QStringLiteral("the open catalogue"));
        owner.exec(script, m_options.policiesScript);
        owner.exec(QStringLiteral("DELETE FROM orvalis_acces WHERE login = session_user; "
                                  "INSERT INTO orvalis_acces (login, utilisateur) VALUES (session_user, '%1'); "
                                  "DO $$ BEGIN IF NOT (SELECT rolsuper FROM pg_roles WHERE rolname = current_user) "
                                  "THEN GRANT orvalis_lecture TO CURRENT_USER; END IF; END $$")
                       .arg(sqlEscape(cases.level)),
                   QStringLiteral("the reader of level %1").arg(cases.level));
    }
    TABSDatabase asOwner;
    asOwner.SetDatabaseFileName(database);
    TABSDatabase asReader;
    asReader.SetDatabaseFileName(database);
    {
        TABSQuery role(&asReader);
        role.SQL().append(QStringLiteral("SET ROLE orvalis_lecture"));
        role.ExecSQL();
        // As the reader's login would at its connection: the readers' views.
        TABSQuery views(&asReader);
        views.SQL().append(ServerConnection::readerSearchPath());
        views.Open();
    }

    // His level as he starts the program with his own code, then its
    // agencies, then his level since January against a year earlier.
    const PeriodChoice sinceJanuary{PeriodChoice::YearToDate, PeriodChoice::YearEarlier};
    for (const auto &[drill, choice] : {std::pair{0, PeriodChoice{}}, std::pair{1, PeriodChoice{}}, std::pair{0, sinceJanuary}}) {
        DashboardSelection selection;
        selection.user = cases.level;
        selection.year = cases.year;
        selection.month = cases.month;
        if (drill == 1) {
            selection.levelIndex = 1;
            selection.levelCode = cases.level;
        }
        PolicyResult result;
        result.size = size;
        result.indexed = indexed;
        result.drill = drill;
        if (choice.comparison != PeriodChoice::None)
            result.periods = choice.chosen(cases.year, cases.month).text() + QStringLiteral(" against ")
                + choice.compared(cases.year, cases.month)->text();
        QList<DashboardRow> ownerRows, readerRows;
        for (int run = 0; run <= m_options.runs; ++run) {
            // A first run of each warms the caches and is not counted.
            Timing elapsed;
            GroupedFigureSource forOwner;
            ownerRows = refresh(asOwner, selection, forOwner, &elapsed, choice);
            if (run > 0)
                result.owner << elapsed.wall;
            GroupedFigureSource forReader;
            readerRows = refresh(asReader, selection, forReader, &elapsed, choice);
            if (run > 0)
                result.reader << elapsed.wall;
        }
        result.rows = int(readerRows.size());
        result.sameTable = !readerRows.isEmpty() && sameTexts(ownerRows, readerRows);
        m_progress << "drill " << drill << (result.periods.isEmpty() ? "" : " compared") << " owner " << duration(BenchResult::median(result.owner)) << ", reader "
                   << duration(BenchResult::median(result.reader)) << "; " << Qt::flush;
        m_policies << result;
    }
    m_progress << Qt::endl;
    asReader.close();
    PgSession owner(ServerAddress::parse(database));
    owner.exec(QStringLiteral("DO $$ BEGIN IF NOT (SELECT rolsuper FROM pg_roles WHERE rolname = current_user) "
                              "THEN REVOKE orvalis_lecture FROM CURRENT_USER; END IF; END $$"),
               QStringLiteral("the end of the reader's measures"));
}

QString Benchmark::policyTable(const QVector<PolicyResult> &results)
{
    QString out;
    QTextStream s(&out);
    if (results.isEmpty())
        return out;
    s << "| Fact rows | Index | Rows shown | Owner, the tables | Reader, his views | Reader / owner | Same table |\n";
    s << "|---:|:---|:---|---:|---:|---:|:---|\n";
    for (const PolicyResult &r : results) {
        const double owner = BenchResult::median(r.owner);
        const double reader = BenchResult::median(r.reader);
        s << "| " << groupedDigits(r.size) << " | " << (r.indexed ? "yes" : "no") << " | "
          << (r.drill == 0 ? QStringLiteral("his level") : QStringLiteral("%1 agencies of his level").arg(r.rows))
          << (r.periods.isEmpty() ? QString() : QStringLiteral(", ") + r.periods)
          << " | " << duration(owner) << " | " << duration(reader) << " | " << ratio(reader / owner) << " | "
          << (r.sameTable ? "yes" : "**no**") << " |\n";
    }
    return out;
}

namespace {

QString engineName(bool server)
{
    return server ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite");
}

// "none", "agency first", "account first".
QString indexLabel(IndexOrder index)
{
    return index == IndexOrder::None ? indexOrderName(index) : indexOrderName(index) + QStringLiteral(" first");
}

// "1.23× (CPU 1.20×)": the processor time of the engine is ours only with
// SQLite, which runs in this process.
QString overFloor(bool server, const QVector<double> &wall, const QVector<double> &cpu, const QVector<double> &floor,
                  const QVector<double> &floorCpu)
{
    QString out = ratio(BenchResult::median(wall) / BenchResult::median(floor));
    if (!server)
        out += QStringLiteral(" (CPU %1)").arg(ratio(BenchResult::median(cpu) / BenchResult::median(floorCpu)));
    return out;
}

} // namespace

QString Benchmark::markdown(const QVector<BenchResult> &results, const BenchOptions &options)
{
    QString out;
    QTextStream s(&out);
    s << "| Engine | Organisation | Fact rows | Index | Drill | Rows | Per-figure | Grouped | Plain pass "
         "| Grouped / plain | Per-figure / grouped | Same texts | orvalis-report peak |\n";
    s << "|:---|:---|---:|:---|---:|---:|---:|---:|---:|---:|---:|:---|---:|\n";
    for (const BenchResult &r : results) {
        const double grouped = BenchResult::median(r.grouped);
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
        s << "| " << engineName(r.onServer()) << " | " << r.shape.label() << " | " << groupedDigits(r.size) << " | "
          << indexLabel(r.index) << " | " << r.drill << " | " << r.rows << " | " << perFigure << " | "
          << duration(grouped) << " | " << duration(BenchResult::median(r.floor)) << " | "
          << overFloor(r.onServer(), r.grouped, r.groupedCpu, r.floor, r.floorCpu) << " | " << speedUp << " | "
          << same << " | " << QStringLiteral("%1 MiB").arg(double(r.reportPeakKiB) / 1024.0, 0, 'f', 1) << " |\n";
    }
    return out;
}

QString Benchmark::trends(const QVector<TrendResult> &results)
{
    QString out;
    QTextStream s(&out);
    s << "| Engine | Organisation | Fact rows | Index | Months | Trend, one pass | 13 tables one by one "
         "| Plain pass over the 13 months | Trend / plain | Same totals |\n";
    s << "|:---|:---|---:|:---|:---|---:|---:|---:|---:|:---|\n";
    for (const TrendResult &r : results) {
        s << "| " << engineName(r.onServer()) << " | " << r.shape.label() << " | " << groupedDigits(r.size) << " | "
          << indexLabel(r.index) << " | " << r.months << " | " << duration(BenchResult::median(r.trend)) << " | "
          << duration(r.oneByOne) << " | " << duration(BenchResult::median(r.floor)) << " | "
          << overFloor(r.onServer(), r.trend, r.trendCpu, r.floor, r.floorCpu) << " | "
          << (r.sameTotals ? "yes" : "**no**") << " |\n";
    }
    return out;
}

QString Benchmark::comparisons(const QVector<ComparisonResult> &results)
{
    QString out;
    QTextStream s(&out);
    s << "| Engine | Organisation | Fact rows | Index | Periods | Months read | Level rows compared "
         "| Plain pass over those months | Compared / plain | Compared after the plain view | Plain view shown again "
         "| Same totals |\n";
    s << "|:---|:---|---:|:---|:---|---:|---:|---:|---:|---:|---:|:---|\n";
    for (const ComparisonResult &r : results) {
        s << "| " << engineName(r.onServer()) << " | " << r.shape.label() << " | " << groupedDigits(r.size) << " | "
          << indexLabel(r.index) << " | " << r.what << " | " << r.months << " | "
          << duration(BenchResult::median(r.compared)) << " | " << duration(BenchResult::median(r.floor)) << " | "
          << overFloor(r.onServer(), r.compared, r.comparedCpu, r.floor, r.floorCpu) << " | "
          << duration(BenchResult::median(r.afterPlain)) << " | " << duration(BenchResult::median(r.shownAgain))
          << " | " << (r.sameTotals ? "yes" : "**no**") << " |\n";
    }
    return out;
}

QString Benchmark::sideBySide(const QVector<BenchResult> &results)
{
    QString out;
    QTextStream s(&out);
    for (const BenchResult &server : results) {
        if (!server.onServer() || !server.sameAsSqlite.has_value())
            continue;
        const auto file = std::find_if(results.cbegin(), results.cend(), [&server](const BenchResult &r) {
            return !r.onServer() && r.size == server.size && r.shape.option() == server.shape.option()
                && r.index == server.index && r.drill == server.drill;
        });
        if (file == results.cend())
            continue;
        if (out.isEmpty()) {
            s << "| Organisation | Fact rows | Index | Drill | Rows | SQLite grouped | PostgreSQL grouped "
                 "| PostgreSQL / SQLite | SQLite plain pass | PostgreSQL plain pass "
                 "| orvalis-report peak, SQLite / PostgreSQL | Same table |\n";
            s << "|:---|---:|:---|---:|---:|---:|---:|---:|---:|---:|---:|:---|\n";
        }
        const double fileGrouped = BenchResult::median(file->grouped);
        const double serverGrouped = BenchResult::median(server.grouped);
        s << "| " << server.shape.label() << " | " << groupedDigits(server.size) << " | " << indexLabel(server.index)
          << " | " << server.drill << " | " << server.rows << " | " << duration(fileGrouped) << " | "
          << duration(serverGrouped) << " | " << ratio(serverGrouped / fileGrouped) << " | "
          << duration(BenchResult::median(file->floor)) << " | " << duration(BenchResult::median(server.floor)) << " | "
          << QStringLiteral("%1 / %2 MiB")
                 .arg(double(file->reportPeakKiB) / 1024.0, 0, 'f', 1)
                 .arg(double(server.reportPeakKiB) / 1024.0, 0, 'f', 1)
          << " | " << (*server.sameAsSqlite ? "yes" : "**no**") << " |\n";
    }
    return out;
}

QString Benchmark::tsv(const BenchResults &results)
{
    // New columns go at the end: scripts read them by position. A trend is
    // a line of its own, drill "trend", its thirteen months one by one in
    // the last column.
    QString out = QStringLiteral("rows\tindexed\tdrill\ttable_rows\tmonth\tper_figure_s\tper_figure_runs\t"
                                 "per_figure_estimate_s\tgrouped_s\tplain_s\treport_peak_kib\treport_s\tsame_texts\t"
                                 "per_figure_cpu_s\tgrouped_cpu_s\tplain_cpu_s\tengine\tsame_as_sqlite\tshape\t"
                                 "index_order\tone_by_one_s\n");
    auto number = [](double v) { return QString::number(v, 'g', 6); };
    for (const BenchResult &r : results.cases) {
        const QStringList fields{
            QString::number(r.size),
            r.indexed() ? QStringLiteral("1") : QStringLiteral("0"),
            QString::number(r.drill),
            QString::number(r.rows),
            r.month,
            r.perFigure.isEmpty() ? QString() : number(BenchResult::median(r.perFigure)),
            QString::number(r.perFigure.size()),
            number(r.perFigureEstimate),
            number(BenchResult::median(r.grouped)),
            number(BenchResult::median(r.floor)),
            QString::number(r.reportPeakKiB),
            QString::number(r.reportSeconds, 'g', 4),
            r.perFigure.isEmpty() ? QString() : r.sameTexts ? QStringLiteral("1") : QStringLiteral("0"),
            r.perFigure.isEmpty() ? QString() : number(BenchResult::median(r.perFigureCpu)),
            number(BenchResult::median(r.groupedCpu)),
            number(BenchResult::median(r.floorCpu)),
            r.engine,
            !r.sameAsSqlite.has_value() ? QString() : *r.sameAsSqlite ? QStringLiteral("1") : QStringLiteral("0"),
            r.shape.option(),
            indexOrderName(r.index),
            QString(),
        };
        out += fields.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    for (const TrendResult &r : results.trends) {
        const QStringList fields{
            QString::number(r.size),
            r.indexed() ? QStringLiteral("1") : QStringLiteral("0"),
            QStringLiteral("trend"),
            QStringLiteral("13"),
            r.months,
            QString(),
            QStringLiteral("0"),
            QStringLiteral("0"),
            number(BenchResult::median(r.trend)),
            number(BenchResult::median(r.floor)),
            QStringLiteral("-1"),
            QStringLiteral("0"),
            r.sameTotals ? QStringLiteral("1") : QStringLiteral("0"),
            QString(),
            number(BenchResult::median(r.trendCpu)),
            number(BenchResult::median(r.floorCpu)),
            r.engine,
            QString(),
            r.shape.option(),
            indexOrderName(r.index),
            number(r.oneByOne),
        };
        out += fields.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return out;
}

QList<QPair<QString, QString>> Benchmark::engineStatements(int drill, const Cases &cases)
{
    const QString month =
        QStringLiteral("period_year = %1 AND period_month = %2").arg(cases.year).arg(cases.month);
    QStringList quoted;
    for (const QString &code : Schema::accountCodes())
        quoted << QLatin1Char('\'') + code + QLatin1Char('\'');
    const QString accounts = quoted.join(QStringLiteral(", "));
    // SUM alone; then with the least the groups' sums need to be put
    // together as one SUM over their rows gives it: the sum of the
    // magnitudes, which tells where the order of the additions could
    // matter (a running sum past 64 bits, or past the largest double;
    // infinities), figures then read with their own statement. The type of
    // SUM's result tells whether every value was an integer.
    const QString sum = QStringLiteral("SUM(valeur) AS somme");
    const QString exact = QStringLiteral("SUM(valeur) AS somme, TOTAL(ABS(valeur)) AS grandeur");
    QString where, keys, whatSum, whatExact;
    if (drill == 0) {
        where = month;
        keys = QStringLiteral("dim_agence, code_account");
        whatSum = QStringLiteral("by agency and account, SUM");
        whatExact = QStringLiteral("by agency and account, SUM and TOTAL(ABS)");
    } else if (drill == 1) {
        where = month + QStringLiteral(" AND dim_agence IN (SELECT agence FROM niveau_agence WHERE niveau = '%1')")
                            .arg(sqlEscape(cases.level));
        keys = QStringLiteral("dim_agence, code_account");
        whatSum = QStringLiteral("by agency and account, the level's agencies, SUM");
        whatExact = QStringLiteral("by agency and account, the level's agencies, SUM and TOTAL(ABS)");
    } else {
        where = month + QStringLiteral(" AND dim_agence = '%1' AND code_account IN (%2)")
                            .arg(sqlEscape(cases.agency), accounts);
        keys = QStringLiteral("dim_utilisateur, code_account");
        whatSum = QStringLiteral("by user and account of the agency, SUM");
        whatExact = QStringLiteral("by user and account of the agency, SUM and TOTAL(ABS)");
    }
    const QString statement = QStringLiteral("SELECT %1, %2 FROM data WHERE %3 GROUP BY %1");
    QList<QPair<QString, QString>> out{{whatSum, statement.arg(keys, sum, where)},
                                       {whatExact, statement.arg(keys, exact, where)}};
    if (drill == 0) {
        // The level rows summed by the engine itself, each level over its
        // agencies (each once), the six accounts only.
        out << qMakePair(QStringLiteral("by level and account through niveau_agence, SUM"),
                         QStringLiteral("SELECT l.niveau, d.code_account, SUM(d.valeur) AS somme "
                                        "FROM (SELECT DISTINCT niveau, agence FROM niveau_agence) AS l "
                                        "JOIN data AS d ON d.dim_agence = l.agence "
                                        "WHERE d.period_year = %1 AND d.period_month = %2 AND d.code_account IN (%3) "
                                        "GROUP BY l.niveau, d.code_account")
                             .arg(cases.year)
                             .arg(cases.month)
                             .arg(accounts));
    }
    return out;
}

void Benchmark::timeEngineStatements(TABSDatabase &db, const Cases &cases, BenchResult &result)
{
    const QList<QPair<QString, QString>> statements = engineStatements(result.drill, cases);
    if (result.engineGroupBy.isEmpty())
        for (const auto &[what, sql] : statements)
            result.engineGroupBy << BenchResult::EngineTiming{what, {}, {}, 0};
    for (int i = 0; i < statements.size(); ++i) {
        BenchResult::EngineTiming &timing = result.engineGroupBy[i];
        // Every row read, as the program would read them.
        const Stopwatch watch;
        TABSQuery query(&db);
        query.SetDatabaseName(db.DatabaseName());
        query.SQL().append(statements.at(i).second);
        query.Open();
        int rows = 0;
        for (; !query.Eof(); query.Next())
            ++rows;
        query.Close();
        const Timing elapsed = watch.elapsed();
        timing.wall << elapsed.wall;
        timing.cpu << elapsed.cpu;
        timing.rows = rows;
    }
}

QString Benchmark::engineGroupByTable(const QVector<BenchResult> &results)
{
    QString out;
    QTextStream s(&out);
    for (const BenchResult &r : results) {
        if (r.engineGroupBy.isEmpty())
            continue;
        if (out.isEmpty()) {
            s << "| Index | Organisation | Fact rows | Drill | Statement | Result rows | Time | Plain pass "
                 "| Statement / plain | Grouped path / plain |\n";
            s << "|:---|:---|---:|---:|:---|---:|---:|---:|---:|---:|\n";
        }
        const QString groupedRatio = overFloor(false, r.grouped, r.groupedCpu, r.floor, r.floorCpu);
        for (const BenchResult::EngineTiming &t : r.engineGroupBy)
            s << "| " << indexLabel(r.index) << " | " << r.shape.label() << " | " << groupedDigits(r.size) << " | "
              << r.drill << " | " << t.what << " | " << t.rows << " | " << duration(BenchResult::median(t.wall))
              << " | " << duration(BenchResult::median(r.floor)) << " | "
              << overFloor(false, t.wall, t.cpu, r.floor, r.floorCpu) << " | " << groupedRatio << " |\n";
    }
    return out;
}

QString indexOrderName(IndexOrder index)
{
    switch (index) {
    case IndexOrder::None:
        return QStringLiteral("none");
    case IndexOrder::AgencyFirst:
        return QStringLiteral("agency");
    case IndexOrder::AccountFirst:
        return QStringLiteral("account");
    }
    return {};
}

std::optional<IndexOrder> indexOrderNamed(const QString &name)
{
    for (IndexOrder index : {IndexOrder::None, IndexOrder::AgencyFirst, IndexOrder::AccountFirst})
        if (indexOrderName(index) == name)
            return index;
    return std::nullopt;
}

std::optional<BenchShape> BenchShape::parse(const QString &text)
{
    BenchShape shape;
    if (text == QLatin1String("sample"))
        return shape;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = part.section(QLatin1Char('='), 0, 0).trimmed();
        bool ok = false;
        const int value = part.section(QLatin1Char('='), 1).trimmed().toInt(&ok);
        const auto count = std::find_if(std::begin(sampleCounts), std::end(sampleCounts),
                                        [&name](const SampleCount &c) { return name == QLatin1String(c.name); });
        if (count == std::end(sampleCounts) || !ok || value < count->minimum || value > count->maximum)
            return std::nullopt;
        shape.shape.*(count->field) = value;
    }
    if (!shape.shape.numbered())
        return std::nullopt;
    return shape;
}

QString BenchShape::option() const
{
    if (isSample())
        return QStringLiteral("sample");
    // orvalis-sample's arguments, as --shape writes them.
    QStringList parts;
    const QStringList arguments = sampleArguments();
    for (int i = 0; i + 1 < arguments.size(); i += 2)
        parts << arguments.at(i).mid(2) + QLatin1Char('=') + arguments.at(i + 1);
    return parts.join(QLatin1Char(','));
}

QString BenchShape::label() const
{
    if (isSample())
        return QStringLiteral("sample");
    // The counts not given are the sample's own.
    QStringList parts;
    if (shape.levels > 0)
        parts << QStringLiteral("%1 levels").arg(shape.levels);
    if (shape.agencies > 0)
        parts << QStringLiteral("%1 agencies").arg(shape.agencies);
    if (shape.users > 0)
        parts << QStringLiteral("%1 users").arg(shape.users);
    if (shape.suppliers > 0)
        parts << QStringLiteral("%1 suppliers").arg(shape.suppliers);
    parts << QStringLiteral("%1 accounts").arg(Schema::accountCodes().size() + shape.extraAccounts);
    return parts.join(QStringLiteral(", "));
}

QString BenchShape::key() const
{
    if (isSample())
        return QString();
    return QStringLiteral("l%1-a%2-u%3-s%4-x%5")
        .arg(shape.levels)
        .arg(shape.agencies)
        .arg(shape.users)
        .arg(shape.suppliers)
        .arg(shape.extraAccounts);
}

QStringList BenchShape::sampleArguments() const
{
    if (isSample())
        return {};
    QStringList out;
    for (const SampleCount &count : sampleCounts)
        if (shape.*(count.field) > 0 || count.field == &SampleShape::extraAccounts)
            out << QStringLiteral("--%1").arg(QLatin1String(count.name)) << QString::number(shape.*(count.field));
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

int Benchmark::runMeasured(char *argv[])
{
    // Forked rather than spawned: a spawned child shares this process's
    // memory until it starts the program, and is counted with all of it; a
    // forked one only with what this process has written to.
    unsetenv(MeasuredRun);
    const pid_t pid = fork();
    if (pid < 0)
        return ToolExit::Failure;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return ToolExit::Failure;
    std::printf("%d %ld\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss);
    return std::fflush(stdout) == 0 ? ToolExit::Success : ToolExit::Failure;
}
