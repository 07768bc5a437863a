#pragma once

#include <QSqlDatabase>
#include <QString>

#include "store/serverwatch.h"

#include <functional>

class QSqlError;

// The program's one connection to its database. The main window owns it for
// the whole run; every other window and every statement object holds a plain
// pointer to it.
//
// The database is opened lazily, at the first statement, so that a path that
// names no usable database is reported where it is first used. A file is
// never created: SQLite is opened read-write through a URI with mode=rw.
//
// The name may also be a PostgreSQL URI (postgresql://user@host:port/dbname,
// see ServerAddress): the same statements then run on that server through
// Qt's QPSQL driver. The password comes from libpq's own sources
// (PGPASSWORD, ~/.pgpass), never from the name.
class TABSDatabase
{
public:
    TABSDatabase();
    ~TABSDatabase();

    TABSDatabase(const TABSDatabase &) = delete;
    TABSDatabase &operator=(const TABSDatabase &) = delete;

    // The name statements give to bind themselves to this database.
    QString DatabaseName() const { return QStringLiteral("tdb"); }

    // Names the database: a file path or a server URI. Nothing is opened or
    // checked here.
    void SetDatabaseFileName(const QString &fileName);
    QString DatabaseFileName() const { return m_fileName; }
    // True when the name is a PostgreSQL URI.
    bool isServer() const;

    // Checks and rebuilds the database; raises EDatabaseError on failure.
    // Returns a short report of what was done.
    QString RepairDatabase();

    // The open Qt connection, opened at the first call. Raises
    // EDatabaseError when the database cannot be opened.
    QSqlDatabase connection();
    bool isOpen() const;
    // Changes every time the connection is opened anew: what one open
    // connection reported (SQLite's data_version, say) means nothing to the
    // next one.
    quint64 connectionSerial() const { return m_serial; }
    // Releases the Qt connection; the next statement opens it again.
    void close();

    // Every statement text run through TABSQuery passes here first, so that
    // tests can check the exact statements. Empty by default.
    using StatementSpy = std::function<void(const QString &)>;
    void setStatementSpy(StatementSpy spy) { m_spy = std::move(spy); }
    void noteStatement(const QString &sql) const
    {
        if (m_spy)
            m_spy(sql);
    }

    // What was being done when the engine failed: the error's message
    // says it in French before the engine's own words.
    enum class Doing { Reading, Writing, Beginning, Committing };
    // Raises the error of a failed statement: a French sentence saying what
    // failed, then the engine's message; or ours in French alone when the
    // database was busy for longer than the busy timeout, when the server
    // stopped a statement that ran too long, or when the server did not
    // answer at all; or, when `statement` names a table or a column that
    // the database lacks, a sentence naming the table. A server connection
    // found broken is released, so that the next statement connects again.
    [[noreturn]] void failStatement(const QSqlError &error, Doing doing = Doing::Reading,
                                    const QString &statement = QString());
    // The engine's own words of an error, without the generic sentence Qt's
    // driver adds after them ("Unable to fetch row", ...).
    static QString engineMessage(const QSqlError &error);

    // Bounds the wait for the server's answer while it lives (nothing on a
    // file): past the statement timeout and a grace, the connection is
    // given up. Every round trip of a statement runs under one.
    class AnswerWatch;
    // True when the last round trip failed: an error, or no answer in time.
    bool failed(const QSqlError &error) const;

    // Transactions. Nested calls join the outermost one. A read
    // transaction sees one state of the database from its first statement
    // to its end: SQLite holds its shared lock that long; on a server it
    // is REPEATABLE READ, READ ONLY.
    enum class Access { Read, Write };
    void beginTransaction(Access access = Access::Write);
    void commit();
    void rollback();
    bool inTransaction() const { return m_transactionDepth > 0; }

    // On a server, told with a French sentence when the end of a
    // transaction (COMMIT, ROLLBACK) has waited WaitNoticeMs for the
    // server's answer, and with an empty text once the wait is over: a
    // window says it on its status line, a tool on its standard error.
    static constexpr int WaitNoticeMs = 1000;
    void setWaitNotice(std::function<void(const QString &)> notice) { m_waitNotice = std::move(notice); }

    // Busy timeout in milliseconds: another process writes while we read,
    // and a momentary lock must wait instead of failing. On a server it is
    // the lock timeout of every statement.
    static constexpr int BusyTimeoutMs = 10000;
    void setBusyTimeout(int milliseconds);
    int busyTimeout() const { return m_busyTimeoutMs; }

    // On a server: how long one statement may run (the session's own limit,
    // or ServerLimits::StatementTimeoutMs). Known once connected.
    int statementTimeout() const { return m_statementTimeoutMs; }
    // A server session that reads the readers' views: the levels, links
    // and facts it sees are its own level's alone.
    bool readsOwnLevelOnly() const { return m_reader; }

private:
    void open();
    void openServer();
    void applyBusyTimeout();
    bool isBusy(const QSqlError &error) const;
    QString busyMessage(const QString &engine) const;
    QSqlError endTransaction(QSqlDatabase &db, bool commit);

    QString m_fileName;
    QString m_connectionName;
    StatementSpy m_spy;
    std::function<void(const QString &)> m_waitNotice;
    int m_transactionDepth = 0;
    int m_busyTimeoutMs = BusyTimeoutMs;
    int m_statementTimeoutMs = 0;
    bool m_reader = false;
    quint64 m_serial = 0;
    // The last round trip found the server silent.
    bool m_silent = false;
};

class TABSDatabase::AnswerWatch
{
public:
    AnswerWatch(TABSDatabase *db, const QSqlDatabase &connection);
    ~AnswerWatch();
    AnswerWatch(const AnswerWatch &) = delete;
    AnswerWatch &operator=(const AnswerWatch &) = delete;

private:
    TABSDatabase *m_db;
    ServerWatch m_watch;
};

// Runs the statements of its scope in one transaction, so that they all see
// one state of the database even while another process writes. A read
// transaction is committed when it goes out of scope; nothing to undo.
class TReadTransaction
{
public:
    explicit TReadTransaction(TABSDatabase *db);
    ~TReadTransaction();
    TReadTransaction(const TReadTransaction &) = delete;
    TReadTransaction &operator=(const TReadTransaction &) = delete;

private:
    TABSDatabase *m_db;
};

// A write transaction: commit() makes the changes; leaving the scope without
// commit() (an exception, say) rolls every change back.
class TWriteTransaction
{
public:
    explicit TWriteTransaction(TABSDatabase *db);
    ~TWriteTransaction();
    TWriteTransaction(const TWriteTransaction &) = delete;
    TWriteTransaction &operator=(const TWriteTransaction &) = delete;

    void commit();

private:
    TABSDatabase *m_db;
    bool m_done = false;
};
