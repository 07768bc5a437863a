#include "tools/common/samplegenerator.h"
#include "store/schema.h"
#include "store/tabsdatabase.h"
#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <memory>

namespace {

const QDate lastMonth(2024, 3, 1);

SampleOptions options(const QString &path, qint64 rows, quint32 seed = 1, const QDate &last = lastMonth)
{
    SampleOptions o;
    o.path = path;
    o.rows = rows;
    o.seed = seed;
    o.lastMonth = last;
    return o;
}

// Reads a sample through the program's own database layer.
class Sample
{
public:
    explicit Sample(const QString &path) { m_db.SetDatabaseFileName(path); }

    QList<QVariantList> rows(const QString &sql) { return queryRows(m_db.connection(), sql); }
    QVariant scalar(const QString &sql) { return rows(sql).value(0).value(0); }
    qint64 count(const QString &sql) { return scalar(sql).toLongLong(); }

    QStringList column(const QString &sql)
    {
        QStringList out;
        for (const QVariantList &row : rows(sql))
            out << row.value(0).toString();
        return out;
    }

    // Everything the six tables hold, in the order it was written.
    QByteArray digest()
    {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        for (const char *table : {"data", "dim_utilisateur", "dim_agence", "dim_fournisseur", "dim_niveau",
                                     "niveau_agence"}) {
            for (const QVariantList &row : rows(QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(table, rowOrder()))) {
                for (const QVariant &value : row)
                    hash.addData(value.toString().toUtf8().append('\t'));
                hash.addData("\n");
            }
        }
        return hash.result();
    }

private:
    // The order rows were written in: SQLite's rowid, the tuple's place
    // on a server (COPY appends).
    static QString rowOrder() { return TestDatabase::onServer() ? QStringLiteral("ctid") : QStringLiteral("rowid"); }

    TABSDatabase m_db;
};

// The number of rows of an account in a GROUP BY.
QString rowsOf(const char *account)
{
    return QStringLiteral("sum(CASE WHEN code_account = '%1' THEN 1 ELSE 0 END)").arg(QLatin1String(account));
}

// What a run says: the message of its database error, after Exists when
// it refuses a file or tables that are there; an empty text when it runs
// through.
const QString Exists = QStringLiteral("(existe) ");
QString failure(const SampleOptions &o)
{
    try {
        SampleGenerator(o).run();
    } catch (const ESampleFileExists &e) {
        return Exists + e.message();
    } catch (const EDatabaseError &e) {
        return e.message();
    }
    return QString();
}

} // namespace

Q_DECLARE_METATYPE(SampleShape)

class TestSample : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_shared.reset(); }

    void rowCountIsExact_data();
    void rowCountIsExact();
    void seedDecidesContent_data();
    void seedDecidesContent();

    void serverTablesReplacedOnlyWhenForced();
    void failedReplacementKeepsServerTables();
    void unusableServerTargets_data();
    void unusableServerTargets();
    void staleJournalIsDropped_data();
    void staleJournalIsDropped();
    void unusableTargets_data();
    void unusableTargets();

    void sharedSample_data();
    void sharedSample();
    void factsSpanTwentyFourMonths_data();
    void factsSpanTwentyFourMonths();
    void numberedOrganisation_data();
    void numberedOrganisation();
    void indexAndStatistics();

    void commandLine_data();
    void commandLine();

private:
    std::unique_ptr<TestDatabase> m_shared;
    QString m_path; // one sample shared by the read-only checks
};

void TestSample::initTestCase()
{
    // An empty database: a file yet to be created, or an empty database of
    // the server.
    m_shared = std::make_unique<TestDatabase>(TestDatabase::NoTables);
    m_path = m_shared->path();
    const SampleSummary summary = SampleGenerator(options(m_path, 6000, 11)).run();
    QCOMPARE(summary.facts, 6000);
    QCOMPARE(summary.firstMonth, QDate(2022, 4, 1));
}

void TestSample::rowCountIsExact_data()
{
    QTest::addColumn<qint64>("rows");
    // Small counts end inside the first quote: the rest is written as
    // other rows, never as half a quote.
    for (qint64 rows : {0, 1, 3, 4, 5, 9, 1000, 4321})
        QTest::addRow("%lld", static_cast<long long>(rows)) << rows;
}

void TestSample::rowCountIsExact()
{
    QFETCH(qint64, rows);
    const TestDatabase target(TestDatabase::NoTables);
    const QString path = target.path();
    QCOMPARE(SampleGenerator(options(path, rows)).run().facts, rows);

    Sample sample(path);
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM data")), rows);
    // Every quote file has its amount, tax, margin and count, once each.
    QCOMPARE(sample.count(QStringLiteral(
                 "SELECT count(*) FROM (SELECT dim_dossier, %1 AS ht, %2 AS tva, %3 AS marge, %4 AS nb "
                 "FROM data GROUP BY dim_dossier) AS q WHERE NOT (ht = tva AND tva = marge AND marge = nb AND nb <= 1)")
                 .arg(rowsOf("MONTANT_DEVIS_VENTE_HT"), rowsOf("MONTANT_DEVIS_TVA"), rowsOf("MARGE_DEVIS_VENTE_HT"),
                      rowsOf("NB_DOSSIERS_TRAITES"))),
             0);
}

void TestSample::seedDecidesContent_data()
{
    QTest::addColumn<quint32>("first");
    QTest::addColumn<quint32>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("same seed") << 5u << 5u << true;
    QTest::newRow("next seed") << 5u << 6u << false;
    QTest::newRow("largest seed") << 0u << 4294967295u << false;
}

void TestSample::seedDecidesContent()
{
    QFETCH(quint32, first);
    QFETCH(quint32, second);
    QFETCH(bool, same);
    const TestDatabase a(TestDatabase::NoTables), b(TestDatabase::NoTables);
    SampleGenerator(options(a.path(), 2000, first)).run();
    SampleGenerator(options(b.path(), 2000, second)).run();
    QCOMPARE(Sample(a.path()).digest() == Sample(b.path()).digest(), same);
}

void TestSample::staleJournalIsDropped_data()
{
    QTest::addColumn<bool>("keepOldFile");
    QTest::newRow("old file replaced") << true;
    QTest::newRow("old file gone, journal left") << false;
}

void TestSample::staleJournalIsDropped()
{
    SKIP_ON_SERVER("SQLite's journal");
    QFETCH(bool, keepOldFile);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ancienne.db"));

    // The old file is a copy of a database taken in the middle of a write,
    // with the journal that would undo it: the state a crash leaves.
    const QString live = dir.filePath(QStringLiteral("live.db"));
    SampleGenerator(options(live, 3000)).run();
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open_v2(QFile::encodeName(live).constData(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    const auto run = [db](const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); };
    QCOMPARE(run("PRAGMA cache_size = 2"), SQLITE_OK);
    QCOMPARE(run("BEGIN"), SQLITE_OK);
    QCOMPARE(run("UPDATE data SET dim_dossier = dim_dossier || '-modifié'"), SQLITE_OK);
    if (keepOldFile)
        QVERIFY(QFile::copy(live, path));
    QVERIFY(QFile::copy(live + QStringLiteral("-journal"), path + QStringLiteral("-journal")));
    run("ROLLBACK");
    sqlite3_close(db);

    SampleOptions o = options(path, 777);
    o.force = keepOldFile;
    QCOMPARE(SampleGenerator(o).run().facts, 777);
    QVERIFY(!QFile::exists(path + QStringLiteral("-journal")));

    Sample sample(path);
    QCOMPARE(sample.scalar(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM data")), 777);
}

void TestSample::unusableTargets_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("force");
    QTest::newRow("missing folder") << "absent/s.db" << false;
    QTest::newRow("folder, forced") << "dossier" << true;
    QTest::newRow("no file name") << "" << true;
}

void TestSample::unusableTargets()
{
    SKIP_ON_SERVER("file paths; see unusableServerTargets");
    QFETCH(QString, target);
    QFETCH(bool, force);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dossier")));
    SampleOptions o = options(target.isEmpty() ? QString() : dir.filePath(target), 100);
    o.force = force;

    const QString error = failure(o);
    QVERIFY2(!error.isEmpty() && !error.startsWith(Exists) && error.contains(o.path), qPrintable(error));
    // The folder is still there and nothing was added.
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("dossier"))).isDir());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"dossier"});
}

void TestSample::serverTablesReplacedOnlyWhenForced()
{
    SKIP_ON_FILE("the tables of a server's database");
    TestDatabase target;
    target.addLevel(QStringLiteral("U1"), QStringLiteral("Niveau à garder"));

    const QString error = failure(options(target.path(), 100));
    QVERIFY2(error.startsWith(Exists) && error.contains(target.path())
                 && error.contains("(data, dim_agence, dim_fournisseur, dim_niveau, dim_utilisateur, niveau_agence)"),
             qPrintable(error));
    QCOMPARE(target.rows(QStringLiteral("SELECT code, libelle FROM dim_niveau")),
             (QList<QVariantList>{{QStringLiteral("U1"), QStringLiteral("Niveau à garder")}}));

    // One table is enough to refuse; --force drops and creates all six.
    target.exec(QStringLiteral("DROP TABLE data"));
    QVERIFY(failure(options(target.path(), 100)).startsWith(Exists));
    QVERIFY(!target.tableExists(QStringLiteral("data")));
    SampleOptions forced = options(target.path(), 100);
    forced.force = true;
    QCOMPARE(SampleGenerator(forced).run().facts, 100);
    Sample sample(target.path());
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM data")), 100);
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM dim_niveau WHERE libelle = 'Niveau à garder'")), 0);
}

void TestSample::failedReplacementKeepsServerTables()
{
    SKIP_ON_FILE("the tables of a server's database");
    // A view of the administrator's depends on the fact table: the server
    // refuses to drop it, and the whole replacement is undone.
    TestDatabase target;
    target.addLevel(QStringLiteral("U1"), QStringLiteral("Niveau à garder"));
    target.exec(QStringLiteral("CREATE VIEW ventes AS SELECT * FROM data"));
    SampleOptions forced = options(target.path(), 500);
    forced.force = true;
    const QString error = failure(forced);
    QVERIFY2(!error.startsWith(Exists) && error.contains(QStringLiteral("ventes")), qPrintable(error));
    QCOMPARE(target.rows(QStringLiteral("SELECT code, libelle FROM dim_niveau")),
             (QList<QVariantList>{{QStringLiteral("U1"), QStringLiteral("Niveau à garder")}}));
    QCOMPARE(target.scalar(QStringLiteral("SELECT count(*) FROM ventes")).toInt(), 0);
}

void TestSample::unusableServerTargets_data()
{
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing database") << "orvalis_absente" << "" << "orvalis_absente\" does not exist";
    QTest::newRow("password in the address") << "" << "secret" << "ne doit pas contenir de mot de passe";
}

void TestSample::unusableServerTargets()
{
    SKIP_ON_FILE("server addresses");
    QFETCH(QString, database);
    QFETCH(QString, password);
    QFETCH(QString, expected);
    TestDatabase existing(TestDatabase::NoTables);
    QString uri = database.isEmpty() ? existing.path() : TestDatabase::serverUri(database);
    if (!password.isEmpty())
        uri.replace(QStringLiteral("@"), QLatin1Char(':') + password + QLatin1Char('@'));
    const QString error = failure(options(uri, 100));
    QVERIFY2(!error.startsWith(Exists) && error.contains(expected), qPrintable(error));
    QVERIFY(password.isEmpty() || !error.contains(password));
    QVERIFY(!existing.tableExists(QStringLiteral("data")));
}

void TestSample::numberedOrganisation_data()
{
    QTest::addColumn<SampleShape>("shape");
    QTest::addColumn<QList<int>>("counts"); // levels, agencies, users, suppliers
    QTest::newRow("40 levels, 400 agencies, 2 accounts more")
        << SampleShape{.levels = 40, .agencies = 400, .users = 900, .suppliers = 300, .extraAccounts = 2}
        << QList<int>{40, 400, 900, 300};
    QTest::newRow("7 agencies, the rest as the sample, no account more")
        << SampleShape{.agencies = 7, .extraAccounts = 0} << QList<int>{12, 7, 320, 36};
    // Fewer users than levels: each level still has its user.
    const SampleShape few{.levels = 5, .users = 3, .extraAccounts = 6};
    QTest::newRow("more levels than users, 6 accounts more") << few << QList<int>{5, 82, 5, 36};
}

// An organisation of a given size: the counts asked for, the accounts the
// table reads and as many others as asked, levels held by their users,
// agencies in one level, some in two, a few in none.
void TestSample::numberedOrganisation()
{
    QFETCH(SampleShape, shape);
    QFETCH(QList<int>, counts);
    const TestDatabase target(TestDatabase::NoTables);
    SampleOptions o = options(target.path(), 20000, 3);
    o.shape = shape;
    const SampleSummary summary = SampleGenerator(o).run();
    QCOMPARE((QList<int>{summary.levels, summary.agencies, summary.users, summary.suppliers}), counts);

    Sample sample(target.path());
    int i = 0;
    for (const char *table : {"dim_niveau", "dim_agence", "dim_utilisateur", "dim_fournisseur"})
        QCOMPARE(sample.count(QStringLiteral("SELECT count(DISTINCT code) FROM %1").arg(QLatin1String(table))),
                 qint64(counts.at(i++)));
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM data")), 20000);
    // Numbered labels read as they are written: "Agence n°00001".
    if (shape.agencies > 0)
        QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM dim_agence WHERE libelle LIKE 'Agence n°0%'")),
                 qint64(counts.at(1)));
    QStringList accounts = Schema::accountCodes() + SampleGenerator::extraAccounts(shape.extraAccounts);
    std::sort(accounts.begin(), accounts.end());
    QCOMPARE(sample.column(QStringLiteral("SELECT DISTINCT code_account FROM data ORDER BY code_account")), accounts);
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM dim_niveau WHERE code NOT IN "
                                         "(SELECT code FROM dim_utilisateur)")),
             0);
    const qint64 linked = sample.count(QStringLiteral("SELECT count(DISTINCT agence) FROM niveau_agence"));
    QVERIFY2(linked < counts.at(1) || counts.at(1) < 50, qPrintable(QString::number(linked)));
    QVERIFY(linked >= counts.at(1) * 9 / 10);
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM (SELECT agence FROM niveau_agence GROUP BY agence "
                                         "HAVING count(*) > 2) AS trop")),
             0);
    // The facts use the dimensions, and every month has some.
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM data WHERE dim_agence NOT IN (SELECT code FROM dim_agence) "
                                         "OR dim_utilisateur NOT IN (SELECT code FROM dim_utilisateur) "
                                         "OR dim_fournisseur NOT IN (SELECT code FROM dim_fournisseur)")),
             0);
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM (SELECT DISTINCT period_year, period_month FROM data) AS m")),
             qint64(SampleGenerator::Months));
}

void TestSample::factsSpanTwentyFourMonths_data()
{
    QTest::addColumn<QDate>("last");
    QTest::addColumn<QDate>("first");
    QTest::newRow("March") << QDate(2024, 3, 1) << QDate(2022, 4, 1);
    QTest::newRow("January") << QDate(2025, 1, 1) << QDate(2023, 2, 1);
    QTest::newRow("December") << QDate(2023, 12, 1) << QDate(2022, 1, 1);
    QTest::newRow("mid-month date") << QDate(2026, 7, 19) << QDate(2024, 8, 1);
}

void TestSample::factsSpanTwentyFourMonths()
{
    QFETCH(QDate, last);
    QFETCH(QDate, first);
    const TestDatabase target(TestDatabase::NoTables);
    const QString path = target.path();
    SampleGenerator(options(path, 500, 3, last)).run();

    Sample sample(path);
    const QStringList months = sample.column(QStringLiteral(
        "SELECT DISTINCT period_year * 100 + period_month AS mois FROM data ORDER BY mois"));
    QCOMPARE(months.size(), 24);
    QCOMPARE(months.first().toInt(), first.year() * 100 + first.month());
    QCOMPARE(months.last().toInt(), last.year() * 100 + last.month());
    QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM data WHERE period_month NOT BETWEEN 1 AND 12")), 0);
}

void TestSample::sharedSample_data()
{
    // A count over the shared sample: none, or at least one.
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("some");
    QTest::newRow("agency in two levels") << "SELECT count(*) FROM (SELECT agence FROM niveau_agence GROUP BY agence "
                                             "HAVING count(*) = 2) AS partagees" << true;
    QTest::newRow("agency in none") << "SELECT count(*) FROM dim_agence WHERE code NOT IN (SELECT agence FROM niveau_agence)"
                                    << true;
    QTest::newRow("level with no agency") << "SELECT count(*) FROM dim_niveau WHERE code NOT IN (SELECT niveau FROM "
                                             "niveau_agence)" << true;
    QTest::newRow("link to nothing") << "SELECT count(*) FROM niveau_agence WHERE niveau NOT IN (SELECT code FROM "
                                        "dim_niveau) OR agence NOT IN (SELECT code FROM dim_agence)" << false;
    QTest::newRow("link twice") << "SELECT count(*) - (SELECT count(*) FROM (SELECT DISTINCT niveau, agence FROM "
                                   "niveau_agence) AS liens) FROM niveau_agence" << false;
    // A level code that must be quoted in statements, for the program to handle.
    QTest::newRow("level code with a quote") << "SELECT count(*) FROM dim_niveau WHERE code LIKE '%''%'" << true;
    QTest::newRow("fact outside the dimensions")
        << "SELECT count(*) FROM data WHERE dim_agence NOT IN (SELECT code FROM dim_agence) OR dim_utilisateur NOT IN "
           "(SELECT code FROM dim_utilisateur) OR dim_fournisseur NOT IN (SELECT code FROM dim_fournisseur) OR "
           "dim_dossier IS NULL OR dim_dossier = ''" << false;
    // Labels with quotes and accents, so that the demonstration reads them
    // through every statement; each code once.
    for (const char *table : {"dim_agence", "dim_utilisateur", "dim_fournisseur", "dim_niveau"}) {
        QTest::addRow("%s: code twice", table) << QStringLiteral("SELECT count(*) - count(DISTINCT code) FROM %1").arg(table)
                                               << false;
        QTest::addRow("%s: label with a quote", table)
            << QStringLiteral("SELECT count(*) FROM %1 WHERE libelle LIKE '%''%'").arg(table) << true;
    }
    QTest::newRow("agency label with an accent") << "SELECT count(*) FROM dim_agence WHERE libelle LIKE '%é%'" << true;
    // An account the table does not read, for it to leave out (the other
    // accounts are numberedOrganisation's).
    QTest::newRow("account the table leaves out")
        << QStringLiteral("SELECT count(*) FROM data WHERE code_account = '%1'").arg(SampleGenerator::ignoredAccount())
        << true;
}

void TestSample::sharedSample()
{
    QFETCH(QString, sql);
    QFETCH(bool, some);
    const qint64 count = Sample(m_path).count(sql);
    QVERIFY2(some ? count >= 1 : count == 0, qPrintable(QString::number(count)));
}

void TestSample::indexAndStatistics()
{
    Sample sample(m_path);
    if (TestDatabase::onServer()) {
        QCOMPARE(sample.column(QStringLiteral("SELECT indexdef FROM pg_indexes WHERE schemaname = current_schema()")),
                 QStringList{QStringLiteral("CREATE INDEX data_mois_compte ON public.data USING btree (period_year, "
                                            "period_month, dim_agence, code_account, dim_utilisateur, "
                                            "dim_fournisseur, valeur)")});
        QVERIFY(sample.count(QStringLiteral("SELECT count(*) FROM pg_stats WHERE tablename = 'data'")) >= 8);
        // Vacuumed, so that the figures are read from the index alone. (How
        // many pages the vacuum could mark visible depends on the other
        // transactions of the server, not on the sample.)
        QCOMPARE(sample.count(QStringLiteral("SELECT count(*) FROM pg_stat_user_tables WHERE relname = 'data' "
                                             "AND schemaname = current_schema() AND last_vacuum IS NOT NULL")),
                 1);
        return;
    }
    QCOMPARE(sample.column(QStringLiteral("SELECT sql FROM sqlite_master WHERE type = 'index'")),
             QStringList{Schema::recommendedIndex()});
    QVERIFY(sample.count(QStringLiteral("SELECT count(*) FROM sqlite_stat1 WHERE idx = 'data_mois_compte'")) == 1);
}

void TestSample::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("existing");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("rows"); // -1: the file is not a new sample

    const QStringList usual{"--rows", "300", "--seed", "4", "--last-month", "2024-06"};
    QTest::newRow("new file") << usual << false << 0 << qint64(300);
    QTest::newRow("existing file") << usual << true << 1 << qint64(-1);
    QTest::newRow("existing file, forced") << (QStringList{"--force"} + usual) << true << 0 << qint64(300);
    QTest::newRow("default count") << QStringList{"--last-month", "2024-06"} << false << 0 << qint64(200000);
    QTest::newRow("count not a number") << QStringList{"--rows", "beaucoup"} << false << 2 << qint64(-1);
    QTest::newRow("negative count") << QStringList{"--rows", "-5"} << false << 2 << qint64(-1);
    QTest::newRow("bad month") << QStringList{"--last-month", "2024-13"} << false << 2 << qint64(-1);
    QTest::newRow("bad seed") << QStringList{"--seed", "x"} << false << 2 << qint64(-1);
    QTest::newRow("unknown option") << QStringList{"--lignes", "5"} << false << 2 << qint64(-1);
    QTest::newRow("numbered organisation")
        << QStringList{"--rows", "500", "--levels", "3", "--agencies", "9", "--users", "20", "--suppliers", "2",
                       "--extra-accounts", "0"}
        << false << 0 << qint64(500);
    QTest::newRow("no agency") << QStringList{"--agencies", "0"} << false << 2 << qint64(-1);
    QTest::newRow("too many users") << QStringList{"--users", "70000"} << false << 2 << qint64(-1);
    QTest::newRow("negative account count") << QStringList{"--extra-accounts", "-1"} << false << 2 << qint64(-1);
}

void TestSample::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, existing);
    QFETCH(int, status);
    QFETCH(qint64, rows);
    // Something to keep: a file, or the tables of a server's database.
    const bool server = TestDatabase::onServer();
    TestDatabase target(server && existing ? TestDatabase::SixTables : TestDatabase::NoTables);
    const QString path = target.path();
    if (existing && server)
        target.addLevel(QStringLiteral("U1"), QStringLiteral("ancien contenu"));
    else if (existing)
        writeFile(path, "ancien contenu");
    const auto oldContent = [&] {
        return server ? target.scalar(QStringLiteral("SELECT libelle FROM dim_niveau")).toString().toUtf8()
                      : readFile(path);
    };
    const auto files = [&] { return QDir(target.folder()).entryList(QDir::Files | QDir::Hidden); };
    const QStringList filesBefore = files();

    QProcess tool;
    tool.start(QStringLiteral(ORVALIS_SAMPLE_TOOL), QStringList{path} + arguments);
    QVERIFY(tool.waitForFinished(120000));
    const QString out = QString::fromUtf8(tool.readAllStandardOutput());
    const QString err = QString::fromUtf8(tool.readAllStandardError());
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QVERIFY2(tool.exitCode() == status, qPrintable(out + err));

    if (status == 0) {
        QCOMPARE(out.count(QLatin1Char('\n')), 1);
        QVERIFY2(out.contains(path), qPrintable(out));
        QVERIFY(err.isEmpty());
        QCOMPARE(Sample(path).count(QStringLiteral("SELECT count(*) FROM data")), rows);
        return;
    }
    QVERIFY(out.isEmpty());
    QVERIFY(!err.trimmed().isEmpty());
    if (existing)
        QVERIFY2(err.contains(QLatin1String("--force")), qPrintable(err));
    else
        QVERIFY2(err.contains(QLatin1String("--help")), qPrintable(err));
    if (existing)
        QCOMPARE(oldContent(), QByteArray("ancien contenu"));
    if (server)
        QVERIFY(existing || !target.tableExists(QStringLiteral("data")));
    else
        QCOMPARE(files(), filesBefore); // nothing is left beside the file
}

QTEST_MAIN(TestSample)
#include "tst_sample.moc"
