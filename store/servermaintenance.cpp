#include "store/servermaintenance.h"

#include "store/dberror.h"
#include "store/schema.h"
#include "store/serveraddress.h"
#include "store/serverconnection.h"
#include "store/serverlimits.h"
#include "store/serverwatch.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include <libpq-fe.h>

namespace ServerMaintenance {

namespace {

QAtomicInt maintenanceConnections;

// Collects the warnings the server sends while a statement runs, in place
// of the driver's own notice handling (which only logs them).
class WarningCollector
{
public:
    explicit WarningCollector(PGconn *connection) : m_connection(connection)
    {
        if (m_connection)
            m_previous = PQsetNoticeReceiver(m_connection, &WarningCollector::receive, this);
    }
    ~WarningCollector()
    {
        if (m_connection)
            PQsetNoticeReceiver(m_connection, m_previous, nullptr);
    }
    WarningCollector(const WarningCollector &) = delete;
    WarningCollector &operator=(const WarningCollector &) = delete;

    const QStringList &warnings() const { return m_warnings; }

private:
    static void receive(void *self, const PGresult *notice)
    {
        auto *collector = static_cast<WarningCollector *>(self);
        const char *severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
        if (!severity)
            severity = PQresultErrorField(notice, PG_DIAG_SEVERITY);
        if (severity && qstrcmp(severity, "WARNING") == 0) {
            const char *text = PQresultErrorField(notice, PG_DIAG_MESSAGE_PRIMARY);
            collector->m_warnings << QString::fromUtf8(text ? text : PQresultErrorMessage(notice)).trimmed();
        }
    }

    // The driver installs a notice processor, not a receiver: the receiver
    // it returns is libpq's default one, which ignores its argument.
    PGconn *m_connection;
    PQnoticeReceiver m_previous = nullptr;
    QStringList m_warnings;
};

} // namespace

QString vacuumAnalyze(const ServerAddress &address, int lockTimeoutMs)
{
    const QString name = QStringLiteral("maintenance-%1").arg(maintenanceConnections.fetchAndAddRelaxed(1));
    QString failure;
    QString silent;
    {
        QSqlDatabase db = ServerConnection::open(name, address, lockTimeoutMs);
        if (!ServerConnection::handle(db)) {
            failure = QStringLiteral("la connexion au serveur ne permet pas de suivre ses avertissements ; "
                                     "l'entretien n'a pas été lancé.");
        } else {
            WarningCollector collector(ServerConnection::handle(db));
            QSqlQuery query(db);
            // Longer than a statement of the windows, and bounded all the
            // same.
            const int limitMs = ServerLimits::answerLimitMs(ServerLimits::MaintenanceTimeoutMs);
            ServerWatch watch(ServerConnection::handle(db), limitMs);
            // Outside any transaction: VACUUM cannot run inside one.
            const bool done = ServerConnection::setStatementTimeout(db, ServerLimits::MaintenanceTimeoutMs)
                && query.exec(QStringLiteral("VACUUM ANALYZE %1").arg(Schema::tableNames().join(QStringLiteral(", "))));
            if (watch.stop())
                silent = ServerConnection::silentServerMessage(address.display(), limitMs, false);
            else if (!done)
                failure = QStringLiteral("le serveur a refusé l'entretien des tables : %1")
                              .arg(ServerConnection::errorText(query.lastError()));
            else if (!collector.warnings().isEmpty())
                failure = QStringLiteral("le serveur n'a pas fait l'entretien de toutes les tables (%1). Seul le "
                                         "propriétaire des tables ou de la base peut les entretenir : lancez la "
                                         "réparation avec ce rôle.")
                              .arg(collector.warnings().join(QStringLiteral(" ; ")));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (!silent.isEmpty())
        throw EDatabaseError(silent);
    if (!failure.isEmpty())
        throw EDatabaseError(QStringLiteral("Base %1 : %2").arg(address.display(), failure));
    return QStringLiteral("Entretien des six tables terminé sur le serveur %1 (VACUUM ANALYZE).")
        .arg(address.display());
}

} // namespace ServerMaintenance
