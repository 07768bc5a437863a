#pragma once

#include <QSqlDatabase>
#include <QString>

#include <functional>

class ServerAddress;
class QSqlError;
struct pg_conn;

// Qt connections to a PostgreSQL server, shared by the program's connection
// and the server's maintenance.
namespace ServerConnection {

// The limits a session puts on its statements.
struct SessionLimits
{
    // How long a statement waits for a lock held by another session.
    int lockTimeoutMs = 0;
    // How long a statement may run: the session's own limit when it has
    // one (from the role, the database, the server's configuration or the
    // address's options=-c statement_timeout=...), else this one; 0 leaves
    // the session as it is. open() sets it to the limit in force (0: none).
    int statementTimeoutMs = 0;
    // Set by open(): the session reads the readers' views (its own
    // level's facts and links alone).
    bool reader = false;
};

// Adds and opens the Qt connection `connectionName` (QPSQL) to `address`,
// with its statements limited as `limits` says. Raises EDatabaseError
// naming the server (never a password) when it cannot be reached or does
// not answer; the connection is then removed again.
QSqlDatabase open(const QString &connectionName, const ServerAddress &address, SessionLimits &limits);
// The same with a lock timeout alone (tools, maintenance, tests).
QSqlDatabase open(const QString &connectionName, const ServerAddress &address, int lockTimeoutMs);

// The statement that makes a reader's session read the views of the
// readers' schema (orvalis_lecture) in place of the tables of the same
// names, when the session may use that schema and may not read the facts'
// table; any other session is left as it is.
QString readerSearchPath();

// Sets the statement timeout of the session; false when the server refuses.
bool setStatementTimeout(QSqlDatabase &db, int milliseconds);

// Sets how long a statement waits for a lock held by another session.
bool setLockTimeout(QSqlDatabase &db, int milliseconds);

// libpq's handle behind an open QPSQL connection, or null.
pg_conn *handle(const QSqlDatabase &db);

// True when the connection to the server is gone (server restarted,
// session ended, network cut): only a new connection can go on. Called
// after an error; costs one round trip when the connection looks alive.
bool lost(const QSqlDatabase &db);

// Runs `sql`, a statement without rows (COMMIT, ROLLBACK), on the
// connection and waits for the server's answer; if none has come after
// `noticeMs`, tells `waiting` (true), and again (false) once it has come or
// the connection has gone. Returns the server's error, or an invalid one.
QSqlError execTelling(const QSqlDatabase &db, const char *sql, int noticeMs, const std::function<void(bool)> &waiting);

// The message of a server's error, on one line, with its SQLSTATE.
QString errorText(const QSqlError &error);

// True for an error of a statement that waited too long for a lock.
bool isLockTimeout(const QSqlError &error);
// True for a statement the server stopped: it ran past the statement
// timeout (or was cancelled).
bool isStatementTimeout(const QSqlError &error);

// Seconds in French ("10", "0,5").
QString seconds(int milliseconds);

// The French message of a statement the server stopped at its time limit.
QString statementTimeoutMessage(int limitMs, const QString &serverText);

// The French message of a server that did not answer within `limitMs`.
QString silentServerMessage(const QString &display, int limitMs, bool duringCommit);

} // namespace ServerConnection
