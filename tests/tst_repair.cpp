#include "app/tficheprincipale.h"
#include "store/dberror.h"
#include "store/schema.h"
#include "store/sqlitehandle.h"
#include "store/tabsquery.h"
#include "support/reportdriver.h"
#include "support/testsupport.h"

#include <QDir>
#include <QPushButton>
#include <QSet>
#include <QtTest>

#include <optional>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif
#ifdef Q_OS_UNIX
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const QString Question = QStringLiteral("Attention, vous allez lancer la réparation de la base de données.\n"
                                        "Veuillez vérifier qu'il n'y ai plus d'utilisateurs connectés.\n\n"
                                        "Souhaitez-vous continuer ?");
const QString FailurePrefix = QStringLiteral("Erreur sur la réparation : ");
const QString Success = QStringLiteral("Réparation s'est terminée avec succès !");

const QStringList Tables{"data", "dim_utilisateur", "dim_agence", "dim_fournisseur", "dim_niveau", "niveau_agence"};

// Enough facts for the fact table to span many pages under an interior root.
constexpr int FactCount = 3000;
// With pages of this size, its b-tree has three levels.
constexpr int SmallPage = 512;

void fill(TestDatabase &db)
{
    for (int i = 1; i <= 3; ++i) {
        db.addUser(QStringLiteral("U%1").arg(i), QStringLiteral("Utilisateur %1").arg(i));
        db.addAgency(QStringLiteral("A%1").arg(i), QStringLiteral("Agence %1").arg(i));
        db.addLevel(QStringLiteral("N%1").arg(i), QStringLiteral("Secteur %1").arg(i));
        db.link(QStringLiteral("N%1").arg(i), QStringLiteral("A%1").arg(i));
    }
    db.addSupplier(QStringLiteral("F1"), QStringLiteral("Fournisseur 1"));
    db.addSupplier(QStringLiteral("F2"), QStringLiteral("Fournisseur 2"));
    const QStringList accounts = Schema::accountCodes();
    db.exec(QStringLiteral("BEGIN"));
    for (int i = 0; i < FactCount; ++i)
        db.addFact(accounts.at(i % accounts.size()), 2024, 1 + i % 12, i * 1.25 + 0.1,
                   QStringLiteral("A%1").arg(1 + i % 3), QStringLiteral("U%1").arg(1 + i % 3),
                   i % 2 ? QStringLiteral("F1") : QStringLiteral("F2"));
    db.exec(QStringLiteral("COMMIT"));
}

using Rows = QList<QVariantList>;

// Every row of every table with its place: SQLite's rowid, or the tuple
// identifier on a server (which a plain VACUUM does not move either).
QMap<QString, Rows> contents(TestDatabase &db)
{
    const QString sql = TestDatabase::onServer() ? QStringLiteral("SELECT ctid::text, * FROM %1 ORDER BY ctid")
                                                 : QStringLiteral("SELECT rowid, * FROM %1 ORDER BY rowid");
    QMap<QString, Rows> all;
    for (const QString &table : Tables)
        all[table] = db.rows(sql.arg(table));
    return all;
}

QStringList backupsIn(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("*.avant-reparation-*")}, QDir::Files);
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

// Reading the file format, on the test's side: big-endian integers, SQLite
// varints, b-tree pages and their cells.
quint32 bigEndian(const QByteArray &bytes, qint64 at, int size)
{
    quint32 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}

qint64 varint(const QByteArray &bytes, qint64 &at)
{
    quint64 value = 0;
    for (int i = 0; i < 9; ++i) {
        const quint8 byte = quint8(bytes.at(at++));
        if (i == 8)
            return qint64((value << 8) | byte);
        value = (value << 7) | (byte & 0x7f);
        if (!(byte & 0x80))
            break;
    }
    return qint64(value);
}

qint64 pageOffset(int page, int pageSize)
{
    return qint64(page - 1) * pageSize;
}

int cellCount(const QByteArray &file, int pageSize, int page)
{
    return int(bigEndian(file, pageOffset(page, pageSize) + 3, 2));
}

bool isInterior(const QByteArray &file, int pageSize, int page)
{
    const quint8 type = quint8(file.at(pageOffset(page, pageSize)));
    return type == 0x05 || type == 0x02;
}

qint64 cellAt(const QByteArray &file, int pageSize, int page, int index)
{
    const qint64 at = pageOffset(page, pageSize);
    return at + bigEndian(file, at + (isInterior(file, pageSize, page) ? 12 : 8) + 2 * index, 2);
}

// The children of an interior page, the right-most last.
QList<int> childrenOf(const QByteArray &file, int pageSize, int page)
{
    QList<int> children;
    for (int i = 0; i < cellCount(file, pageSize, page); ++i)
        children << int(bigEndian(file, cellAt(file, pageSize, page, i), 4));
    children << int(bigEndian(file, pageOffset(page, pageSize) + 8, 4));
    return children;
}

// The pages of a b-tree (not on page 1), by depth: the root first.
struct Tree
{
    QList<int> interiors;
    QList<int> leaves;
};

void walk(const QByteArray &file, int pageSize, int page, Tree &tree)
{
    if (!isInterior(file, pageSize, page)) {
        tree.leaves << page;
        return;
    }
    tree.interiors << page;
    for (const int child : childrenOf(file, pageSize, page))
        walk(file, pageSize, child, tree);
}

// The rowids of a table leaf, or of the entries of an index leaf (the last
// field of each record, an integer of at most two bytes here).
QSet<qint64> rowidsOn(const QByteArray &file, int pageSize, int page)
{
    const bool table = quint8(file.at(pageOffset(page, pageSize))) == 0x0d;
    QSet<qint64> rowids;
    for (int i = 0; i < cellCount(file, pageSize, page); ++i) {
        qint64 cell = cellAt(file, pageSize, page, i);
        const qint64 payload = varint(file, cell);
        if (table) {
            rowids << varint(file, cell);
            continue;
        }
        qint64 header = cell;
        const qint64 headerSize = varint(file, header);
        qint64 body = cell + headerSize, type = 0;
        while (header < cell + headerSize) {
            type = varint(file, header);
            if (header < cell + headerSize)
                body += type >= 12 ? (type - 12) / 2 : QList<int>{0, 1, 2, 3, 4, 6, 8, 8, 0, 0}.at(int(type));
        }
        Q_UNUSED(payload);
        rowids << (type == 1 ? qint64(qint8(file.at(body))) : type == 2 ? qint64(qint16(bigEndian(file, body, 2)))
                   : type == 8 ? 0 : type == 9 ? 1 : qint64(bigEndian(file, body, int(type == 3 ? 3 : 4))));
    }
    return rowids;
}

// The rowids of a table leaf whose records spill into an overflow page
// past `last`.
QSet<qint64> spillingPast(const QByteArray &file, int pageSize, int page, int last)
{
    const int usable = pageSize;
    const qint64 maxLocal = usable - 35, minLocal = (usable - 12) * 32 / 255 - 23;
    QSet<qint64> rowids;
    for (int i = 0; i < cellCount(file, pageSize, page); ++i) {
        qint64 cell = cellAt(file, pageSize, page, i);
        const qint64 payload = varint(file, cell);
        const qint64 rowid = varint(file, cell);
        if (payload <= maxLocal)
            continue;
        const qint64 k = minLocal + (payload - minLocal) % (usable - 4);
        int next = int(bigEndian(file, cell + (k <= maxLocal ? k : minLocal), 4));
        while (next != 0) {
            if (next > last)
                rowids << rowid;
            next = next > last ? 0 : int(bigEndian(file, pageOffset(next, pageSize), 4));
        }
    }
    return rowids;
}

// Damage as disks do it.
// Random bytes inside the cells of a page; its header and its cell
// pointers stay as they were.
void scrambleCells(QByteArray &file, int pageSize, int page, quint32 seed)
{
    QRandomGenerator random(seed);
    const qint64 at = pageOffset(page, pageSize);
    const qint64 content = at + bigEndian(file, at + 5, 2);
    for (qint64 i = content; i < at + pageSize; ++i) {
        if (random.bounded(6) == 0)
            file[i] = char(random.bounded(256));
    }
}

// The page header and the cell pointers overwritten with 0xFF bytes.
void wipeHeader(QByteArray &file, int pageSize, int page)
{
    const qint64 at = pageOffset(page, pageSize);
    const int cells = cellCount(file, pageSize, page);
    for (qint64 i = at + 1; i < at + 8 + 2 * cells; ++i)
        file[i] = char(0xff);
}

// The whole page overwritten with random bytes.
void overwritePage(QByteArray &file, int pageSize, int page, quint32 seed)
{
    QRandomGenerator random(seed);
    for (qint64 i = pageOffset(page, pageSize); i < pageOffset(page + 1, pageSize); ++i)
        file[i] = char(random.bounded(256));
}

// Damages the pages of the fact table as a disk does, as `damage` says;
// the rows of the damaged pages, as far as they are known, go to `hurt`.
void damageFacts(QByteArray &file, int pageSize, const QString &damage, int dataRoot, int indexRoot,
                 QSet<qint64> &hurt)
{
    Tree facts;
    walk(file, pageSize, dataRoot, facts);
    const int middleLeaf = facts.leaves.at(facts.leaves.size() / 2);
    const QByteArray whole = file;
    const auto is = [&damage](const char *kind) { return damage == QLatin1String(kind); };
    if (is("cells") || is("wal") || is("journal") || is("table and index")) {
        hurt = rowidsOn(file, pageSize, middleLeaf);
        scrambleCells(file, pageSize, middleLeaf, 7);
    } else if (is("leaf header") || is("last leaf header")) {
        const int leaf = is("leaf header") ? middleLeaf : facts.leaves.last();
        hurt = rowidsOn(file, pageSize, leaf);
        wipeHeader(file, pageSize, leaf);
    } else if (is("root")) {
        overwritePage(file, pageSize, dataRoot, 11);
    } else if (is("interior")) {
        const QList<int> children = childrenOf(file, pageSize, dataRoot);
        QVERIFY2(children.size() >= 3, "the fact table has three levels");
        const int interior = children.at((children.size() - 1) / 2);
        QVERIFY(isInterior(file, pageSize, interior));
        overwritePage(file, pageSize, interior, 11);
    } else if (is("truncated")) {
        QList<int> leaves = facts.leaves;
        std::sort(leaves.begin(), leaves.end());
        const int kept = leaves.at(leaves.size() * 3 / 4);
        file.truncate(qint64(kept) * pageSize + 100); // an interrupted copy stops inside a page
        for (const int leaf : std::as_const(facts.leaves))
            hurt += leaf > kept ? rowidsOn(whole, pageSize, leaf) : spillingPast(whole, pageSize, leaf, kept);
        QVERIFY(!hurt.isEmpty());
    } else if (is("header")) {
        QRandomGenerator random(5);
        for (int i = 0; i < 100; ++i)
            file[i] = char(random.bounded(256));
    }
    Tree index;
    if (is("index leaf") || is("table and index"))
        walk(file, pageSize, indexRoot, index);
    if (is("index leaf"))
        wipeHeader(file, pageSize, index.leaves.at(index.leaves.size() / 2));
    if (is("table and index")) {
        int hit = 0;
        for (const int leaf : std::as_const(index.leaves)) {
            if (rowidsOn(file, pageSize, leaf).intersects(hurt)) {
                scrambleCells(file, pageSize, leaf, 13 + leaf);
                ++hit;
            }
        }
        QVERIFY(hit > 0);
    }
}

using RowsById = QMap<qint64, QVariantList>;

QVariant valueOf(sqlite3_stmt *statement, int column)
{
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER: return qlonglong(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT: return sqlite3_column_double(statement, column);
    case SQLITE_TEXT:
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                                 sqlite3_column_bytes(statement, column));
    case SQLITE_BLOB:
        return QByteArray(static_cast<const char *>(sqlite3_column_blob(statement, column)),
                          sqlite3_column_bytes(statement, column));
    default: return QVariant();
    }
}

// Every row of every table by rowid, read through a connection that never
// brings a log into the file.
QMap<QString, RowsById> fileContents(const QString &path)
{
    SqliteConnection db(path, SQLITE_OPEN_READWRITE, QStringLiteral("lecture"));
    sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    QMap<QString, RowsById> all;
    for (const QString &table : Tables) {
        SqliteStatement read(db, QStringLiteral("SELECT rowid, * FROM %1").arg(table), QStringLiteral("lecture"));
        RowsById &rows = all[table];
        while (read.step() == SQLITE_ROW) {
            QVariantList row;
            for (int i = 1; i < sqlite3_column_count(read.handle()); ++i)
                row << valueOf(read.handle(), i);
            rows.insert(read.int64(0), row);
        }
    }
    return all;
}

// Facts committed to the log and never brought into the file.
void addFactsToTheLog(const QString &path)
{
    SqliteConnection writer(path, SQLITE_OPEN_READWRITE, QStringLiteral("écriture"));
    writer.exec(QStringLiteral("PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0; "
                               "INSERT INTO data SELECT code_account, period_year, period_month, valeur + 1, "
                               "dim_agence, dim_utilisateur, dim_fournisseur, 'LOG' FROM data WHERE rowid <= 300"),
                QStringLiteral("écriture"));
    sqlite3_db_config(writer.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

#ifdef Q_OS_UNIX
// A writer dies in the middle of a transaction whose pages already went to
// the file: its journal is left behind, hot.
void leaveHotJournal(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const pid_t child = fork();
    if (child == 0) {
        sqlite3 *writer = nullptr;
        sqlite3_open_v2(name.constData(), &writer, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(writer,
                     "PRAGMA cache_size = 5; BEGIN; INSERT INTO data SELECT 'X', 2024, 1, 1.0, 'A1', 'U1', 'F1', "
                     "'J' FROM (WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 3000) "
                     "SELECT n FROM c)",
                     nullptr, nullptr, nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}
#endif

// The bytes of a database file and of its journal files, as SQLite finds
// them beside each other.
QByteArrayList fileSet(const QString &path)
{
    return {readFile(path), readFile(path + QStringLiteral("-wal")), readFile(path + QStringLiteral("-journal"))};
}

#ifdef ORVALIS_REPAIR_TOOL
// orvalis-repair; `killAt` names the stage where it is killed.
ToolRun runRepairTool(const QStringList &arguments, const QString &killAt = QString())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!killAt.isEmpty())
        environment.insert(QStringLiteral("ORVALIS_REPAIR_KILL_AT"), killAt);
    return runProgram(QStringLiteral(ORVALIS_REPAIR_TOOL), arguments, {}, QString(), environment);
}
#endif

// A file database with small pages, so that a few thousand facts make a
// fact table of three levels; each fact has its own case code.
void fillSmallPages(TestDatabase &db, bool indexed)
{
    db.exec(QStringLiteral("PRAGMA page_size = %1").arg(SmallPage));
    for (const QString &sql : Schema::createTables())
        db.exec(sql);
    fill(db);
    // Some case codes are long enough to spill into overflow pages.
    db.exec(QStringLiteral("UPDATE data SET dim_dossier = 'DOS-' || rowid || "
                           "CASE WHEN rowid % 97 = 0 THEN replace(hex(zeroblob(300)), '00', 'xy') ELSE '' END"));
    if (indexed)
        db.exec(Schema::recommendedIndex());
}

int rootOf(TestDatabase &db, const QString &name)
{
    return db.scalar(QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name = '%1'").arg(name)).toInt();
}

// The figures of the twelve months of the facts, as the tracking table
// shows them.
QByteArray figures(const QString &path)
{
    QByteArray all;
    for (int month = 1; month <= 12; ++month) {
        const ReportOutcome outcome =
            runReport({path, QStringLiteral("VEXOR"), QStringLiteral("--mois"), QStringLiteral("2024-%1").arg(month, 2, 10, QLatin1Char('0')),
                       QStringLiteral("--format"), QStringLiteral("tsv")});
        if (outcome.status != 0)
            return QByteArray("erreur : ") + outcome.err.toUtf8();
        all += outcome.out;
    }
    return all;
}

#ifdef Q_OS_LINUX
// A small file system of its own for the database's folder (root only).
class SmallDisk
{
public:
    SmallDisk(const QString &folder, qint64 bytes) : m_folder(folder)
    {
        const QByteArray options = "size=" + QByteArray::number(bytes);
        m_mounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, options.constData()) == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    QString m_folder;
    bool m_mounted = false;
};
#endif

// Hands every event of an object to a function.
class EventSpy : public QObject
{
public:
    EventSpy(QObject *target, std::function<void(QEvent *)> seen) : QObject(target), m_seen(std::move(seen))
    {
        target->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        m_seen(event);
        return false;
    }

private:
    std::function<void(QEvent *)> m_seen;
};

// The main window on a database file, shown so that its activation runs.
class MainWindow
{
public:
    explicit MainWindow(const QString &path, bool admin = true)
    {
        window.SetDatabasePath(path);
        window.SetAdmin(admin);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCoreApplication::processEvents();
    }

    QPushButton *repairButton() { return window.findChild<QPushButton *>(QStringLiteral("btnReparation")); }

    // Clicks the repair button, answering the question with `answer`.
    void repair(ScriptedMessages &messages, QMessageBox::StandardButton answer)
    {
        QPushButton *button = repairButton();
        QVERIFY(button);
        QTRY_VERIFY(button->isEnabled());
        messages.answerNext(answer);
        button->click();
        QCOMPARE(messages.unanswered(), 0);
        QVERIFY(!window.testAttribute(Qt::WA_SetCursor));
    }

    // The repair's last message, after the question.
    static QString report(const ScriptedMessages &messages)
    {
        [&] { QCOMPARE(messages.texts().size(), 2); }();
        return messages.texts().value(1);
    }

    qint64 countThroughProgram(const QString &table)
    {
        TABSQuery query(window.Database());
        query.SetDatabaseName(window.Database()->DatabaseName());
        query.SQL() << QStringLiteral("SELECT count(*) AS n FROM %1").arg(table);
        query.Open();
        const qint64 count = qint64(query.FieldByName(QStringLiteral("n")).AsFloat());
        query.Close();
        return count;
    }

    TFichePrincipale window;
};

} // namespace

class TestRepair : public QObject
{
    Q_OBJECT

private slots:
    void refusedRepairChangesNothing_data();
    void refusedRepairChangesNothing();
    void healthyFileIsRebuilt_data();
    void healthyFileIsRebuilt();
    void serverTablesAreMaintained();
    void serverRefusalIsReported_data();
    void serverRefusalIsReported();
    void damageIsRepaired_data();
    void damageIsRepaired();
    void rowsTheRebuiltFileRefusesKeepTheOriginal();
    void diskFaultsAreNamed_data();
    void diskFaultsAreNamed();
    void questionIsGoneBeforeTheWork();
    void notADatabaseIsLeftAlone_data();
    void notADatabaseIsLeftAlone();
    void killedRepairLeavesEitherFile_data();
    void killedRepairLeavesEitherFile();
    void toolSaysItByStatus_data();
    void toolSaysItByStatus();
};

void TestRepair::healthyFileIsRebuilt_data()
{
    QTest::addColumn<bool>("log");
    QTest::newRow("rollback journal") << false;
    // Committed pages still in the log when the program closed.
    QTest::newRow("log not brought in") << true;
}

void TestRepair::healthyFileIsRebuilt()
{
    SKIP_ON_SERVER("the file's rebuild; see serverTablesAreMaintained");
    QFETCH(bool, log);
    TestDatabase db;
    fill(db);
    // Free pages for the rebuild to give back.
    db.exec(QStringLiteral("DELETE FROM data WHERE rowid > 1000 AND rowid <= 2000"));
    QVERIFY(db.scalar(QStringLiteral("PRAGMA freelist_count")).toInt() > 0);
    db.closeConnection();
    if (log)
        addFactsToTheLog(db.path());
    const qint64 facts = FactCount - 1000 + (log ? 300 : 0);
    const QMap<QString, RowsById> before = fileContents(db.path());
    QCOMPARE(QFileInfo(db.path() + QStringLiteral("-wal")).size() > 0, log);
    // Shared with a group: the file that takes its place is too.
    const QFileDevice::Permissions shared = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
        | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::WriteGroup;
    QVERIFY(QFile::setPermissions(db.path(), shared));

    MainWindow main(db.path());
    QCOMPARE(main.countThroughProgram(QStringLiteral("data")), facts);
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::Yes);

    QCOMPARE(messages.texts(), (QStringList{Question, Success}));
    QCOMPARE(fileContents(db.path()), before);
    QCOMPARE(db.scalar(QStringLiteral("PRAGMA freelist_count")).toInt(), 0);
    QCOMPARE(db.scalar(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_stat1'")).toInt(), 1);
    // Every row was found again: the copy taken first is not kept.
    QCOMPARE(backupsIn(db.folder()), QStringList());
    QCOMPARE(QFile::permissions(db.path()), shared);
    QCOMPARE(main.countThroughProgram(QStringLiteral("data")), facts);
}

void TestRepair::serverTablesAreMaintained()
{
    SKIP_ON_FILE("the server's maintenance");
    TestDatabase db;
    fill(db);
    db.exec(QStringLiteral("DELETE FROM data WHERE period_month > 6"));
    const QMap<QString, Rows> before = contents(db);
    const auto maintained = [&db](const QString &column) {
        return db.scalar(QStringLiteral("SELECT count(*) FROM pg_stat_user_tables WHERE relname IN ('%1') "
                                        "AND %2 IS NOT NULL")
                             .arg(Tables.join(QStringLiteral("', '")), column))
            .toInt();
    };
    QCOMPARE(maintained(QStringLiteral("last_vacuum")), 0);

    MainWindow main(db.path());
    QCOMPARE(main.countThroughProgram(QStringLiteral("data")), FactCount / 2);
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::Yes);

    QCOMPARE(messages.texts(), (QStringList{Question, Success}));
    // Each of the six tables was vacuumed and analysed by this request
    // (the statistics collector reports it a moment later).
    QTRY_COMPARE(maintained(QStringLiteral("last_vacuum")), Tables.size());
    QTRY_COMPARE(maintained(QStringLiteral("last_analyze")), Tables.size());
    QCOMPARE(db.scalar(QStringLiteral("SELECT n_dead_tup FROM pg_stat_user_tables WHERE relname = 'data'")).toInt(), 0);
    QCOMPARE(contents(db), before);
    // The program's own connection was left as it was and goes on.
    QCOMPARE(main.countThroughProgram(QStringLiteral("data")), FactCount / 2);
}

void TestRepair::serverRefusalIsReported_data()
{
    QTest::addColumn<bool>("owner");
    QTest::addColumn<QString>("dropped");
    QTest::addColumn<QStringList>("expected");

    // A role that may read the tables but does not own them: the server
    // skips each table with a warning.
    QTest::newRow("not the owner") << false << QString()
                                   << (QStringList{"le serveur n'a pas fait l'entretien de toutes les tables ("} + Tables);
    QTest::newRow("missing table") << true << "dim_fournisseur"
                                   << QStringList{"le serveur a refusé l'entretien des tables : relation "
                                                  "\"dim_fournisseur\" does not exist (42P01)"};
}

void TestRepair::serverRefusalIsReported()
{
    SKIP_ON_FILE("the server's maintenance");
    QFETCH(bool, owner);
    QFETCH(QString, dropped);
    QFETCH(QStringList, expected);

    TestDatabase db;
    fill(db);
    if (!dropped.isEmpty())
        db.exec(QStringLiteral("DROP TABLE %1").arg(dropped));
    QStringList readable = Tables;
    readable.removeAll(dropped);
    TestRole reader(db, QStringLiteral("lecteur"),
                    {QStringLiteral("GRANT SELECT ON ") + readable.join(QStringLiteral(", ")) + QStringLiteral(" TO %1")});
    const QString uri = owner ? db.path() : reader.uri();

    MainWindow main(uri);
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::Yes);

    const QString report = MainWindow::report(messages);
    QVERIFY2(report.startsWith(FailurePrefix + QStringLiteral("Base ") + uri + QStringLiteral(" : ")), qPrintable(report));
    for (const QString &part : expected)
        QVERIFY2(report.contains(part), qPrintable(part + QStringLiteral(" / ") + report));
    QVERIFY(!report.contains(Success));
    QCOMPARE(db.scalar(QStringLiteral("SELECT count(*) FROM pg_stat_user_tables WHERE last_vacuum IS NOT NULL")).toInt(), 0);
}

void TestRepair::damageIsRepaired_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("indexed");
    // success: the success text, every row as it was; whole: every row as it
    // was, a failure that says why it cannot be sure; index: the rows of the
    // damaged pages come back with every column the index holds; loss: rows
    // of the damaged pages may be missing, and are counted.
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("says"); // part of the failure text; "count": the number of missing rows

    QTest::newRow("cells of a fact leaf") << "cells" << true << "index" << "";
    QTest::newRow("cells of a fact leaf, no index") << "cells" << false << "loss" << "count";
    QTest::newRow("header of a fact leaf") << "leaf header" << true << "index"
                                           << "reprises de l'index « data_mois_compte » seul, sans la colonne « dim_dossier »";
    QTest::newRow("header of a fact leaf, no index") << "leaf header" << false << "loss" << "count";
    QTest::newRow("header of the last fact leaf, no index")
        << "last leaf header" << false << "loss" << "un nombre inconnu de lignes de la table « data »";
    QTest::newRow("root of the facts") << "root" << true << "success" << "";
    QTest::newRow("root of the facts, no index")
        << "root" << false << "whole" << "un nombre inconnu de lignes de la table « data »";
    // Below the root, the keys of the root bound what the page covered.
    QTest::newRow("interior fact page") << "interior" << true << "success" << "";
    QTest::newRow("interior fact page, no index") << "interior" << false << "success" << "";
    QTest::newRow("index leaf") << "index leaf" << true << "success" << "";
    // What a damaged page suggests and nothing vouches for is kept aside.
    QTest::newRow("table and index at the same rows")
        << "table and index" << true << "loss" << "hors des chiffres, dans la table « mise_a_part_data » de la base réparée";
    QTest::newRow("truncated file") << "truncated" << true << "loss" << "";
    QTest::newRow("damaged header") << "header" << true << "success" << "";
    QTest::newRow("level table root")
        << "level root" << true << "loss" << "un nombre inconnu de lignes de la table « dim_niveau »";
    // The program knows its tables and its index: a definition that no
    // longer reads is its own again; tables the schema lost are found by
    // the shape of their rows.
    QTest::newRow("index definition") << "index definition" << true << "success" << "";
    QTest::newRow("cells of the schema page") << "schema cells" << true << "whole" << "";
    QTest::newRow("cells of a fact leaf, log not brought in") << "wal" << true << "index" << "";
#ifdef Q_OS_UNIX
    QTest::newRow("cells of a fact leaf, interrupted transaction") << "journal" << true << "index" << "";
#endif
}

void TestRepair::damageIsRepaired()
{
    SKIP_ON_SERVER("damaged file pages: a server keeps its own files");
    QFETCH(QString, damage);
    QFETCH(bool, indexed);
    QFETCH(QString, outcome);
    QFETCH(QString, says);

    TestDatabase db(TestDatabase::NoTables);
    fillSmallPages(db, indexed);
    const int dataRoot = rootOf(db, QStringLiteral("data"));
    const int indexRoot = indexed ? rootOf(db, Schema::recommendedIndexName()) : 0;
    const int levelRoot = rootOf(db, QStringLiteral("dim_niveau"));
    db.closeConnection();
    const QString wal = db.path() + QStringLiteral("-wal"), journal = db.path() + QStringLiteral("-journal");

    const bool log = damage == QLatin1String("wal");
    if (log)
        addFactsToTheLog(db.path());
    const QMap<QString, RowsById> before = fileContents(db.path());
    const QByteArray figuresBefore = log ? QByteArray() : figures(db.path());

    if (damage == QLatin1String("index definition")) {
        SqliteConnection editor(db.path(), SQLITE_OPEN_READWRITE, QStringLiteral("écriture"));
        editor.exec(QStringLiteral("PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = 'CREATE INDEX "
                                   "data_mois_compte ON data (period_year, ¤)' WHERE name = 'data_mois_compte'"),
                    QStringLiteral("écriture"));
    }
    QByteArray file = readFile(db.path());
    Tree facts;
    walk(file, SmallPage, dataRoot, facts);
    QVERIFY2(facts.interiors.size() > 1, "the fact table has three levels");
    QMap<QString, QSet<qint64>> damaged; // rows on damaged pages, by table
    if (damage == QLatin1String("level root")) {
        damaged[QStringLiteral("dim_niveau")] = rowidsOn(file, SmallPage, levelRoot);
        wipeHeader(file, SmallPage, levelRoot);
    } else if (damage == QLatin1String("schema cells")) {
        // The schema's leaves: page 1 (its b-tree header after the file's
        // 100-byte header), or the children of page 1.
        QRandomGenerator random(3);
        const auto scramble = [&](qint64 from, qint64 to) {
            for (qint64 i = from; i < to; ++i)
                if (random.bounded(4) == 0)
                    file[i] = char(random.bounded(256));
        };
        if (quint8(file.at(100)) == 0x0d) {
            scramble(bigEndian(file, 105, 2), SmallPage);
        } else {
            QList<int> leaves{int(bigEndian(file, 108, 4))};
            for (int i = 0; i < int(bigEndian(file, 103, 2)); ++i)
                leaves << int(bigEndian(file, bigEndian(file, 112 + 2 * i, 2), 4));
            for (const int leaf : std::as_const(leaves))
                scramble(pageOffset(leaf, SmallPage) + bigEndian(file, pageOffset(leaf, SmallPage) + 5, 2),
                         pageOffset(leaf + 1, SmallPage));
        }
    } else {
        damageFacts(file, SmallPage, damage, dataRoot, indexRoot, damaged[QStringLiteral("data")]);
    }
    writeFile(db.path(), file);

#ifdef Q_OS_UNIX
    if (damage == QLatin1String("journal")) {
        leaveHotJournal(db.path());
        QVERIFY(QFileInfo(journal).size() > 0);
        QVERIFY2(readFile(db.path()) != file, "uncommitted pages are in the file");
        file = readFile(db.path());
    }
#endif
    const QByteArray walBytes = readFile(wal), journalBytes = readFile(journal);
    QCOMPARE(QFileInfo::exists(wal), log);
    const QByteArray figuresDamaged = log || damage == QLatin1String("journal") ? QByteArray()
                                                                               : figures(db.path());

    MainWindow main(db.path());
    // The program has the file open until the repair; closed, its
    // connection must not bring the log into the file. (A hot journal is
    // left alone: the program's first reading would play it back.)
    if (damage != QLatin1String("journal") && !databaseError([&main] { main.window.Database()->connection(); }).isEmpty())
        QVERIFY(damage == QLatin1String("header") || damage == QLatin1String("truncated")
                || damage == QLatin1String("index definition") || damage == QLatin1String("schema cells"));
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::Yes);
    const QString report = MainWindow::report(messages);

    // The copy: the damaged file and its journal, byte for byte.
    const QStringList backups = backupsIn(db.folder());
    const QStringList copies = backups.filter(QRegularExpression(QStringLiteral("\\.db$")));
    QCOMPARE(copies.size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^test\\.avant-reparation-\\d{8}-\\d{6}\\.db$")).match(copies.first()).hasMatch());
    const QString copy = QDir(db.folder()).filePath(copies.first());
    QCOMPARE(readFile(copy), file);
    QCOMPARE(readFile(copy + QStringLiteral("-wal")), walBytes);
    QCOMPARE(readFile(copy + QStringLiteral("-journal")), journalBytes);
    QVERIFY(!QFileInfo::exists(wal) || QFileInfo(wal).size() == 0);

    const QMap<QString, RowsById> after = fileContents(db.path());
    int missing = 0, partial = 0;
    for (const QString &table : Tables) {
        const QSet<qint64> hurt = damaged.value(table);
        for (auto row = before[table].cbegin(); row != before[table].cend(); ++row) {
            const QString where = QStringLiteral("%1 %2").arg(table).arg(row.key());
            if (!hurt.contains(row.key())) {
                QVERIFY2(after[table].value(row.key()) == row.value(), qPrintable(where + (after[table].contains(row.key()) ? QStringLiteral(" changed") : QStringLiteral(" missing"))));
                continue;
            }
            if (!after[table].contains(row.key())) {
                QVERIFY2(outcome == QLatin1String("loss"), qPrintable(where));
                ++missing;
                continue;
            }
            QVariantList got = after[table].value(row.key()), expected = row.value();
            if (got != expected)
                ++partial;
            if (outcome == QLatin1String("index")) {
                got.removeLast(); // dim_dossier, which the index does not hold
                expected.removeLast();
                QVERIFY2(got == expected, qPrintable(where));
            }
        }
    }
    // No row that was never written: every row after the repair is one of
    // before, the same but for the case code an index lacks.
    for (const QString &table : Tables) {
        for (auto row = after[table].cbegin(); row != after[table].cend(); ++row) {
            const QString where = QStringLiteral("%1 %2 not written so").arg(table).arg(row.key());
            QVERIFY2(before[table].contains(row.key()), qPrintable(where));
            QVERIFY2(row.value().mid(0, 7) == before[table].value(row.key()).mid(0, 7), qPrintable(where));
        }
    }
    qInfo("%s: %lld fact rows before, %lld after, %d of the damaged pages' rows missing, %d changed; report: %s",
          QTest::currentDataTag(), qint64(before["data"].size()), qint64(after["data"].size()), missing, partial,
          qPrintable(report));

    if (outcome == QLatin1String("success")) {
        QCOMPARE(report, Success);
        QCOMPARE(after, before);
    } else {
        QVERIFY2(report.startsWith(FailurePrefix), qPrintable(report));
        QVERIFY2(report.contains(copies.first()), qPrintable(report));
        if (says == QLatin1String("count")) {
            // Exact, or a bound when damaged keys may have named other rows.
            const QRegularExpressionMatch count =
                QRegularExpression(QStringLiteral("(au plus )?(\\d+) lignes? de la table « data » n'ont pas pu être "
                                                  "récupérées"))
                    .match(report);
            QVERIFY2(count.hasMatch(), qPrintable(report));
            QVERIFY2(count.captured(1).isEmpty() ? count.captured(2).toInt() == missing
                                                 : count.captured(2).toInt() >= missing,
                     qPrintable(report));
        }
        else if (!says.isEmpty())
            QVERIFY2(report.contains(says), qPrintable(report));
        if (outcome == QLatin1String("whole"))
            QCOMPARE(after, before);
    }
    QCOMPARE(db.scalar(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
    QCOMPARE(main.countThroughProgram(QStringLiteral("data")), qint64(after["data"].size()));
    if (indexed)
        QCOMPARE(db.scalar(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = 'data_mois_compte'")).toString(),
                 Schema::recommendedIndex());
    // The index was intact: the tracking table shows what it showed.
    if (indexed && outcome != QLatin1String("loss") && damage != QLatin1String("index leaf") && !figuresBefore.isEmpty()) {
        if (!figuresDamaged.isEmpty() && !figuresDamaged.startsWith("erreur"))
            QCOMPARE(figuresDamaged, figuresBefore);
        QCOMPARE(figures(db.path()), figuresBefore);
    }
}

void TestRepair::rowsTheRebuiltFileRefusesKeepTheOriginal()
{
    SKIP_ON_SERVER("damaged file pages: a server keeps its own files");
    // A table of another program beside ours: its code may not be NULL, and
    // its index does not hold it, so a row that only the index still holds
    // cannot be written back.
    TestDatabase db(TestDatabase::NoTables);
    fillSmallPages(db, true);
    db.exec(QStringLiteral("CREATE TABLE fiches (code TEXT NOT NULL, libelle TEXT)"));
    db.exec(QStringLiteral("CREATE INDEX fiches_libelle ON fiches (libelle)"));
    db.exec(QStringLiteral("INSERT INTO fiches SELECT 'C' || rowid, 'Fiche ' || rowid FROM data WHERE rowid <= 400"));
    const int root = rootOf(db, QStringLiteral("fiches"));
    db.closeConnection();
    QByteArray file = readFile(db.path());
    Tree tree;
    walk(file, SmallPage, root, tree);
    const int leaf = tree.leaves.at(tree.leaves.size() / 2);
    const int hurt = int(rowidsOn(file, SmallPage, leaf).size());
    wipeHeader(file, SmallPage, leaf);
    writeFile(db.path(), file);

    MainWindow main(db.path());
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::Yes);
    const QString report = MainWindow::report(messages);

    QCOMPARE(readFile(db.path()), file);
    const QStringList rebuilt = QDir(db.folder()).entryList({QStringLiteral("test.reconstruite-*.db")}, QDir::Files);
    QCOMPARE(rebuilt.size(), 1);
    QVERIFY2(report.startsWith(FailurePrefix + QStringLiteral("La base de données « ")), qPrintable(report));
    QVERIFY2(report.contains(QStringLiteral("n'a pas été modifiée")), qPrintable(report));
    QVERIFY2(report.contains(rebuilt.first()), qPrintable(report));
    QVERIFY2(report.contains(backupsIn(db.folder()).first()), qPrintable(report));
    QVERIFY2(report.contains(QStringLiteral("%1 lignes de la table « fiches » lisibles ont été refusées").arg(hurt)),
             qPrintable(report));
    QVERIFY(!report.contains(Success));
    // The rebuilt file holds all the rest.
    const QMap<QString, RowsById> kept = fileContents(QDir(db.folder()).filePath(rebuilt.first()));
    QCOMPARE(kept["data"].size(), FactCount);
}

void TestRepair::diskFaultsAreNamed_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("cause");

    QTest::newRow("no room for the copy") << "copy" << "le disque est plein";
    QTest::newRow("no room for the rebuilt file") << "rebuilt" << "le disque est plein";
    QTest::newRow("read-only folder") << "read-only" << "est en lecture seule";
}

void TestRepair::diskFaultsAreNamed()
{
    SKIP_ON_SERVER("the files of a database file");
#ifndef Q_OS_LINUX
    QSKIP("a small disk of its own needs Linux");
#else
    QFETCH(QString, fault);
    QFETCH(QString, cause);

    TestDatabase source(TestDatabase::NoTables);
    fillSmallPages(source, true);
    const int dataRoot = rootOf(source, QStringLiteral("data"));
    source.closeConnection();
    QByteArray file = readFile(source.path());
    QSet<qint64> hurt;
    damageFacts(file, SmallPage, QStringLiteral("cells"), dataRoot, 0, hurt);

    QTemporaryDir scratch;
    const QString folder = scratch.filePath(QStringLiteral("disque"));
    QVERIFY(QDir().mkpath(folder));
    const qint64 size = file.size();
    std::unique_ptr<SmallDisk> disk;
    if (fault != QLatin1String("read-only")) {
        disk = std::make_unique<SmallDisk>(folder, fault == QLatin1String("copy") ? size + 64 * 1024
                                                                                  : 2 * size + 64 * 1024);
        if (!disk->mounted())
            QSKIP("a file system of its own cannot be mounted here (it needs root)");
    }
    const QString path = QDir(folder).filePath(QStringLiteral("base.db"));
    writeFile(path, file);
    const bool asRoot = geteuid() == 0;
    if (fault == QLatin1String("read-only")) {
        // Root writes everywhere: the repair runs as another user, who may
        // write the file but not create one beside it.
        const auto readAndSearch = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
        QFile::setPermissions(scratch.path(), readAndSearch | QFileDevice::WriteOwner);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                        | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther);
        QFile::setPermissions(folder, readAndSearch);
    }
    const QStringList files = filesIn(folder);

    MainWindow main(path);
    ScriptedMessages messages;
    if (fault == QLatin1String("read-only") && asRoot)
        QCOMPARE(seteuid(65534), 0);
    main.repair(messages, QMessageBox::Yes);
    if (fault == QLatin1String("read-only") && asRoot)
        QCOMPARE(seteuid(0), 0);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    const QString report = MainWindow::report(messages);
    QVERIFY2(report.startsWith(FailurePrefix), qPrintable(report));
    qInfo("%s: %s", QTest::currentDataTag(), qPrintable(report));
    QVERIFY2(report.contains(cause), qPrintable(report));
    QVERIFY2(report.contains(QDir::toNativeSeparators(folder)), qPrintable(report));
    QVERIFY2(!report.contains(QStringLiteral("Unknown error")), qPrintable(report));
    QCOMPARE(readFile(path), file);
    if (fault == QLatin1String("rebuilt")) {
        // The copy was made and is named; the incomplete rebuilt file is gone.
        const QStringList backups = backupsIn(folder);
        QCOMPARE(backups.size(), 1);
        QVERIFY2(report.contains(backups.first()), qPrintable(report));
        QCOMPARE(readFile(QDir(folder).filePath(backups.first())), file);
        QCOMPARE(filesIn(folder), (QStringList{backups.first(), QStringLiteral("base.db")}));
    } else {
        QVERIFY2(report.contains(QStringLiteral("Rien n'a été modifié")), qPrintable(report));
        QCOMPARE(filesIn(folder), files);
    }
#endif
}

void TestRepair::questionIsGoneBeforeTheWork()
{
    SKIP_ON_SERVER("the files of a database file");
    TestDatabase db;
    fill(db);
    db.closeConnection();

    MainWindow main(db.path());
    ScriptedMessages messages;
    // Each time the window draws itself: had the question been answered,
    // had the repair written its copy yet?
    QList<QPair<int, bool>> paints;
    const QString folder = db.folder();
    // (The window or any part of it: what holds the controls covers the
    // window's own area.)
    QList<QWidget *> parts = main.window.findChildren<QWidget *>();
    parts << &main.window;
    for (QWidget *part : parts) {
        new EventSpy(part, [&](QEvent *event) {
            if (event->type() == QEvent::Paint)
                paints.append({int(messages.shown().size()), !backupsIn(folder).isEmpty()});
        });
    }
    main.repair(messages, QMessageBox::Yes);
    QCOMPARE(messages.texts(), (QStringList{Question, Success}));
    QVERIFY2(paints.contains(qMakePair(1, false)), "the window drew itself between the answer and the work");
}

void TestRepair::refusedRepairChangesNothing_data()
{
    QTest::addColumn<QString>("other"); // what another connection holds the file with, if any
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("said"); // in the repair's report; empty: the question alone was shown
    const QString inUse = QStringLiteral("est en cours d'utilisation par un autre programme ou une autre connexion : "
                                         "la réparation n'a pas été lancée");
    QTest::newRow("declined") << "" << int(QMessageBox::No) << "";
    QTest::newRow("reading transaction") << "BEGIN; SELECT count(*) FROM data" << int(QMessageBox::Yes) << inUse;
    QTest::newRow("writing transaction") << "BEGIN IMMEDIATE" << int(QMessageBox::Yes) << inUse;
}

void TestRepair::refusedRepairChangesNothing()
{
    QFETCH(QString, other);
    QFETCH(int, answer);
    QFETCH(QString, said);
    if (!other.isEmpty())
        SKIP_ON_SERVER("a file's exclusive lock: a server's maintenance runs beside other sessions");
    TestDatabase db;
    fill(db);
    const QMap<QString, Rows> rowsBefore = contents(db);
    db.closeConnection();
    const QByteArray before = readFile(db.path());
    const QStringList files = filesIn(db.folder());
    {
        std::optional<SqliteConnection> holder;
        if (!other.isEmpty()) {
            holder.emplace(db.path(), SQLITE_OPEN_READWRITE, QStringLiteral("autre"));
            QCOMPARE(holder->tryExec(other), SQLITE_OK);
        }
        MainWindow main(db.path());
        ScriptedMessages messages;
        main.repair(messages, QMessageBox::StandardButton(answer));
        QCOMPARE(messages.texts().first(), Question);
        QCOMPARE(messages.shown().first().icon, Messages::Icon::Warning);
        QCOMPARE(messages.shown().first().buttons, QMessageBox::Yes | QMessageBox::No);
        if (said.isEmpty()) {
            QCOMPARE(messages.texts().size(), 1);
        } else {
            const QString report = MainWindow::report(messages);
            QVERIFY2(report.startsWith(FailurePrefix + QStringLiteral("La base de données « ")) && report.contains(said),
                     qPrintable(report));
        }
        if (holder)
            QCOMPARE(holder->tryExec(QStringLiteral("ROLLBACK")), SQLITE_OK);
    }
    QCOMPARE(readFile(db.path()), before);
    QCOMPARE(filesIn(db.folder()), files);
    QCOMPARE(contents(db), rowsBefore);
}

void TestRepair::notADatabaseIsLeftAlone_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("why");

    QByteArray text;
    for (int i = 0; i < 300; ++i)
        text += "Ceci est un simple fichier texte, pas une base de données.\n";
    QByteArray badHeader("SQLite format 3", 16);
    badHeader += QByteArray(8176, char(0x5a));

    QTest::newRow("text file") << text << true << "file is not a database";
    QTest::newRow("bad header") << badHeader << true << "file is not a database";
    QTest::newRow("empty file") << QByteArray() << true << "est vide : ce n'est pas une base de données.";
    QTest::newRow("missing file") << QByteArray() << false << "unable to open database file";
}

void TestRepair::notADatabaseIsLeftAlone()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, exists);
    QFETCH(QString, why);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("base.db"));
    if (exists)
        writeFile(path, bytes);
    const QStringList files = filesIn(folder.path());

    MainWindow main(path);
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::Yes);

    const QString report = MainWindow::report(messages);
    QVERIFY2(report.startsWith(FailurePrefix), qPrintable(report));
    QVERIFY2(report.endsWith(why), qPrintable(report));
    QCOMPARE(filesIn(folder.path()), files);
    if (exists)
        QCOMPARE(readFile(path), bytes);
}

void TestRepair::killedRepairLeavesEitherFile_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("stage");
    for (const QString damage : {"none", "header", "wal", "journal"}) {
        for (const QString stage : {"copy", "rebuild", "replace-log", "replace-journal", "replace"}) {
            const bool journalled = damage == QLatin1String("wal") || damage == QLatin1String("journal");
            if (stage.startsWith(QLatin1String("replace-")) && !journalled)
                continue; // only a file with a journal has those steps
            QTest::newRow(qPrintable(damage + QStringLiteral(", killed at ") + stage)) << damage << stage;
        }
    }
}

// A power cut at any instant of the repair leaves either the file as SQLite
// finds it before the repair, or the repaired file; every copy that bears
// the copy's name is whole; and the repair, run again, ends as it would have.
void TestRepair::killedRepairLeavesEitherFile()
{
#if !defined(ORVALIS_REPAIR_TOOL) || !defined(Q_OS_UNIX)
    QSKIP("the repair tool is not built");
#else
    SKIP_ON_SERVER("a file's repair");
    QFETCH(QString, damage);
    QFETCH(QString, stage);

    TestDatabase db(TestDatabase::NoTables);
    fillSmallPages(db, true);
    const int dataRoot = rootOf(db, QStringLiteral("data"));
    db.closeConnection();
    if (damage == QLatin1String("wal"))
        addFactsToTheLog(db.path());
    QByteArray file = readFile(db.path());
    QSet<qint64> hurt;
    damageFacts(file, SmallPage, damage, dataRoot, 0, hurt); // "wal", "journal": the cells of a leaf
    writeFile(db.path(), file);
    if (damage == QLatin1String("journal"))
        leaveHotJournal(db.path());
    const QByteArrayList damaged = fileSet(db.path());
    const QStringList suffixes{QString(), QStringLiteral("-wal"), QStringLiteral("-journal")};

    // The same files elsewhere: as SQLite finds them (a hot journal played
    // back), and repaired by a repair that runs to its end.
    QTemporaryDir elsewhere;
    const auto place = [&](const QString &path) {
        for (int i = 0; i < suffixes.size(); ++i)
            if (QFileInfo::exists(db.path() + suffixes[i]))
                writeFile(path + suffixes[i], damaged[i]);
    };
    const QString found = elsewhere.filePath(QStringLiteral("found.db"));
    place(found);
    {
        SqliteConnection reader(found, SQLITE_OPEN_READWRITE, QStringLiteral("lecture"));
        sqlite3_db_config(reader.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        reader.tryExec(QStringLiteral("BEGIN EXCLUSIVE; COMMIT"));
    }
    const QString reference = elsewhere.filePath(QStringLiteral("reference.db"));
    place(reference);
    const ToolRun full = runRepairTool({reference});
    QVERIFY2(full.status == 0 || full.status == 1, qPrintable(full.err));
    const QMap<QString, RowsById> repaired = fileContents(reference);

    const ToolRun killed = runRepairTool({db.path()}, stage);
    QVERIFY2(killed.crashed, qPrintable(QStringLiteral("not killed at %1: %2").arg(stage, killed.err)));
    const QByteArrayList now = fileSet(db.path());
    const bool hotJournal = !now[2].isEmpty() && now[2].at(0) != 0;
    const bool asItWas = now == damaged || (now[0] == readFile(found) && now[1] == damaged[1] && !hotJournal);
    if (!asItWas)
        QCOMPARE(fileContents(db.path()), repaired);
    for (const QString &copy : backupsIn(db.folder()).filter(QRegularExpression(QStringLiteral("\\.db$")))) {
        for (int i = 0; i < suffixes.size(); ++i)
            QCOMPARE(readFile(QDir(db.folder()).filePath(copy + suffixes[i])), damaged[i]);
    }
    qInfo("%s: the file is %s", QTest::currentDataTag(), asItWas ? "as it was" : "repaired");

    const ToolRun again = runRepairTool({db.path()});
    QVERIFY2(again.status == 0 || again.status == 1, qPrintable(again.err));
    QCOMPARE(fileContents(db.path()), repaired);
    // Of the killed repair, only its copy is left.
    QCOMPARE(QDir(db.folder()).entryList({QStringLiteral("*.incomplete"), QStringLiteral("*.reconstruite-*"),
                                          QStringLiteral("*.reparation-*")},
                                         QDir::Files),
             QStringList());
#endif
}

void TestRepair::toolSaysItByStatus_data()
{
    QTest::addColumn<QStringList>("arguments"); // "FILE" is the damaged file's place
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("starts");

    QTest::newRow("healthy file") << QStringList{"FILE"} << "none" << 0 << Success;
    QTest::newRow("rows in doubt") << QStringList{"FILE"} << "cells" << 1 << FailurePrefix;
    QTest::newRow("not a database") << QStringList{"FILE"} << "text" << 1 << FailurePrefix + "Le fichier « ";
    QTest::newRow("no file") << QStringList{} << "none" << 2 << "orvalis-repair : indiquez un et un seul fichier";
    QTest::newRow("two files") << QStringList{"FILE", "FILE"} << "none" << 2 << "orvalis-repair : indiquez";
    QTest::newRow("unknown option") << QStringList{"--vite", "FILE"} << "none" << 2 << "orvalis-repair : ";
}

void TestRepair::toolSaysItByStatus()
{
#ifndef ORVALIS_REPAIR_TOOL
    QSKIP("the repair tool is not built");
#else
    SKIP_ON_SERVER("a file's repair");
    QFETCH(QStringList, arguments);
    QFETCH(QString, damage);
    QFETCH(int, status);
    QFETCH(QString, starts);

    TestDatabase db(TestDatabase::NoTables);
    fillSmallPages(db, false);
    const int dataRoot = rootOf(db, QStringLiteral("data"));
    db.closeConnection();
    QByteArray file = readFile(db.path());
    QSet<qint64> hurt;
    damageFacts(file, SmallPage, damage, dataRoot, 0, hurt);
    if (damage == QLatin1String("text"))
        file = QByteArray(20000, 'x');
    writeFile(db.path(), file);
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^FILE$")), db.path());

    const ToolRun run = runRepairTool(arguments);
    QVERIFY(!run.crashed);
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.startsWith(starts), qPrintable(run.err));
    QVERIFY2(run.err.endsWith(QLatin1Char('\n')) && run.err.count(QLatin1Char('\n')) == 1, qPrintable(run.err));
    if (status == 2)
        QCOMPARE(readFile(db.path()), file);
#endif
}

QTEST_MAIN(TestRepair)
#include "tst_repair.moc"
