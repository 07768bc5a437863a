#pragma once

#include <QSqlDatabase>
#include <QString>

class ServerAddress;
class QSqlError;
struct pg_conn;

// Qt connections to a PostgreSQL server, shared by the program's connection
// and the server's maintenance.
namespace ServerConnection {

// Adds and opens the Qt connection `connectionName` (QPSQL) to `address`,
// with every statement waiting at most `lockTimeoutMs` for a lock. Raises
// EDatabaseError naming the server (never a password) when it cannot be
// reached; the connection is then removed again.
QSqlDatabase open(const QString &connectionName, const ServerAddress &address, int lockTimeoutMs);

// Sets how long a statement waits for a lock held by another session.
bool setLockTimeout(QSqlDatabase &db, int milliseconds);

// libpq's handle behind an open QPSQL connection, or null.
pg_conn *handle(const QSqlDatabase &db);

// True when the connection to the server is gone (server restarted,
// session ended, network cut): only a new connection can go on. Called
// after an error; costs one round trip when the connection looks alive.
bool lost(const QSqlDatabase &db);

// The message of a server's error, on one line, with its SQLSTATE.
QString errorText(const QSqlError &error);

// True for an error of a statement that waited too long for a lock.
bool isLockTimeout(const QSqlError &error);

} // namespace ServerConnection
