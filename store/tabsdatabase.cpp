#include "store/tabsdatabase.h"

#include "store/dberror.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

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

bool TABSDatabase::isOpen() const
{
    return QSqlDatabase::contains(m_connectionName)
        && QSqlDatabase::database(m_connectionName, false).isOpen();
}

QSqlDatabase TABSDatabase::connection()
{
    if (!isOpen())
        open();
    return QSqlDatabase::database(m_connectionName, false);
}

void TABSDatabase::open()
{
    close();
    if (m_fileName.isEmpty())
        throw EDatabaseError(QStringLiteral("Aucune base de données n'est indiquée."));

    const QFileInfo info(m_fileName);
    if (!info.exists())
        throw EDatabaseError(QStringLiteral("Base de données introuvable : %1").arg(m_fileName));
    if (!info.isFile())
        throw EDatabaseError(QStringLiteral("Ce chemin n'est pas un fichier de base de données : %1").arg(m_fileName));

    ++m_serial;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
        db.setDatabaseName(sqliteUri(m_fileName));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
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
    }
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

void TABSDatabase::beginTransaction()
{
    if (m_transactionDepth++ > 0)
        return;
    QSqlDatabase db = connection();
    if (!db.transaction()) {
        m_transactionDepth = 0;
        throw EDatabaseError(db.lastError().text());
    }
}

void TABSDatabase::commit()
{
    if (m_transactionDepth == 0)
        return;
    if (--m_transactionDepth > 0)
        return;
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (!db.commit()) {
        const QString why = db.lastError().text();
        db.rollback();
        throw EDatabaseError(why);
    }
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
    m_db->beginTransaction();
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
