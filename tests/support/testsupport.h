#pragma once

#include "ui/messages.h"
#include "store/sqlrows.h"
#include "store/tabsdatabase.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <functional>

// Answers every message box the code shows, from a queue of answers, and
// records what was shown. No real modal box appears while one is alive.
class ScriptedMessages
{
public:
    ScriptedMessages();
    ~ScriptedMessages();

    // The answer to the next box with a choice (Yes/No).
    void answerNext(QMessageBox::StandardButton answer) { m_answers << answer; }

    const QList<Messages::Box> &shown() const { return m_shown; }
    QStringList texts() const;
    void clear() { m_shown.clear(); }
    // Boxes with a choice that found no scripted answer.
    int unanswered() const { return m_unanswered; }

private:
    Messages::Handler m_previous;
    QList<Messages::Box> m_shown;
    QList<QMessageBox::StandardButton> m_answers;
    int m_unanswered = 0;
};

// A whole file: its bytes (empty when it cannot be read), or written anew
// (the test fails when it cannot be).
QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &bytes);

// The message of the database error that `run` throws, or an empty text
// when it throws none.
QString databaseError(const std::function<void()> &run);

// Records every statement that the database layer runs.
class StatementLog
{
public:
    explicit StatementLog(TABSDatabase *db);
    ~StatementLog();

    const QStringList &statements() const { return m_statements; }
    void clear() { m_statements.clear(); }

private:
    TABSDatabase *m_db;
    QStringList m_statements;
};


// A small database with the six tables, on the engine the suite runs
// against:
// - SQLite (the default): a file in its own temporary folder;
// - PostgreSQL, when ORVALIS_TEST_ENGINE=postgresql: a new database on the
//   server that ORVALIS_TEST_PG names (a URI of a role that may create
//   databases and roles), dropped at the end. It is created with the C
//   collation, so that ORDER BY sorts as SQLite does (by bytes).
// path() is what the program is given: the file path or the database's URI.
class TestDatabase
{
public:
    enum Content { SixTables, NoTables };
    // Suite: on the engine the suite runs against; File: a file whatever
    // the engine (to compare a server with a file).
    enum class Engine { Suite, File };
    explicit TestDatabase(Content content = SixTables, Engine engine = Engine::Suite);
    ~TestDatabase();
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    // True when the suite runs against PostgreSQL.
    static bool onServer();
    // On a server: the URI of a database of that name on the test server,
    // whether it exists or not.
    static QString serverUri(const QString &database);

    // True for a database on the server (see Engine).
    bool isServer() const { return !m_serverDatabase.isEmpty(); }
    QString path() const { return m_path; }
    // A scratch folder of the test (the file's folder on SQLite).
    QString folder() const { return m_dir.path(); }
    // On a server: the database's URI for another role.
    QString uriFor(const QString &user) const;
    // On a server: the database's name.
    QString serverDatabase() const { return m_serverDatabase; }

    // Runs a statement on a connection of the test's own; fails the test
    // on error (throws std::runtime_error).
    void exec(const QString &sql, const QVariantList &values = {});
    QVariant scalar(const QString &sql);
    QList<QVariantList> rows(const QString &sql);
    bool tableExists(const QString &table);

    void addUser(const QString &code, const QString &label);
    void addAgency(const QString &code, const QString &label);
    void addSupplier(const QString &code, const QString &label);
    void addLevel(const QString &code, const QString &label);
    void link(const QString &level, const QString &agency);
    void addFact(const QString &account, int year, int month, double value, const QVariant &agency,
                 const QVariant &user, const QVariant &supplier = QStringLiteral("F1"));

    // Makes every DELETE on `table` fail with `message` (a trigger), or
    // lets them through again.
    void refuseDeletes(const QString &table, const QString &message);
    void allowDeletes(const QString &table);

    // Releases the test's own connection (before a repair, say).
    void closeConnection();

private:
    QSqlDatabase connection();

    QTemporaryDir m_dir;
    QString m_path;
    QString m_connectionName;
    QString m_serverDatabase;
    QHash<QString, QSqlQuery> m_prepared;
};

// A login role on the test server, for the life of a test: created with
// `grants` run on the test's database (%1 stands for the role), dropped at
// the end with its privileges. Server only.
class TestRole
{
public:
    TestRole(TestDatabase &db, const QString &purpose, const QStringList &grants = {});
    ~TestRole();
    TestRole(const TestRole &) = delete;
    TestRole &operator=(const TestRole &) = delete;

    QString name() const { return m_name; }
    // The test database's URI for this role.
    QString uri() const { return m_db.uriFor(m_name); }

private:
    TestDatabase &m_db;
    QString m_name;
};

// Skips a test that has no sense on the engine the suite runs against.
#define SKIP_ON_SERVER(why)                                                                                           \
    do {                                                                                                               \
        if (TestDatabase::onServer())                                                                                  \
            QSKIP(why);                                                                                                \
    } while (false)
#define SKIP_ON_FILE(why)                                                                                             \
    do {                                                                                                               \
        if (!TestDatabase::onServer())                                                                                 \
            QSKIP(why);                                                                                                \
    } while (false)
