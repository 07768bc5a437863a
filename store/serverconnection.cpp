#include "store/serverconnection.h"

#include "store/dberror.h"
#include "store/serveraddress.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

#include <libpq-fe.h>

namespace ServerConnection {

namespace {

QString lockTimeout(int milliseconds)
{
    return QStringLiteral("SET lock_timeout = %1").arg(qMax(0, milliseconds));
}

} // namespace

QSqlDatabase open(const QString &connectionName, const ServerAddress &address, int lockTimeoutMs)
{
    const auto discard = [&connectionName](QSqlDatabase &db) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    };

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    if (!db.isValid()) {
        discard(db);
        throw EDatabaseError(QStringLiteral("Le pilote PostgreSQL de Qt (QPSQL) n'est pas installé : impossible "
                                            "d'ouvrir %1.")
                                 .arg(address.display()));
    }
    // Every parameter goes through the connection string, where libpq
    // reads it exactly as it would read the URI.
    db.setConnectOptions(address.connectionString());
    if (!db.open()) {
        const QString why = db.lastError().databaseText().simplified();
        discard(db);
        throw EDatabaseError(QStringLiteral("Impossible de se connecter au serveur PostgreSQL %1 : %2")
                                 .arg(address.display(), why));
    }

    // Statements hold quotes doubled, never backslashes: make sure the
    // server reads them that way whatever its settings.
    QSqlQuery setup(db);
    for (const QString &sql : {QStringLiteral("SET standard_conforming_strings = on"), lockTimeout(lockTimeoutMs)}) {
        if (!setup.exec(sql)) {
            const QString why = setup.lastError().databaseText().trimmed();
            setup = QSqlQuery();
            discard(db);
            throw EDatabaseError(QStringLiteral("Le serveur PostgreSQL %1 refuse la connexion : %2")
                                     .arg(address.display(), why));
        }
    }
    return db;
}

bool setLockTimeout(QSqlDatabase &db, int milliseconds)
{
    return QSqlQuery(db).exec(lockTimeout(milliseconds));
}

pg_conn *handle(const QSqlDatabase &db)
{
    // Not isOpen(): the driver reports a broken connection as closed, and
    // its handle is what tells.
    if (!db.isValid() || !db.driver())
        return nullptr;
    const QVariant value = db.driver()->handle();
    // The driver's type is registered under the name of the struct behind
    // libpq's typedef.
    if (!value.isValid()
        || (qstrcmp(value.typeName(), "pg_conn*") != 0 && qstrcmp(value.typeName(), "PGconn*") != 0))
        return nullptr;
    return *static_cast<PGconn *const *>(value.constData());
}

bool lost(const QSqlDatabase &db)
{
    PGconn *connection = handle(db);
    if (!connection)
        return false;
    if (PQstatus(connection) == CONNECTION_BAD)
        return true;
    // libpq may not have seen the end of the connection yet (the server
    // sends its reason, then closes): one empty round trip tells.
    PQclear(PQexec(connection, ""));
    return PQstatus(connection) == CONNECTION_BAD;
}

QString errorText(const QSqlError &error)
{
    // The server's first line, without its "ERROR:" prefix, and its
    // SQLSTATE; the lines after it repeat the statement.
    QString text = error.databaseText().trimmed().section(QLatin1Char('\n'), 0, 0).trimmed();
    static const QRegularExpression severity(QStringLiteral("^(ERREUR|ERROR|FATAL|PANIC) *: *"));
    text.remove(severity);
    if (text.isEmpty())
        return error.text();
    return error.nativeErrorCode().isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, error.nativeErrorCode());
}

bool isLockTimeout(const QSqlError &error)
{
    // lock_not_available
    return error.nativeErrorCode() == QLatin1String("55P03");
}

} // namespace ServerConnection
