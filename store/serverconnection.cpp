#include "store/serverconnection.h"

#include "store/dberror.h"
#include "store/serveraddress.h"
#include "store/serverlimits.h"
#include "store/serverwatch.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

#include <libpq-fe.h>

#include <cerrno>

#include <poll.h>

namespace ServerConnection {

namespace {

QString lockTimeout(int milliseconds)
{
    return QStringLiteral("SET lock_timeout = %1").arg(qMax(0, milliseconds));
}

} // namespace

QString readerSearchPath()
{
    return QStringLiteral(
        "SELECT pg_catalog.set_config('search_path', 'orvalis_lecture, ' || pg_catalog.current_setting('search_path'), "
        "false) FROM pg_catalog.pg_namespace n WHERE n.nspname = 'orvalis_lecture' "
        "AND pg_catalog.has_schema_privilege(n.oid, 'USAGE') "
        "AND NOT coalesce(pg_catalog.has_table_privilege(pg_catalog.to_regclass('data'), 'SELECT'), false)");
}

QSqlDatabase open(const QString &connectionName, const ServerAddress &address, SessionLimits &limits)
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

    QString why;
    QString timedOut;
    bool silent = false;
    {
        const int limitMs = ServerLimits::answerLimitMs(limits.statementTimeoutMs);
        ServerWatch watch(handle(db), limitMs);
        QSqlQuery setup(db);
        // Statements hold quotes doubled, never backslashes: make sure the
        // server reads them that way whatever its settings.
        bool done = setup.exec(QStringLiteral("SET standard_conforming_strings = on"))
            && setup.exec(lockTimeout(limits.lockTimeoutMs));
        if (done && limits.statementTimeoutMs > 0) {
            // A limit the role, the database, the server or the address
            // set stands; without one, ours.
            done = setup.exec(QStringLiteral("SELECT setting FROM pg_settings WHERE name = 'statement_timeout'"))
                && setup.next();
            const int own = done ? setup.value(0).toInt() : 0;
            if (own > 0)
                limits.statementTimeoutMs = own;
            else if (done)
                done = setup.exec(QStringLiteral("SET statement_timeout = %1").arg(limits.statementTimeoutMs));
        }
        // A reader may not read the tables of the facts, the levels and
        // their links: he reads his own level's rows through the views of
        // the same names the deployment gives the readers.
        done = done && setup.exec(readerSearchPath());
        limits.reader = done && setup.next();
        if (!done) {
            const QSqlError error = setup.lastError();
            why = errorText(error);
            if (why.isEmpty())
                why = QStringLiteral("la préparation de la session a échoué sans message");
            // A limit of the role or the address shorter than the set-up:
            // said as any statement stopped by it is, with the limit the
            // session has.
            if (isStatementTimeout(error)) {
                QSqlQuery limit(db);
                if (limit.exec(QStringLiteral("SELECT setting FROM pg_catalog.pg_settings WHERE name = 'statement_timeout'"))
                    && limit.next() && limit.value(0).toInt() > 0)
                    limits.statementTimeoutMs = limit.value(0).toInt();
                timedOut = statementTimeoutMessage(limits.statementTimeoutMs, why);
            }
        }
        setup = QSqlQuery();
        silent = watch.stop();
        if (silent)
            why = silentServerMessage(address.display(), limitMs, false);
    }
    if (!why.isEmpty()) {
        discard(db);
        if (silent)
            throw EDatabaseError(why);
        if (!timedOut.isEmpty())
            throw EDatabaseError(timedOut);
        throw EDatabaseError(QStringLiteral("Le serveur PostgreSQL %1 refuse la connexion : %2").arg(address.display(), why));
    }
    return db;
}

QSqlDatabase open(const QString &connectionName, const ServerAddress &address, int lockTimeoutMs)
{
    SessionLimits limits;
    limits.lockTimeoutMs = lockTimeoutMs;
    return open(connectionName, address, limits);
}

bool setStatementTimeout(QSqlDatabase &db, int milliseconds)
{
    return QSqlQuery(db).exec(QStringLiteral("SET statement_timeout = %1").arg(qMax(0, milliseconds)));
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
    // sends its reason, then closes): one empty round trip tells. A server
    // that does not answer even that is as good as gone.
    ServerWatch watch(connection, ServerLimits::AnswerGraceMs);
    PQclear(PQexec(connection, ""));
    return watch.stop() || PQstatus(connection) == CONNECTION_BAD;
}

QSqlError execTelling(const QSqlDatabase &db, const char *sql, int noticeMs, const std::function<void(bool)> &waiting)
{
    PGconn *connection = handle(db);
    const auto failure = [connection](PGresult *result) {
        const char *state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        return QSqlError(QString(),
                         QString::fromUtf8(result ? PQresultErrorMessage(result) : PQerrorMessage(connection)).trimmed(),
                         QSqlError::TransactionError, QString::fromLatin1(state ? state : ""));
    };
    if (!connection || !PQsendQuery(connection, sql))
        return connection ? failure(nullptr) : QSqlError(QString(), QStringLiteral("connection closed"), QSqlError::ConnectionError);
    QElapsedTimer clock;
    clock.start();
    bool told = false;
    while (PQisBusy(connection)) {
        pollfd socket{PQsocket(connection), POLLIN, 0};
        const int timeout = told ? 1000 : int(qMax<qint64>(0, noticeMs - clock.elapsed()));
        const int ready = ::poll(&socket, 1, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && !PQconsumeInput(connection))
            break; // gone: the results below say so
        if (!told && clock.elapsed() >= noticeMs && waiting) {
            told = true;
            waiting(true);
        }
    }
    QSqlError error;
    while (PGresult *result = PQgetResult(connection)) {
        if (PQresultStatus(result) != PGRES_COMMAND_OK && !error.isValid())
            error = failure(result);
        PQclear(result);
    }
    if (!error.isValid() && PQstatus(connection) == CONNECTION_BAD)
        error = failure(nullptr);
    if (told)
        waiting(false);
    return error;
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

bool isStatementTimeout(const QSqlError &error)
{
    // query_canceled
    return error.nativeErrorCode() == QLatin1String("57014");
}

QString seconds(int milliseconds)
{
    return QLocale(QLocale::French, QLocale::France).toString(milliseconds / 1000.0);
}

QString statementTimeoutMessage(int limitMs, const QString &serverText)
{
    return QStringLiteral("La base de données a interrompu l'opération, plus longue que les %1 s accordées à chaque "
                          "instruction : réessayez dans un instant. (%2)")
        .arg(seconds(limitMs), serverText);
}

QString silentServerMessage(const QString &display, int limitMs, bool duringCommit)
{
    const QString what = duringCommit
        ? QStringLiteral("La modification qu'il devait enregistrer a pu être faite ou non : vérifiez-la.")
        : QStringLiteral("Rien n'a été enregistré.");
    return QStringLiteral("Le serveur ne répond plus : %1 n'a pas répondu en %2 s. %3 La connexion sera rétablie à la "
                          "prochaine opération.")
        .arg(display, seconds(limitMs), what);
}

} // namespace ServerConnection
