#include "testsupport.h"

#include "store/dberror.h"
#include "store/schema.h"
#include "store/serveraddress.h"
#include "store/serverconnection.h"
#include "store/sqltext.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

ScriptedMessages::ScriptedMessages()
{
    m_previous = Messages::setHandler([this](const Messages::Box &box) {
        m_shown << box;
        if (box.buttons == QMessageBox::Ok)
            return QMessageBox::Ok;
        if (m_answers.isEmpty()) {
            ++m_unanswered;
            return QMessageBox::No;
        }
        return m_answers.takeFirst();
    });
}

ScriptedMessages::~ScriptedMessages()
{
    Messages::setHandler(m_previous);
}

QStringList ScriptedMessages::texts() const
{
    QStringList out;
    for (const Messages::Box &box : m_shown)
        out << box.text;
    return out;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString databaseError(const std::function<void()> &run)
{
    try {
        run();
    } catch (const EDatabaseError &e) {
        return e.message();
    }
    return QString();
}

StatementLog::StatementLog(TABSDatabase *db) : m_db(db)
{
    m_db->setStatementSpy([this](const QString &sql) { m_statements << sql; });
}

StatementLog::~StatementLog()
{
    m_db->setStatementSpy({});
}

namespace {

QAtomicInt testConnections;
QAtomicInt serverDatabases;

bool inContinuousIntegration()
{
    const QByteArray ci = qgetenv("CI").toLower();
    return !ci.isEmpty() && ci != "false" && ci != "0";
}

// Before any test runs: a run against PostgreSQL needs a server. Without
// one it is skipped as a whole (exit status 77, which CTest reports as
// skipped), except in continuous integration, where it must run.
void checkServerIsConfigured()
{
    if (!TestDatabase::onServer() || !qEnvironmentVariableIsEmpty("ORVALIS_TEST_PG"))
        return;
    if (inContinuousIntegration()) {
        std::fprintf(stderr, "ORVALIS_TEST_ENGINE=postgresql but ORVALIS_TEST_PG names no server: in continuous "
                             "integration the PostgreSQL cases must run (scripts/dev test starts a server).\n");
        std::_Exit(1);
    }
    std::fprintf(stderr, "ORVALIS_TEST_PG names no PostgreSQL server: the PostgreSQL cases are skipped "
                         "(scripts/dev test starts one).\n");
    std::_Exit(77);
}
Q_CONSTRUCTOR_FUNCTION(checkServerIsConfigured)

ServerAddress serverAddress()
{
    return ServerAddress::parse(qEnvironmentVariable("ORVALIS_TEST_PG"));
}

// The connection that creates and drops the tests' databases.
QSqlDatabase serverAdministration()
{
    const QString name = QStringLiteral("test-server-administration");
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase db = QSqlDatabase::database(name);
        if (db.isOpen() && !ServerConnection::lost(db))
            return db;
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    return ServerConnection::open(name, serverAddress(), 0);
}

void administer(const QString &sql)
{
    QSqlQuery query(serverAdministration());
    if (!query.exec(sql))
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
}

} // namespace

bool TestDatabase::onServer()
{
    return qgetenv("ORVALIS_TEST_ENGINE") == "postgresql";
}

TestDatabase::TestDatabase(Content content, Engine engine)
    : m_path(m_dir.filePath(QStringLiteral("test.db"))),
      m_connectionName(QStringLiteral("test-%1").arg(testConnections.fetchAndAddRelaxed(1)))
{
    if (engine == Engine::Suite && onServer()) {
        m_serverDatabase = QStringLiteral("orvalis_t_%1_%2")
                               .arg(QCoreApplication::applicationPid())
                               .arg(serverDatabases.fetchAndAddRelaxed(1));
        // Bytes order, as SQLite compares texts. Copying the files of the
        // small template is quicker than writing them to the log.
        const QString create = QStringLiteral("CREATE DATABASE %1 TEMPLATE template0 ENCODING 'UTF8' "
                                              "LC_COLLATE 'C' LC_CTYPE 'C'")
                                   .arg(m_serverDatabase);
        try {
            administer(create + QStringLiteral(" STRATEGY FILE_COPY"));
        } catch (const std::runtime_error &) {
            administer(create); // before PostgreSQL 15
        }
        m_path = serverAddress().withDatabase(m_serverDatabase);
    }
    if (content == SixTables) {
        for (const QString &sql : Schema::createTables())
            exec(sql);
    }
}

TestDatabase::~TestDatabase()
{
    closeConnection();
    if (m_serverDatabase.isEmpty())
        return;
    try {
        // Sessions the test left open (another process's, say) end with it.
        administer(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_serverDatabase));
    } catch (const std::runtime_error &e) {
        qWarning("%s", e.what());
    }
}

QString TestDatabase::serverUri(const QString &database)
{
    return serverAddress().withDatabase(database);
}

QString TestDatabase::uriFor(const QString &user) const
{
    return ServerAddress::parse(m_path).withUser(user);
}

QSqlDatabase TestDatabase::connection()
{
    if (QSqlDatabase::contains(m_connectionName))
        return QSqlDatabase::database(m_connectionName);
    if (isServer())
        return ServerConnection::open(m_connectionName, ServerAddress::parse(m_path), TABSDatabase::BusyTimeoutMs);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open())
        throw std::runtime_error(db.lastError().text().toStdString());
    // Test files need no protection against power loss.
    QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=OFF"));
    return db;
}

void TestDatabase::closeConnection()
{
    m_prepared.clear();
    if (!QSqlDatabase::contains(m_connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

void TestDatabase::exec(const QString &sql, const QVariantList &values)
{
    const auto fail = [&sql](const QSqlQuery &query) {
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
    };
    if (values.isEmpty()) {
        // Statements without values (DDL, BEGIN) cannot all be prepared.
        QSqlQuery query(connection());
        if (!query.exec(sql))
            fail(query);
        return;
    }
    auto found = m_prepared.find(sql);
    if (found == m_prepared.end()) {
        QSqlQuery query(connection());
        if (!query.prepare(sql))
            fail(query);
        found = m_prepared.insert(sql, query);
    }
    QSqlQuery &query = found.value();
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    if (!query.exec())
        fail(query);
}

QVariant TestDatabase::scalar(const QString &sql)
{
    QSqlQuery query(connection());
    if (!query.exec(sql) || !query.next())
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
    return query.value(0);
}

QList<QVariantList> TestDatabase::rows(const QString &sql)
{
    return queryRows(connection(), sql);
}

bool TestDatabase::tableExists(const QString &table)
{
    const QString sql = isServer()
        ? QStringLiteral("SELECT count(*) FROM pg_tables WHERE schemaname = current_schema() AND tablename = '%1'")
        : QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = '%1'");
    return scalar(sql.arg(sqlEscape(table))).toInt() > 0;
}

void TestDatabase::refuseDeletes(const QString &table, const QString &message)
{
    if (isServer()) {
        exec(QStringLiteral("CREATE FUNCTION refus_%1() RETURNS trigger LANGUAGE plpgsql AS "
                            "$$BEGIN RAISE EXCEPTION '%2'; END$$")
                 .arg(table, sqlEscape(message)));
        exec(QStringLiteral("CREATE TRIGGER refus BEFORE DELETE ON %1 FOR EACH ROW EXECUTE FUNCTION refus_%1()")
                 .arg(table));
    } else {
        exec(QStringLiteral("CREATE TRIGGER refus_%1 BEFORE DELETE ON %1 BEGIN SELECT RAISE(ABORT, '%2'); END")
                 .arg(table, sqlEscape(message)));
    }
}

void TestDatabase::allowDeletes(const QString &table)
{
    if (isServer()) {
        exec(QStringLiteral("DROP TRIGGER refus ON %1").arg(table));
        exec(QStringLiteral("DROP FUNCTION refus_%1()").arg(table));
    } else {
        exec(QStringLiteral("DROP TRIGGER refus_%1").arg(table));
    }
}

namespace {
QAtomicInt testRoles;
}

TestRole::TestRole(TestDatabase &db, const QString &purpose, const QStringList &grants)
    : m_db(db),
      m_name(QStringLiteral("orvalis_t_%1_%2_%3")
                 .arg(purpose)
                 .arg(QCoreApplication::applicationPid())
                 .arg(testRoles.fetchAndAddRelaxed(1)))
{
    m_db.exec(QStringLiteral("CREATE ROLE %1 LOGIN").arg(m_name));
    for (const QString &grant : grants)
        m_db.exec(grant.arg(m_name));
}

TestRole::~TestRole()
{
    try {
        m_db.exec(QStringLiteral("DROP OWNED BY %1").arg(m_name));
        m_db.exec(QStringLiteral("DROP ROLE %1").arg(m_name));
    } catch (const std::runtime_error &e) {
        qWarning("%s", e.what());
    }
}

void TestDatabase::addUser(const QString &code, const QString &label)
{
    exec(QStringLiteral("INSERT INTO dim_utilisateur (code, libelle) VALUES (?, ?)"), {code, label});
}

void TestDatabase::addAgency(const QString &code, const QString &label)
{
    exec(QStringLiteral("INSERT INTO dim_agence (code, libelle) VALUES (?, ?)"), {code, label});
}

void TestDatabase::addSupplier(const QString &code, const QString &label)
{
    exec(QStringLiteral("INSERT INTO dim_fournisseur (code, libelle) VALUES (?, ?)"), {code, label});
}

void TestDatabase::addLevel(const QString &code, const QString &label)
{
    exec(QStringLiteral("INSERT INTO dim_niveau (code, libelle) VALUES (?, ?)"), {code, label});
}

void TestDatabase::link(const QString &level, const QString &agency)
{
    exec(QStringLiteral("INSERT INTO niveau_agence (niveau, agence) VALUES (?, ?)"), {level, agency});
}

void TestDatabase::addFact(const QString &account, int year, int month, double value, const QVariant &agency,
                           const QVariant &user, const QVariant &supplier)
{
    exec(QStringLiteral("INSERT INTO data (code_account, period_year, period_month, valeur, dim_agence, "
                        "dim_utilisateur, dim_fournisseur, dim_dossier) VALUES (?, ?, ?, ?, ?, ?, ?, 'D1')"),
         {account, year, month, value, agency, user, supplier});
}
