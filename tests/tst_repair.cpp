#include "app/tficheprincipale.h"
#include "store/schema.h"
#include "store/tabsquery.h"
#include "support/testsupport.h"

#include <QDir>
#include <QPushButton>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

namespace {

const QString Question = QStringLiteral("Attention, vous allez lancer la réparation de la base de données.\n"
                                        "Veuillez vérifier qu'il n'y ai plus d'utilisateurs connectés.\n\n"
                                        "Souhaitez-vous continuer ?");
const QString FailurePrefix = QStringLiteral("Erreur sur la réparation : ");
const QString Success = QStringLiteral("Réparation s'est terminée avec succès !");

const QStringList Tables{"data", "dim_utilisateur", "dim_agence", "dim_fournisseur", "dim_niveau", "niveau_agence"};

// Enough facts for the fact table to span many pages under an interior root.
constexpr int FactCount = 3000;

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

// Reading the file format: big-endian integers and SQLite varints.
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

// A child of an interior page: the first, the middle or the last one (a
// leaf, for a b-tree of two levels).
int childOf(const QByteArray &file, int pageSize, int page, const QString &which)
{
    const qint64 at = pageOffset(page, pageSize);
    if (which == QLatin1String("last"))
        return int(bigEndian(file, at + 8, 4));
    const int cells = int(bigEndian(file, at + 3, 2));
    const int index = which == QLatin1String("first") ? 0 : cells / 2;
    const quint32 cell = bigEndian(file, at + 12 + 2 * index, 2);
    return int(bigEndian(file, at + cell, 4));
}

// The rowids stored in a table leaf page.
QSet<qint64> leafRowids(const QByteArray &file, int pageSize, int page)
{
    const qint64 at = pageOffset(page, pageSize);
    const int cells = int(bigEndian(file, at + 3, 2));
    QSet<qint64> rowids;
    for (int i = 0; i < cells; ++i) {
        qint64 cell = at + bigEndian(file, at + 8 + 2 * i, 2);
        varint(file, cell); // payload size
        rowids << varint(file, cell);
    }
    return rowids;
}

// Overwrites the page header and cell pointers of a leaf with 0xFF bytes.
void damageLeaf(QByteArray &file, int pageSize, int page)
{
    const qint64 at = pageOffset(page, pageSize);
    const int cells = int(bigEndian(file, at + 3, 2));
    for (qint64 i = at + 1; i < at + 8 + 2 * cells; ++i)
        file[i] = char(0xff);
}

// The main window on a database file, shown so that its activation runs.
class MainWindow
{
public:
    explicit MainWindow(const QString &path, bool admin = true)
    {
        window.SetDatabasePath(path);
        window.SetAdmin(admin);
        window.show();
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
    void userModeCannotRepair();
    void declineChangesNothing();
    void healthyFileIsRebuilt();
    void serverTablesAreMaintained();
    void serverRefusalIsReported_data();
    void serverRefusalIsReported();
    void damagedFileIsSalvaged_data();
    void damagedFileIsSalvaged();
    void fileInUseIsRefused_data();
    void fileInUseIsRefused();
    void notADatabaseIsLeftAlone_data();
    void notADatabaseIsLeftAlone();
};

void TestRepair::userModeCannotRepair()
{
    TestDatabase db;
    MainWindow main(db.path(), false);
    QTest::qWait(50);
    QVERIFY(main.repairButton());
    QVERIFY(!main.repairButton()->isEnabled());
}

void TestRepair::declineChangesNothing()
{
    TestDatabase db;
    fill(db);
    const QMap<QString, Rows> rowsBefore = contents(db);
    db.closeConnection();
    const QByteArray before = readFile(db.path());
    const QStringList files = filesIn(db.folder());

    MainWindow main(db.path());
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::No);

    QCOMPARE(messages.texts(), QStringList{Question});
    const Messages::Box &box = messages.shown().first();
    QCOMPARE(box.icon, Messages::Icon::Warning);
    QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(!main.window.testAttribute(Qt::WA_SetCursor));
    QCOMPARE(readFile(db.path()), before);
    QCOMPARE(filesIn(db.folder()), files);
    QCOMPARE(contents(db), rowsBefore);
}

void TestRepair::healthyFileIsRebuilt()
{
    SKIP_ON_SERVER("the file's rebuild; see serverTablesAreMaintained");
    TestDatabase db;
    fill(db);
    // Free pages for the rebuild to give back.
    db.exec(QStringLiteral("DELETE FROM data WHERE rowid > 1000 AND rowid <= 2000"));
    QVERIFY(db.scalar(QStringLiteral("PRAGMA freelist_count")).toInt() > 0);
    const QMap<QString, Rows> before = contents(db);
    db.closeConnection();

    MainWindow main(db.path());
    QCOMPARE(main.countThroughProgram(QStringLiteral("data")), FactCount - 1000);
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::Yes);

    QCOMPARE(messages.texts(), (QStringList{Question, Success}));
    QVERIFY(!main.window.testAttribute(Qt::WA_SetCursor));
    QCOMPARE(contents(db), before);
    QCOMPARE(db.scalar(QStringLiteral("PRAGMA freelist_count")).toInt(), 0);
    QCOMPARE(db.scalar(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_stat1'")).toInt(), 1);
    QCOMPARE(filesIn(db.folder()), QStringList{QStringLiteral("test.db")});
    QCOMPARE(main.countThroughProgram(QStringLiteral("data")), FactCount - 1000);
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
    QVERIFY(!main.window.testAttribute(Qt::WA_SetCursor));
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

    QCOMPARE(messages.texts().size(), 2);
    const QString report = messages.texts().at(1);
    QVERIFY2(report.startsWith(FailurePrefix + QStringLiteral("Base ") + uri + QStringLiteral(" : ")), qPrintable(report));
    for (const QString &part : expected)
        QVERIFY2(report.contains(part), qPrintable(part + QStringLiteral(" / ") + report));
    QVERIFY(!report.contains(Success));
    QVERIFY(!main.window.testAttribute(Qt::WA_SetCursor));
    QCOMPARE(db.scalar(QStringLiteral("SELECT count(*) FROM pg_stat_user_tables WHERE last_vacuum IS NOT NULL")).toInt(), 0);
}

void TestRepair::damagedFileIsSalvaged_data()
{
    QTest::addColumn<QString>("btree");
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("indexed");
    QTest::addColumn<QString>("loss");

    // A leaf in the middle of the fact table: its rows are lost and counted
    // (through the intact index, or by rowid without it); every other row
    // is saved.
    QTest::newRow("middle fact leaf") << "data" << "data" << "middle" << true << "counted";
    QTest::newRow("middle fact leaf, no index") << "data" << "data" << "middle" << false << "counted";
    // The last and first leaves: the range of rowids has lost an end, the
    // index still counts the rows.
    QTest::newRow("last fact leaf") << "data" << "data" << "last" << true << "counted";
    QTest::newRow("last fact leaf, no index") << "data" << "data" << "last" << false << "unknown";
    QTest::newRow("first fact leaf, no index") << "data" << "data" << "first" << false << "unknown";
    // A leaf of the index: every row is saved and the index rebuilt.
    QTest::newRow("index leaf") << "data_mois_compte" << "data" << "middle" << true << "none";
    // The root of a one-page table without index: nothing tells its size.
    QTest::newRow("level table root") << "dim_niveau" << "dim_niveau" << "root" << true << "unknown";
}

void TestRepair::damagedFileIsSalvaged()
{
    SKIP_ON_SERVER("damaged file pages: a server keeps its own files");
    QFETCH(QString, btree);
    QFETCH(QString, table);
    QFETCH(QString, page);
    QFETCH(bool, indexed);
    QFETCH(QString, loss);

    TestDatabase db;
    fill(db);
    if (indexed)
        db.exec(Schema::recommendedIndex());
    const QMap<QString, Rows> before = contents(db);
    const int pageSize = db.scalar(QStringLiteral("PRAGMA page_size")).toInt();
    const int root =
        db.scalar(QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name = '%1'").arg(btree)).toInt();
    db.closeConnection();

    QByteArray file = readFile(db.path());
    const int damaged = page == QLatin1String("root") ? root : childOf(file, pageSize, root, page);
    QVERIFY(damaged != root || page == QLatin1String("root"));
    const bool isTable = btree == table;
    QCOMPARE(quint8(file.at(pageOffset(damaged, pageSize))), quint8(isTable ? 0x0d : 0x0a)); // a leaf
    const QSet<qint64> lost = isTable ? leafRowids(file, pageSize, damaged) : QSet<qint64>();
    QVERIFY(!isTable || !lost.isEmpty());
    damageLeaf(file, pageSize, damaged);
    writeFile(db.path(), file);
    QVERIFY(db.scalar(QStringLiteral("PRAGMA integrity_check")).toString() != QLatin1String("ok"));
    db.closeConnection();

    MainWindow main(db.path());
    main.window.Database()->connection(); // in use by the program until the repair
    ScriptedMessages messages;
    main.repair(messages, QMessageBox::Yes);

    const QStringList backups = backupsIn(db.folder());
    QCOMPARE(backups.size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^test\\.avant-reparation-\\d{8}-\\d{6}\\.db$"))
                .match(backups.first())
                .hasMatch());
    QCOMPARE(readFile(QDir(db.folder()).filePath(backups.first())), file);
    QCOMPARE(filesIn(db.folder()), (QStringList{backups.first(), QStringLiteral("test.db")}));

    QCOMPARE(messages.texts().size(), 2);
    const QString report = messages.texts().at(1);
    if (loss == QLatin1String("none")) {
        QCOMPARE(report, Success);
    } else {
        QVERIFY2(report.startsWith(FailurePrefix), qPrintable(report));
        QVERIFY2(report.contains(backups.first()), qPrintable(report));
        QVERIFY2(!report.contains(Success), qPrintable(report));
        const QString count = QStringLiteral("%1 lignes de la table « %2 » n'ont pas pu être récupérées")
                                  .arg(lost.size())
                                  .arg(table);
        const QString unknown = QStringLiteral("un nombre inconnu de lignes de la table « %1 »").arg(table);
        QCOMPARE(report.contains(count), loss == QLatin1String("counted"));
        QCOMPARE(report.contains(unknown), loss == QLatin1String("unknown"));
    }
    QVERIFY(!main.window.testAttribute(Qt::WA_SetCursor));

    QMap<QString, Rows> expected = before;
    expected[table].removeIf([&](const QVariantList &row) { return lost.contains(row.first().toLongLong()); });
    QCOMPARE(contents(db), expected);
    QCOMPARE(db.scalar(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
    if (indexed)
        QCOMPARE(db.scalar(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = 'data_mois_compte'")).toString(),
                 Schema::recommendedIndex());
    QCOMPARE(main.countThroughProgram(table), qint64(expected[table].size()));
}

void TestRepair::fileInUseIsRefused_data()
{
    QTest::addColumn<QString>("begin");
    QTest::addColumn<bool>("reads");

    QTest::newRow("reading transaction") << "BEGIN" << true;
    QTest::newRow("writing transaction") << "BEGIN IMMEDIATE" << false;
}

void TestRepair::fileInUseIsRefused()
{
    SKIP_ON_SERVER("a file's exclusive lock: a server's maintenance runs beside other sessions");
    QFETCH(QString, begin);
    QFETCH(bool, reads);

    TestDatabase db;
    fill(db);
    db.closeConnection();
    const QByteArray before = readFile(db.path());
    const QStringList files = filesIn(db.folder());

    const QString otherName = QStringLiteral("other-user");
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), otherName);
        other.setDatabaseName(db.path());
        QVERIFY(other.open());
        QSqlQuery query(other);
        QVERIFY(query.exec(begin));
        if (reads) {
            QVERIFY(query.exec(QStringLiteral("SELECT count(*) FROM data")));
            QVERIFY(query.next());
            QCOMPARE(query.value(0).toInt(), FactCount);
        }

        MainWindow main(db.path());
        ScriptedMessages messages;
        main.repair(messages, QMessageBox::Yes);

        QCOMPARE(messages.texts().size(), 2);
        const QString report = messages.texts().at(1);
        QVERIFY2(report.startsWith(FailurePrefix + QStringLiteral("La base de données « ")), qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("est en cours d'utilisation par un autre programme ou une autre "
                                                "connexion : la réparation n'a pas été lancée")),
                 qPrintable(report));
        QVERIFY(!main.window.testAttribute(Qt::WA_SetCursor));

        query.finish();
        QVERIFY(query.exec(QStringLiteral("ROLLBACK")));
        other.close();
    }
    QSqlDatabase::removeDatabase(otherName);

    QCOMPARE(readFile(db.path()), before);
    QCOMPARE(filesIn(db.folder()), files);
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

    QCOMPARE(messages.texts().size(), 2);
    const QString report = messages.texts().at(1);
    QVERIFY2(report.startsWith(FailurePrefix), qPrintable(report));
    QVERIFY2(report.endsWith(why), qPrintable(report));
    QVERIFY(!main.window.testAttribute(Qt::WA_SetCursor));
    QCOMPARE(filesIn(folder.path()), files);
    if (exists)
        QCOMPARE(readFile(path), bytes);
}

QTEST_MAIN(TestRepair)
#include "tst_repair.moc"
