#include "store/tabsdatabase.h"

#include "store/dberror.h"
#include "store/groupsums.h"
#include "store/serveraddress.h"
#include "store/serverconnection.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QLocale>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

namespace {

QAtomicInt connectionCounter;

// SQLite file URIs decode percent escapes and stop the path at '?' and '#'.
QString sqliteUri(const QString &path)
{
    QString escaped;
    for (QChar c : path) {
        if (c == QLatin1Char('%') || c == QLatin1Char('?') || c == QLatin1Char('#'))
            escaped += QStringLiteral("%%1").arg(int(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return QStringLiteral("file:") + escaped + QStringLiteral("?mode=rw");
}

} // namespace

TABSDatabase::TABSDatabase()
    : m_connectionName(QStringLiteral("tdb-%1").arg(connectionCounter.fetchAndAddRelaxed(1)))
{
}

TABSDatabase::~TABSDatabase()
{
    close();
}

void TABSDatabase::SetDatabaseFileName(const QString &fileName)
{
    if (fileName == m_fileName)
        return;
    close();
    m_fileName = fileName;
}

bool TABSDatabase::isServer() const
{
    return ServerAddress::isServerName(m_fileName);
}

bool TABSDatabase::isOpen() const
{
    return QSqlDatabase::contains(m_connectionName)
        && QSqlDatabase::database(m_connectionName, false).isOpen();
}

QSqlDatabase TABSDatabase::connection()
{
    // Every statement passes here: one look-up of the connection when it
    // is open (an unknown name gives an invalid, closed one). The copy is
    // released before open() removes the connection.
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (db.isOpen())
            return db;
    }
    open();
    return QSqlDatabase::database(m_connectionName, false);
}

void TABSDatabase::open()
{
    close();
    if (m_fileName.isEmpty())
        throw EDatabaseError(QStringLiteral("Aucune base de données n'est indiquée."));
    if (isServer()) {
        openServer();
        return;
    }

    const QFileInfo info(m_fileName);
    if (!info.exists())
        throw EDatabaseError(QStringLiteral("Base de données introuvable : %1").arg(m_fileName));
    if (!info.isFile())
        throw EDatabaseError(QStringLiteral("Ce chemin n'est pas un fichier de base de données : %1").arg(m_fileName));

    ++m_serial;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
        db.setDatabaseName(sqliteUri(m_fileName));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(m_busyTimeoutMs));
        if (!db.open()) {
            const QString why = db.lastError().text();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connectionName);
            throw EDatabaseError(QStringLiteral("Impossible d'ouvrir la base de données %1 : %2").arg(m_fileName, why));
        }

        // SQLite reads the file only at the first statement: make sure now
        // that it is a database, with a read that writes nothing.
        QSqlQuery probe(db);
        if (!probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
            const QString why = probe.lastError().text();
            probe = QSqlQuery();
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connectionName);
            throw EDatabaseError(QStringLiteral("Le fichier %1 n'est pas une base de données utilisable : %2").arg(m_fileName, why));
        }
        probe = QSqlQuery();

        // The aggregate that sums a refresh's figures in one pass.
        const QVariant handle = db.driver()->handle();
        sqlite3 *raw = qstrcmp(handle.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3 *const *>(handle.constData())
                                                                     : nullptr;
        if (!raw || !GroupSums::install(raw)) {
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connectionName);
            throw EDatabaseError(QStringLiteral("Impossible de préparer la base de données %1.").arg(m_fileName));
        }
    }
}

void TABSDatabase::openServer()
{
    ServerConnection::open(m_connectionName, ServerAddress::parse(m_fileName), m_busyTimeoutMs);
}

void TABSDatabase::setBusyTimeout(int milliseconds)
{
    m_busyTimeoutMs = milliseconds;
    if (isOpen())
        applyBusyTimeout();
}

void TABSDatabase::applyBusyTimeout()
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    const bool done = isServer()
        ? ServerConnection::setLockTimeout(db, m_busyTimeoutMs)
        : QSqlQuery(db).exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(m_busyTimeoutMs));
    if (!done)
        throw EDatabaseError(QStringLiteral("Le délai d'attente de la base n'a pas pu être changé."));
}

void TABSDatabase::failStatement(const QSqlError &error)
{
    const bool server = isServer();
    const QString message = server ? ServerConnection::errorText(error) : error.text();

    const int sqliteCode = error.nativeErrorCode().toInt() & 0xff;
    const bool busy = server ? ServerConnection::isLockTimeout(error) : (sqliteCode == 5 || sqliteCode == 6);
    if (busy) {
        const QLocale french(QLocale::French, QLocale::France);
        throw EDatabaseError(QStringLiteral("La base de données est occupée par une autre opération depuis plus de "
                                            "%1 s : réessayez dans un instant. (%2)")
                                 .arg(french.toString(m_busyTimeoutMs / 1000.0), message));
    }
    if (server && ServerConnection::lost(QSqlDatabase::database(m_connectionName, false))) {
        const QString where = ServerAddress::parse(m_fileName).display();
        close();
        throw EDatabaseError(QStringLiteral("La connexion au serveur PostgreSQL %1 a été perdue (%2). Elle sera "
                                            "rétablie à la prochaine opération.")
                                 .arg(where, message));
    }
    throw EDatabaseError(message);
}

void TABSDatabase::close()
{
    if (!QSqlDatabase::contains(m_connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
    m_transactionDepth = 0;
}

void TABSDatabase::beginTransaction(Access access)
{
    if (m_transactionDepth++ > 0)
        return;
    ++m_transactionSerial;
    QSqlError error;
    {
        QSqlDatabase db = connection();
        if (!db.transaction()) {
            error = db.lastError();
        } else if (isServer() && access == Access::Read) {
            // One snapshot for every statement of the transaction.
            QSqlQuery query(db);
            if (!query.exec(QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY"))) {
                error = query.lastError();
                query = QSqlQuery();
                db.rollback();
            }
        }
    }
    if (error.isValid()) {
        m_transactionDepth = 0;
        failStatement(error);
    }
}

void TABSDatabase::commit()
{
    if (m_transactionDepth == 0)
        return;
    if (--m_transactionDepth > 0)
        return;
    QSqlError error;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (!db.commit()) {
            error = db.lastError();
            db.rollback();
        }
    }
    if (error.isValid())
        failStatement(error);
}

void TABSDatabase::rollback()
{
    if (m_transactionDepth == 0)
        return;
    if (--m_transactionDepth > 0)
        return;
    if (!QSqlDatabase::contains(m_connectionName))
        return;
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (db.isOpen())
        db.rollback();
}

TReadTransaction::TReadTransaction(TABSDatabase *db) : m_db(db)
{
    m_db->beginTransaction(TABSDatabase::Access::Read);
}

TReadTransaction::~TReadTransaction()
{
    // Reading changed nothing: ending it can only release the snapshot.
    m_db->rollback();
}

TWriteTransaction::TWriteTransaction(TABSDatabase *db) : m_db(db)
{
    m_db->beginTransaction();
}

TWriteTransaction::~TWriteTransaction()
{
    if (!m_done)
        m_db->rollback();
}

void TWriteTransaction::commit()
{
    m_done = true;
    m_db->commit();
}
