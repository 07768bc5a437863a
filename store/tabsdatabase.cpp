#include "store/tabsdatabase.h"

#include "store/sqlitehandle.h"

#include "store/dberror.h"
#include "store/schema.h"
#include "store/groupsums.h"
#include "store/serveraddress.h"
#include "store/serverconnection.h"
#include "store/serverlimits.h"

#include <QAtomicInt>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>


namespace {

QAtomicInt connectionCounter;

// Why the file of a database cannot be reached or read, in French; empty
// when nothing keeps SQLite from trying.
QString unreachableFile(const QString &fileName)
{
    const QByteArray path = QFile::encodeName(fileName);
    struct stat info;
    if (::stat(path.constData(), &info) != 0) {
        switch (errno) {
        case ELOOP:
            return QStringLiteral("Le chemin de la base de données %1 tourne en rond : ses liens symboliques "
                                  "renvoient l'un à l'autre.")
                .arg(fileName);
        case ENAMETOOLONG:
            return QStringLiteral("Le chemin de la base de données %1 est trop long pour le système.").arg(fileName);
        case EACCES:
            return QStringLiteral("Les droits d'un dossier du chemin ne permettent pas d'atteindre la base de "
                                  "données %1 (il faut le droit de traverser chaque dossier).")
                .arg(fileName);
        default:
            return QStringLiteral("Base de données introuvable : %1").arg(fileName);
        }
    }
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("Ce chemin n'est pas un fichier de base de données : %1").arg(fileName);
    if (::access(path.constData(), R_OK) != 0 && errno == EACCES)
        return QStringLiteral("Les droits du fichier %1 ne permettent pas de le lire : il faut le droit de lecture "
                              "sur la base de données.")
            .arg(fileName);
    return QString();
}

// What an engine's "readonly database" at the first read means: SQLite
// must write beside the file before it can read it.
QString readOnlyCause(int extendedCode, const QString &fileName)
{
    const QString folder = QFileInfo(fileName).absolutePath();
    switch (extendedCode) {
    case SQLITE_READONLY_ROLLBACK:
        return QStringLiteral("La base de données %1 a un journal inachevé (%1-journal) qu'il faut annuler avant "
                              "de la lire, ce que vos droits ne permettent pas : il faut le droit d'écriture sur le "
                              "fichier, sur son journal et sur le dossier %2.")
            .arg(fileName, folder);
    case SQLITE_READONLY_DIRECTORY:
    case SQLITE_READONLY_CANTINIT:
    case SQLITE_READONLY_CANTLOCK:
    case SQLITE_READONLY_RECOVERY:
        return QStringLiteral("Les droits du dossier %2 ne permettent pas d'y écrire : la base de données %1, en mode "
                              "WAL, doit y tenir ses fichiers -wal et -shm (il faut le droit d'écriture sur le "
                              "dossier).")
            .arg(fileName, folder);
    default:
        return QString();
    }
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

    const QString unreachable = unreachableFile(m_fileName);
    if (!unreachable.isEmpty())
        throw EDatabaseError(unreachable);

    ++m_serial;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
        db.setDatabaseName(sqliteFileUri(m_fileName, QStringLiteral("rw")));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(m_busyTimeoutMs));
        if (!db.open()) {
            const QString why = engineMessage(db.lastError());
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connectionName);
            throw EDatabaseError(QStringLiteral("Impossible d'ouvrir la base de données %1 : %2").arg(m_fileName, why));
        }

        // SQLite reads the file only at the first statement: make sure now
        // that it is a database, with a read that writes nothing.
        QSqlQuery probe(db);
        if (!probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
            const QSqlError error = probe.lastError();
            sqlite3 *raw = sqliteHandle(db);
            const QString readOnly = readOnlyCause(raw ? sqlite3_extended_errcode(raw) : 0, m_fileName);
            probe = QSqlQuery();
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connectionName);
            // Another program holding the file is no sign that the file is
            // not a database.
            if (isBusy(error))
                throw EDatabaseError(busyMessage(engineMessage(error)));
            if (!readOnly.isEmpty())
                throw EDatabaseError(readOnly + QStringLiteral(" (%1)").arg(engineMessage(error)));
            throw EDatabaseError(QStringLiteral("Le fichier %1 n'est pas une base de données utilisable : %2")
                                     .arg(m_fileName, engineMessage(error)));
        }
        probe = QSqlQuery();

        // The aggregate that sums a refresh's figures in one pass.
        sqlite3 *raw = sqliteHandle(db);
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
    ServerConnection::SessionLimits limits;
    limits.lockTimeoutMs = m_busyTimeoutMs;
    limits.statementTimeoutMs = ServerLimits::StatementTimeoutMs;
    ServerConnection::open(m_connectionName, ServerAddress::parse(m_fileName), limits);
    m_statementTimeoutMs = limits.statementTimeoutMs;
    m_reader = limits.reader;
}

TABSDatabase::AnswerWatch::AnswerWatch(TABSDatabase *db, const QSqlDatabase &connection)
    : m_db(db),
      m_watch(db->isServer() ? ServerConnection::handle(connection) : nullptr,
              ServerLimits::answerLimitMs(db->m_statementTimeoutMs))
{
    m_db->m_silent = false;
}

TABSDatabase::AnswerWatch::~AnswerWatch()
{
    if (m_watch.stop())
        m_db->m_silent = true;
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

QString TABSDatabase::engineMessage(const QSqlError &error)
{
    const QString engine = error.databaseText().trimmed();
    return engine.isEmpty() ? error.text().trimmed() : engine;
}

bool TABSDatabase::isBusy(const QSqlError &error) const
{
    if (isServer())
        return ServerConnection::isLockTimeout(error);
    const int sqliteCode = error.nativeErrorCode().toInt() & 0xff;
    return sqliteCode == 5 || sqliteCode == 6; // SQLITE_BUSY, SQLITE_LOCKED
}

QString TABSDatabase::busyMessage(const QString &engine) const
{
    return QStringLiteral("La base de données est occupée par une autre opération depuis plus de "
                          "%1 s : réessayez dans un instant. (%2)")
        .arg(ServerConnection::seconds(m_busyTimeoutMs), engine);
}

namespace {
QString sentenceFor(TABSDatabase::Doing doing)
{
    switch (doing) {
    case TABSDatabase::Doing::Writing:
        return QStringLiteral("La modification n'a pas pu être enregistrée dans la base de données");
    case TABSDatabase::Doing::Beginning:
        return QStringLiteral("La base de données n'a pas pu ouvrir une transaction");
    case TABSDatabase::Doing::Committing:
        return QStringLiteral("Les modifications n'ont pas pu être validées dans la base de données");
    case TABSDatabase::Doing::Reading:
        break;
    }
    return QStringLiteral("La base de données n'a pas pu être lue");
}
} // namespace

bool TABSDatabase::failed(const QSqlError &error) const
{
    return error.isValid() || m_silent;
}

void TABSDatabase::failStatement(const QSqlError &error, Doing doing, const QString &statement)
{
    const bool server = isServer();
    if (m_silent) {
        // The socket was shut down under the statement: nothing more can
        // come through this connection.
        m_silent = false;
        const QString message = ServerConnection::silentServerMessage(
            ServerAddress::parse(m_fileName).display(), ServerLimits::answerLimitMs(m_statementTimeoutMs),
            doing == Doing::Committing);
        close();
        throw EDatabaseError(message);
    }
    const QString message = server ? ServerConnection::errorText(error) : engineMessage(error);

    if (isBusy(error))
        throw EDatabaseError(busyMessage(message));
    if (server && ServerConnection::isStatementTimeout(error))
        throw EDatabaseError(ServerConnection::statementTimeoutMessage(m_statementTimeoutMs, message));
    if (server && ServerConnection::lost(QSqlDatabase::database(m_connectionName, false))) {
        const QString where = ServerAddress::parse(m_fileName).display();
        close();
        throw EDatabaseError(QStringLiteral("La connexion au serveur PostgreSQL %1 a été perdue (%2). Elle sera "
                                            "rétablie à la prochaine opération.")
                                 .arg(where, message));
    }
    // A table or column the database lacks: the sentence names the table.
    const QString missing = Schema::missingObjectMessage(statement, message);
    throw EDatabaseError(missing.isEmpty() ? sentenceFor(doing) + QStringLiteral(" : ") + message : missing);
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
    QSqlError error;
    {
        QSqlDatabase db = connection();
        const AnswerWatch watch(this, db);
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
    if (failed(error)) {
        m_transactionDepth = 0;
        failStatement(error, Doing::Beginning);
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
        const AnswerWatch watch(this, db);
        error = endTransaction(db, true);
        if (error.isValid())
            db.rollback();
    }
    if (failed(error))
        failStatement(error, Doing::Committing);
}

void TABSDatabase::rollback()
{
    if (m_transactionDepth == 0)
        return;
    if (--m_transactionDepth > 0)
        return;
    if (!QSqlDatabase::contains(m_connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (!db.isOpen())
            return;
        const AnswerWatch watch(this, db);
        endTransaction(db, false);
    }
    // Nothing to report from here (a scope's end); the next statement
    // connects again.
    if (m_silent) {
        m_silent = false;
        close();
    }
}

QSqlError TABSDatabase::endTransaction(QSqlDatabase &db, bool commit)
{
    if (!isServer()) {
        if (commit ? db.commit() : db.rollback())
            return QSqlError();
        return db.lastError();
    }
    const QString waiting = QStringLiteral("Le serveur n'a pas encore confirmé %1 : attente de sa réponse, %2 s au plus…")
                                .arg(commit ? QStringLiteral("l'enregistrement") : QStringLiteral("la fin de l'opération"),
                                     ServerConnection::seconds(ServerLimits::answerLimitMs(m_statementTimeoutMs)));
    return ServerConnection::execTelling(db, commit ? "COMMIT" : "ROLLBACK", WaitNoticeMs, [&](bool still) {
        if (m_waitNotice)
            m_waitNotice(still ? waiting : QString());
    });
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
