#pragma once

#include <QList>
#include <QPair>
#include <QString>

// A database on a PostgreSQL server, named either way libpq names it and
// read by libpq itself (PQconninfoParse):
//
//   postgresql://user@host:port/dbname?param=value&...
//   postgres://... (the same)
//   host=... port=... dbname=... user=... param=value (libpq's other form)
//
// Everything is optional, as for libpq: a missing host means the local
// socket, a missing port 5432, a missing user or database the account's
// name. Several hosts may be given, separated by commas, IPv6 addresses in
// brackets. Parameters are libpq's (sslmode, target_session_attrs, ...);
// any other is refused.
//
// A password is refused: a command line can be read by every user of the
// machine. libpq finds it itself in PGPASSWORD or ~/.pgpass. No message
// repeats a value of the address, only parameters' names.
class ServerAddress
{
public:
    // True when `name` names a server (either form) rather than a file.
    static bool isServerName(const QString &name);

    // Raises EDatabaseError (in French, never repeating a password) when
    // the URI cannot be used.
    static ServerAddress parse(const QString &name);

    // The connection parameters in libpq's keywords, in order: host, port,
    // dbname, user, then the other parameters given (in libpq's order of
    // its keywords), then our defaults for what
    // the URI leaves out (the time limits of ServerLimits, the program's
    // name).
    const QList<QPair<QString, QString>> &parameters() const { return m_parameters; }
    QString parameter(const QString &keyword) const;

    // The same parameters as a libpq connection string, each value quoted.
    QString connectionString() const;

    // The server and database for messages: postgresql://user@host:port/dbname,
    // without the query parameters.
    QString display() const { return m_display; }

    // The same address for another user or database (tests, tools).
    QString withUser(const QString &user) const;
    QString withDatabase(const QString &database) const;

private:
    QString rebuild(const QString &user, const QString &database) const;
    QString withOptions(const QString &uri) const;

    QList<QPair<QString, QString>> m_parameters;
    QList<QPair<QString, QString>> m_options; // given, beside host, port, dbname and user
    QString m_scheme;
    QString m_display;
};
