#pragma once

#include <QList>
#include <QPair>
#include <QString>

// How long the program waits for a PostgreSQL server, all in one place.
// Each value is a default: the address may set another (libpq's parameters
// connect_timeout, keepalives, keepalives_idle, keepalives_interval,
// keepalives_count, tcp_user_timeout; and options=-c statement_timeout=...),
// and so may the role, the database or the server's configuration for the
// statement timeout.
namespace ServerLimits {

// Seconds libpq waits for a connection to be made, per host.
constexpr int ConnectTimeoutSeconds = 10;

// TCP keepalives: after this many seconds of silence on the connection the
// system sends a probe, then one every KeepaliveIntervalSeconds, and gives
// the connection up after KeepaliveCount unanswered ones.
constexpr int KeepaliveIdleSeconds = 15;
constexpr int KeepaliveIntervalSeconds = 5;
constexpr int KeepaliveCount = 3;

// Milliseconds that data sent to the server may stay unacknowledged before
// the system gives the connection up (a network path that died while a
// statement was being sent).
constexpr int TcpUserTimeoutMs = 30000;

// Milliseconds one statement of the program may run on the server, where
// the session has no limit of its own.
constexpr int StatementTimeoutMs = 30000;

// The repair's maintenance of the six tables runs longer than a statement
// of the windows.
constexpr int MaintenanceTimeoutMs = 15 * 60 * 1000;

// What the program waits for an answer beyond the statement timeout: the
// time for the server to stop the statement and say so. Past it, the server
// is taken for silent (its process stopped, the network path gone).
constexpr int AnswerGraceMs = 5000;

// Milliseconds the program waits for the answer to a statement, given the
// statement timeout of its session.
constexpr int answerLimitMs(int statementTimeoutMs)
{
    return (statementTimeoutMs > 0 ? statementTimeoutMs : StatementTimeoutMs) + AnswerGraceMs;
}

// Appends to libpq connection parameters (keyword, value) the defaults
// above for every keyword they leave out.
void addConnectionDefaults(QList<QPair<QString, QString>> &parameters);

} // namespace ServerLimits
