// Repair of the database file (on a server, see ServerMaintenance). A repair
// never leaves the file worse than it found it, and never calls a loss a
// success:
//
//  1. Our own connection is released without bringing its write-ahead log
//     into the file. The file is locked exclusively at the level of its
//     file object, before SQLite reads a page: a file that another program
//     or connection uses is refused and nothing is written.
//  2. Under that lock a byte copy of the file and of its -wal and -journal
//     files is written beside it and synced to disk, before anything
//     writes to them (no checkpoint, no rollback of a journal before it).
//  3. SQLite then opens the file as usual (a journal left by an interrupted
//     transaction is played back) and its integrity check decides. A
//     healthy file is rebuilt by VACUUM INTO a new file beside it (every
//     rowid kept; made from the copy, beside the check, when the file has
//     no journal files), whose tables and indexes must count the same rows;
//     its copy is removed at the end.
//  4. A damaged file is rebuilt into a new file beside it from every source
//     that still reads (see salvageDatabase): the table's pages, including
//     those no longer reachable from a damaged root, SQLite's reading by
//     rowid ranges, and the entries of its indexes. A truncated file or one
//     whose header is damaged is salvaged from the pages that remain. What
//     only a damaged page or index suggests is kept aside, in a table of
//     its own.
//  5. The working file is replaced only by a rebuilt file that holds every
//     row that any of those sources read and passes its check, and only
//     whole: synced, then renamed over it (see replaceWhole), never written
//     over page by page. Otherwise the original is left as it was, and the
//     rebuilt file stays beside it, named in the failure.
//  6. Success is reported only when no row is lost or in doubt; otherwise
//     the failure gives the counts and names the copy of the original.

#include "repair/repair.h"
#include "store/dberror.h"
#include "store/serveraddress.h"
#include "store/servermaintenance.h"
#include "store/sqlitehandle.h"
#include "store/sqltext.h"
#include "store/tabsdatabase.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <functional>
#include <atomic>
#include <future>
#include <memory>
#include <optional>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// A point where a test may end the process as a power cut would
// (ORVALIS_REPAIR_KILL_AT names it): every stage must leave either the
// file as it was or the repaired one, and the copy whole.
void DatabaseRepair::killPoint(const char *stage)
{
    static const bool trace = qEnvironmentVariableIsSet("ORVALIS_REPAIR_TRACE");
    static QElapsedTimer clock;
    if (trace) {
        if (!clock.isValid())
            clock.start();
        std::fprintf(stderr, "%s %.2f s\n", stage, clock.nsecsElapsed() / 1e9);
    }
    static const QByteArray at = qgetenv("ORVALIS_REPAIR_KILL_AT");
    if (!at.isEmpty() && at == stage) {
#ifndef Q_OS_WIN
        ::kill(::getpid(), SIGKILL);
#endif
    }
}

namespace {

using DatabaseRepair::killPoint;

// How long to wait for a momentary lock of another connection before the
// file counts as in use.
constexpr int LockWaitMs = 2000;

QString shown(const QString &path)
{
    return absoluteDatabasePath(path);
}

QString folderOf(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absolutePath());
}

[[noreturn]] void fail(const QString &message)
{
    throw EDatabaseError(message);
}

// Why a file could not be written, in words an administrator can act on.
QString writeCause(int error, const QString &folder)
{
    switch (error) {
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return QStringLiteral("le disque est plein (plus de place dans le dossier « %1 »)").arg(folder);
    case EROFS:
        return QStringLiteral("le dossier « %1 » est sur un support en lecture seule").arg(folder);
    case EACCES:
    case EPERM:
        return QStringLiteral("le dossier « %1 » est en lecture seule (le droit d'y créer ou d'y écrire des "
                              "fichiers manque)")
            .arg(folder);
    default:
        return QStringLiteral("erreur du système : %1").arg(qt_error_string(error));
    }
}

// The same for a failure of SQLite writing a file.
QString sqliteCause(const SqliteConnection &db, const QString &folder)
{
    const int code = db.errorCode() & 0xff;
    if (code == SQLITE_FULL)
        return writeCause(ENOSPC, folder);
    const int system = sqlite3_system_errno(db.handle());
    if ((code == SQLITE_CANTOPEN || code == SQLITE_READONLY || code == SQLITE_IOERR) && system != 0)
        return writeCause(system, folder);
    return db.errorMessage();
}

bool syncToDisk(int handle)
{
#ifdef Q_OS_WIN
    return _commit(handle) == 0;
#else
    return fsync(handle) == 0;
#endif
}

// Makes the names of files just created in a folder last through a crash.
void syncFolder(const QString &path)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(path);
#endif
}

// The SQLite file object behind the connection's main database: the file
// is locked, copied and read through it, so that no second descriptor of
// it is opened and closed (which would drop our POSIX locks).
sqlite3_file *mainFile(const SqliteConnection &db)
{
    sqlite3_file *file = nullptr;
    if (sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file
        || !file->pMethods)
        return nullptr;
    return file;
}

sqlite3_int64 fileSize(sqlite3_file *file)
{
    sqlite3_int64 size = -1;
    if (!file || file->pMethods->xFileSize(file, &size) != SQLITE_OK)
        return -1;
    return size;
}

using ByteReader = std::function<qint64(qint64 offset, char *into, qint64 size)>;

ByteReader readerOf(sqlite3_file *file, qint64 size)
{
    return [file, size](qint64 offset, char *into, qint64 wanted) -> qint64 {
        const qint64 n = std::min(wanted, size - offset);
        if (n <= 0)
            return 0;
        const int rc = file->pMethods->xRead(file, into, int(n), offset);
        return rc == SQLITE_OK ? n : -1;
    };
}

ByteReader readerOf(QFile &file)
{
    return [&file](qint64 offset, char *into, qint64 wanted) -> qint64 {
        return file.seek(offset) ? file.read(into, wanted) : -1;
    };
}

bool renameOver(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// The files a repair writes beside the database carry this suffix until
// they are whole: a repair ended midway (a power cut) leaves no other, and
// the next repair removes them (removeUnfinished).
const QString Unfinished = QStringLiteral(".incomplete");

// The name of a file of ours once it is whole: `unfinished` renamed (or
// left as it is, if the rename fails).
QString finished(const QString &unfinished)
{
    const QString name = unfinished.chopped(Unfinished.size());
    return renameOver(unfinished, name) ? name : unfinished;
}

// Writes a new file at `path` with the `size` bytes that `read` gives,
// synced to disk and read back. Raises, in French, what stopped it; an
// incomplete file of ours is removed.
void writeCopy(const QString &path, const ByteReader &read, qint64 size, const QString &lead)
{
    // Written under another name, and named only once whole: no file of
    // that name is ever an incomplete copy.
    const QString partial = path + Unfinished;
    QFile copy(partial);
    errno = 0;
    if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        fail(QStringLiteral("%1 n'a pas pu être créée : %2.").arg(lead, writeCause(errno, folderOf(path))));
    const auto abandon = [&](const QString &why) {
        copy.close();
        copy.remove(); // our own incomplete file, never a backup
        fail(QStringLiteral("%1 n'a pas pu être écrite : %2.").arg(lead, why));
    };
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (qint64 offset = 0; offset < size;) {
        const qint64 chunk = std::min<qint64>(buffer.size(), size - offset);
        if (read(offset, buffer.data(), chunk) != chunk)
            abandon(QStringLiteral("lecture impossible à la position %1").arg(offset));
        errno = 0;
        if (copy.write(buffer.constData(), chunk) != chunk)
            abandon(writeCause(errno ? errno : EIO, folderOf(path)));
        offset += chunk;
        if (offset - chunk < size / 2 && offset >= size / 2)
            killPoint("copy");
    }
    errno = 0;
    if (!syncToDisk(copy.handle()))
        abandon(writeCause(errno ? errno : EIO, folderOf(path)));
    copy.close();
    // Read back and compared with the original, piece by piece.
    QFile check(partial);
    bool same = check.open(QIODevice::ReadOnly) && check.size() == size;
    QByteArray original(buffer.size(), Qt::Uninitialized);
    for (qint64 offset = 0; same && offset < size;) {
        const qint64 chunk = std::min<qint64>(buffer.size(), size - offset);
        same = read(offset, original.data(), chunk) == chunk && check.read(buffer.data(), chunk) == chunk
            && std::memcmp(original.constData(), buffer.constData(), size_t(chunk)) == 0;
        offset += chunk;
    }
    if (!same)
        abandon(QStringLiteral("la copie relue ne correspond pas à l'original"));
    check.close();
    errno = 0;
    if (!renameOver(partial, path))
        abandon(writeCause(errno ? errno : EIO, folderOf(path)));
}

// The byte copy of the database and of its journal files, beside it:
// <name>.avant-reparation-AAAAMMJJ-HHMMSS[-n].<extension>, with -wal and
// -journal after that name as SQLite expects them.
class Backup
{
public:
    static QString name(const QString &path, const QString &kind, int n)
    {
        const QFileInfo info(path);
        const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
        return info.dir().filePath(info.completeBaseName() + QLatin1Char('.') + kind + QLatin1Char('-') + stamp
                                   + (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + suffix);
    }

    // A name that no file of the copy has yet.
    static QString freeName(const QString &path, const QString &kind)
    {
        for (int n = 1; n <= 100; ++n) {
            const QString candidate = name(path, kind, n);
            if (!QFileInfo::exists(candidate) && !QFileInfo::exists(candidate + QStringLiteral("-wal"))
                && !QFileInfo::exists(candidate + QStringLiteral("-journal")) && !QFileInfo::exists(candidate + Unfinished))
                return candidate;
        }
        fail(QStringLiteral("Trop de copies de la base portent déjà le nom du jour ; rien n'a été modifié."));
    }

    void write(sqlite3_file *database, qint64 size, const QString &path)
    {
        const QString lead = QStringLiteral("La copie de la base d'origine");
        const QString unchanged = QStringLiteral(" Rien n'a été modifié.");
        m_path = freeName(path, QStringLiteral("avant-reparation"));
        // The journal files first: the copy's own name comes last, once
        // everything it needs is beside it.
        try {
            for (const QString &companion : {QStringLiteral("-wal"), QStringLiteral("-journal")}) {
                QFile source(path + companion);
                if (!source.exists())
                    continue;
                if (!source.open(QIODevice::ReadOnly))
                    fail(QStringLiteral("%1 n'a pas pu être lu (%2).").arg(shown(source.fileName()),
                                                                             source.errorString()));
                writeCopy(m_path + companion, readerOf(source), source.size(),
                          QStringLiteral("La copie du fichier « %1 »").arg(shown(source.fileName())));
                m_files << m_path + companion;
            }
            writeCopy(m_path, readerOf(database, size), size, lead);
            m_files.prepend(m_path);
        } catch (const EDatabaseError &e) {
            remove();
            fail(e.message() + unchanged);
        }
        syncFolder(m_path);
    }

    QString path() const { return m_path; }
    bool journalled() const { return m_files.size() > 1; }

    // Removes the copy: the original is known to be whole.
    void remove()
    {
        for (const QString &file : std::as_const(m_files))
            QFile::remove(file);
        m_files.clear();
    }

private:
    QString m_path;
    QStringList m_files;
};

[[noreturn]] void failInUse(const QString &path)
{
    fail(QStringLiteral("La base de données « %1 » est en cours d'utilisation par un autre programme ou une "
                        "autre connexion : la réparation n'a pas été lancée et rien n'a été modifié. Faites "
                        "fermer la base à ses autres utilisateurs, puis relancez la réparation.")
             .arg(shown(path)));
}

// Takes a lock of the file object, waiting a moment for other connections.
bool acquire(sqlite3_file *file, int level)
{
    for (int waited = 0;; waited += 10) {
        const int rc = file->pMethods->xLock(file, level);
        if (rc == SQLITE_OK)
            return true;
        if ((rc & 0xff) != SQLITE_BUSY || waited >= LockWaitMs)
            return false;
        QThread::msleep(10);
    }
}

// Takes the file's exclusive lock, through the levels SQLite goes through.
bool lockExclusively(sqlite3_file *file)
{
    return file && acquire(file, SQLITE_LOCK_SHARED) && acquire(file, SQLITE_LOCK_RESERVED)
        && acquire(file, SQLITE_LOCK_EXCLUSIVE);
}

// The lock of the whole repair, and the copy taken under it.
void lockAndCopy(SqliteConnection &db, const QString &path, Backup &backup)
{
    if (sqlite3_db_readonly(db.handle(), "main") == 1)
        fail(QStringLiteral("La base de données « %1 » ne peut pas être modifiée (fichier en lecture seule) : "
                            "la réparation n'a pas été lancée.")
                 .arg(shown(path)));
    sqlite3_file *file = mainFile(db);
    if (!file)
        fail(QStringLiteral("La base de données « %1 » n'a pas pu être verrouillée ; rien n'a été modifié.")
                 .arg(shown(path)));
    if (!lockExclusively(file)) {
        file->pMethods->xUnlock(file, SQLITE_LOCK_NONE);
        failInUse(path);
    }
    const qint64 size = fileSize(file);
    // SQLite takes an empty file for a new database and would write its
    // first page.
    if (size <= 0) {
        file->pMethods->xUnlock(file, SQLITE_LOCK_NONE);
        fail(QStringLiteral("Le fichier « %1 » est vide : ce n'est pas une base de données.").arg(shown(path)));
    }
    try {
        backup.write(file, size, path);
    } catch (...) {
        file->pMethods->xUnlock(file, SQLITE_LOCK_NONE);
        throw;
    }
    // SQLite takes over from a shared lock: no other connection can write
    // meanwhile, and SQLite upgrades it at its first transaction (playing
    // back a journal left by an interrupted one).
    file->pMethods->xUnlock(file, SQLITE_LOCK_SHARED);
}

// The rows of SQLite's integrity check; "ok" alone means healthy. A check
// that the damage itself stops is reported as its error.
QStringList integrityProblems(const SqliteConnection &db, const QString &path,
                              const QString &pragma = QStringLiteral("integrity_check"))
{
    SqliteStatement check(db, QStringLiteral("PRAGMA %1").arg(pragma),
                          QStringLiteral("Le contrôle de la base « %1 » est impossible").arg(shown(path)));
    QStringList rows;
    int rc;
    while ((rc = check.step()) == SQLITE_ROW)
        rows << check.text(0);
    if (rc != SQLITE_DONE) {
        if ((rc & 0xff) != SQLITE_CORRUPT && (rc & 0xff) != SQLITE_NOTADB)
            fail(QStringLiteral("La base de données « %1 » est illisible : %2").arg(shown(path), db.errorMessage()));
        rows << db.errorMessage();
    }
    return rows;
}

bool healthy(const QStringList &problems)
{
    return problems == QStringList{QStringLiteral("ok")};
}

// Rows of each table, and entries of each index, as SQLite counts them.
// Without `countIndexes`, each index is given its table's count: a file
// that passed the integrity check has as many entries in each index as
// rows in its table.
QMap<QString, qint64> counts(SqliteConnection &db, bool countIndexes = true)
{
    QMap<QString, qint64> out;
    const QStringList tables = db.column(
        QStringLiteral("SELECT name FROM main.sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' "
                       "ESCAPE '!'"),
        QStringLiteral("Comptage des lignes"));
    for (const QString &table : tables) {
        out[table] = db.column(QStringLiteral("SELECT count(*) FROM %1 NOT INDEXED").arg(sqliteIdentifier(table)),
                               QStringLiteral("Comptage des lignes"))
                         .value(0)
                         .toLongLong();
        const QStringList indexes = db.column(
            QStringLiteral("SELECT name FROM pragma_index_list('%1') WHERE partial = 0").arg(sqlEscape(table)),
            QStringLiteral("Comptage des lignes"));
        for (const QString &index : indexes)
            out[table + QLatin1Char('/') + index] = !countIndexes ? out[table] :
                db.column(QStringLiteral("SELECT count(*) FROM %1 INDEXED BY %2")
                              .arg(sqliteIdentifier(table), sqliteIdentifier(index)),
                          QStringLiteral("Comptage des lignes"))
                    .value(0)
                    .toLongLong();
    }
    return out;
}

QString quotedName(const QString &table)
{
    return QStringLiteral("« %1 »").arg(table);
}

QString rows(qint64 n)
{
    return n == 1 ? QStringLiteral("1 ligne") : QStringLiteral("%1 lignes").arg(n);
}

// What the rebuilt file lacks or holds in doubt, table by table.
QStringList lossDetails(const SalvageResult &result)
{
    QStringList out;
    // "<n> ligne(s) de la table « t » <verb>", the verb agreeing with n.
    const auto said = [&out](qint64 n, const QString &of, const QString &one, const QString &many) {
        if (n > 0)
            out << QStringLiteral("%1 %2 %3").arg(rows(n), of, n == 1 ? one : many);
    };
    for (const TableSalvage &t : result.tables) {
        const QString of = QStringLiteral("de la table %1").arg(quotedName(t.table));
        const qint64 lost = std::max(t.lost, t.lostAtMost);
        if (lost > 0 && !t.unknownLoss) {
            if (t.lostAtMost > t.lost)
                out << QStringLiteral("au plus %1 %2 n'ont pas pu être récupérées").arg(rows(lost), of);
            else
                said(lost, of, QStringLiteral("n'a pas pu être récupérée"), QStringLiteral("n'ont pas pu être récupérées"));
        }
        if (t.unknownLoss)
            out << QStringLiteral("un nombre inconnu de lignes %1 n'a pas pu être lu").arg(of);
        QStringList columns;
        for (const QString &column : t.missingColumns)
            columns << quotedName(column);
        QStringList indexes;
        for (const QString &index : t.fromIndexes)
            indexes << quotedName(index);
        const QString without = QStringLiteral("de l'index %1 seul, sans %2 %3")
                                    .arg(indexes.join(QStringLiteral(", ")),
                                         columns.size() == 1 ? QStringLiteral("la colonne") : QStringLiteral("les colonnes"),
                                         columns.join(QStringLiteral(", ")));
        said(t.fromIndex, of, QStringLiteral("a été reprise ") + without, QStringLiteral("ont été reprises ") + without);
        said(t.corrected, of, QStringLiteral("a été corrigée d'après l'index, sa cellule étant endommagée"),
             QStringLiteral("ont été corrigées d'après l'index, leurs cellules étant endommagées"));
        if (t.keptAside > 0) {
            QStringList why;
            if (t.unverified > 0)
                why << QStringLiteral("%1 lue%2 sur une page endommagée sans rien qui la vérifie")
                           .arg(t.unverified)
                           .arg(t.unverified > 1 ? QStringLiteral("s") : QString());
            if (t.doubtful > 0)
                why << QStringLiteral("%1 douteuse%2 (la table et son index ne concordent pas)")
                           .arg(t.doubtful)
                           .arg(t.doubtful > 1 ? QStringLiteral("s") : QString());
            said(t.keptAside, of,
                 QStringLiteral("a été mise à part, hors des chiffres, dans la table %1 de la base réparée (%2)")
                     .arg(quotedName(t.asideTable), why.join(QStringLiteral(", "))),
                 QStringLiteral("ont été mises à part, hors des chiffres, dans la table %1 de la base réparée (%2)")
                     .arg(quotedName(t.asideTable), why.join(QStringLiteral(", "))));
        }
        said(t.stale, of,
             QStringLiteral("trouvée sur une page isolée n'a pas été reprise : l'index, intact, ne la connaît pas "
                            "(ligne supprimée)"),
             QStringLiteral("trouvées sur des pages isolées n'ont pas été reprises : l'index, intact, ne les "
                            "connaît pas (lignes supprimées)"));
        said(t.refused, of, QStringLiteral("lisible a été refusée par la base reconstruite (%1)").arg(t.refusal),
             QStringLiteral("lisibles ont été refusées par la base reconstruite (%1)").arg(t.refusal));
    }
    if (!result.dropped.isEmpty()) {
        QStringList names;
        for (const QString &name : result.dropped)
            names << quotedName(name);
        out << QStringLiteral("la définition illisible de %1 n'a pas pu être reprise").arg(names.join(QStringLiteral(", ")));
    }
    if (result.unplacedRows == 1)
        out << QStringLiteral("1 ligne trouvée sur une page isolée n'a pu être rattachée à aucune table");
    else if (result.unplacedRows > 1)
        out << QStringLiteral("%1 lignes trouvées sur des pages isolées n'ont pu être rattachées à aucune table")
                   .arg(result.unplacedRows);
    return out;
}

bool removeFile(const QString &path)
{
    return !QFileInfo::exists(path) || QFile::remove(path);
}

// A connection that holds a file locked exclusively, without reading it.
class HeldLock
{
public:
    explicit HeldLock(const QString &path)
        : m_db(path, SQLITE_OPEN_READWRITE, QStringLiteral("La base reconstruite n'a pas pu être ouverte"))
    {
        sqlite3_db_config(m_db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        m_file = mainFile(m_db);
        if (!lockExclusively(m_file))
            fail(QStringLiteral("La base reconstruite n'a pas pu être verrouillée"));
    }
    ~HeldLock()
    {
        if (m_file)
            m_file->pMethods->xUnlock(m_file, SQLITE_LOCK_NONE);
    }

private:
    SqliteConnection m_db;
    sqlite3_file *m_file = nullptr;
};

// A write-ahead log that holds every page of `rebuilt`, made by SQLite's
// backup into an empty file in that mode (the pages stay in its log).
// Laid beside any database file, it reads as the rebuilt one.
QString shadowLog(const QString &rebuilt, const QString &path)
{
    const QString shadow = Backup::freeName(path, QStringLiteral("remplacement"));
    const auto failed = [&](const SqliteConnection &db) {
        QFile::remove(shadow);
        QFile::remove(shadow + QStringLiteral("-wal"));
        fail(QStringLiteral("Le journal de remplacement n'a pas pu être écrit : %1").arg(sqliteCause(db, folderOf(path))));
    };
    {
        SqliteConnection source(rebuilt, SQLITE_OPEN_READONLY,
                                      QStringLiteral("La base reconstruite est illisible"));
        SqliteConnection log(shadow, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             QStringLiteral("Le journal de remplacement n'a pas pu être créé"));
        sqlite3_db_config(log.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        const int pageSize = source.column(QStringLiteral("PRAGMA page_size"), QStringLiteral("Lecture de la base reconstruite"))
                                 .value(0)
                                 .toInt();
        if (log.tryExec(QStringLiteral("PRAGMA page_size = %1; PRAGMA journal_mode = WAL; "
                                       "PRAGMA wal_autocheckpoint = 0; PRAGMA synchronous = FULL")
                            .arg(pageSize))
            != SQLITE_OK)
            failed(log);
        sqlite3_backup *backup = sqlite3_backup_init(log.handle(), "main", source.handle(), "main");
        if (!backup)
            failed(log);
        const int stepped = sqlite3_backup_step(backup, -1);
        if (sqlite3_backup_finish(backup) != SQLITE_OK || stepped != SQLITE_DONE)
            failed(log);
    }
    QFile::remove(shadow); // the log alone is the point; its own file holds nothing
    return shadow + QStringLiteral("-wal");
}

// Puts the rebuilt file, complete, synced and checked, in the place of the
// working file, whole: a rename, never pages written over it. A kill at any
// instant leaves either the file as it was (with its journal) or the rebuilt
// one. The working file's -wal or -journal must never meet the new file:
// SQLite would lay an old log over it or play an old journal back onto it.
// So, when the file has one, a log holding every page of the rebuilt file
// takes the place of its -wal first: from then on the file reads as the
// rebuilt one whatever lies beneath (an old journal is played back under
// that log and stays hidden by it). Then the journal goes, the rebuilt file
// is renamed over the working one, and the log, now equal to the file
// beneath it, goes last. The rebuilt file is locked before it is renamed,
// so that nobody writes to that log before it is removed.
void replaceWhole(const QString &rebuilt, const QString &path, const QString &note)
{
    const QString wal = path + QStringLiteral("-wal");
    const QString journal = path + QStringLiteral("-journal");
    const auto failed = [&](const QString &what) {
        fail(QStringLiteral("%1 : %2. %3").arg(what, writeCause(errno ? errno : EIO, folderOf(path)), note));
    };
    const bool journalled = QFileInfo::exists(wal) || QFileInfo::exists(journal);
    // The new file takes the rights of the one it replaces (and its owner,
    // where the system lets us), so that its other users keep their access.
    QFile::setPermissions(rebuilt, QFile::permissions(path));
#ifndef Q_OS_WIN
    struct stat original;
    if (::stat(QFile::encodeName(path).constData(), &original) == 0)
        (void)::chown(QFile::encodeName(rebuilt).constData(), original.st_uid, original.st_gid);
#endif
    QString log;
    if (journalled)
        log = shadowLog(rebuilt, path);
    HeldLock held(rebuilt);
    errno = 0;
    if (journalled) {
        if (!renameOver(log, wal)) {
            QFile::remove(log);
            failed(QStringLiteral("Le journal de la base n'a pas pu être remplacé"));
        }
        syncFolder(path);
        killPoint("replace-log");
        if (!removeFile(journal))
            failed(QStringLiteral("Le journal de retour arrière de la base n'a pas pu être retiré"));
        syncFolder(path);
        killPoint("replace-journal");
    }
    if (!renameOver(rebuilt, path))
        failed(QStringLiteral("La base reconstruite n'a pas pu prendre la place de la base de données"));
    syncFolder(path);
    killPoint("replace");
    removeFile(wal);
    removeFile(path + QStringLiteral("-shm"));
    syncFolder(path);
}

// A new empty file beside the database, for the rebuilt copy, unfinished
// (see finished()).
QString createBeside(const QString &path, const QString &kind)
{
    const QString name = Backup::freeName(path, kind) + Unfinished;
    QFile file(name);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        fail(QStringLiteral("Le fichier de la base reconstruite n'a pas pu être créé : %1.")
                 .arg(writeCause(errno, folderOf(path))));
    return name;
}

// Removes what an interrupted repair of `path` left unfinished beside it
// (see Unfinished): only names that a repair gives, never a finished copy.
void removeUnfinished(const QString &path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    const QRegularExpression ours(
        QStringLiteral("^%1\\.(avant-reparation|reparation|reconstruite)-\\d{8}-\\d{6}(-\\d+)?%2(-wal|-journal)?%3(-journal)?$")
            .arg(QRegularExpression::escape(info.completeBaseName()), QRegularExpression::escape(suffix),
                 QRegularExpression::escape(Unfinished)));
    const QDir folder = info.dir();
    for (const QString &name : folder.entryList({QStringLiteral("*") + Unfinished + QStringLiteral("*")},
                                                QDir::Files | QDir::Hidden)) {
        if (ours.match(name).hasMatch())
            QFile::remove(folder.filePath(name));
    }
}

// The statistics of a rebuilt file, and what its tables and indexes count.
QMap<QString, qint64> finishRebuilt(const QString &scratch)
{
    SqliteConnection rebuilt(scratch, SQLITE_OPEN_READWRITE,
                             QStringLiteral("La base reconstruite est illisible ; rien n'a été modifié"));
    // Statistics from a sample of each index: the planner needs their
    // shape, not exact counts.
    rebuilt.exec(QStringLiteral("PRAGMA analysis_limit = 1000; ANALYZE"),
                 QStringLiteral("Le calcul des statistiques de la base a échoué"));
    return counts(rebuilt);
}

struct EarlyRebuild
{
    int rc = -1; // of the VACUUM INTO
    QMap<QString, qint64> counts; // of the rebuilt file, once it is written
};

// VACUUM INTO `scratch` from the byte copy of a file without journal
// files, opened as a file that nothing changes (no lock, no journal: the
// copy stays as it is), then its statistics and counts (finishRebuilt).
// It stops as soon as `stop` is set (the original is damaged: the salvage
// follows).
EarlyRebuild vacuumCopy(const QString &copy, const QString &scratch, const std::atomic<bool> *stop)
{
    sqlite3 *db = nullptr;
    const QByteArray uri = (sqliteFileUri(copy, QStringLiteral("ro")) + QStringLiteral("&immutable=1")).toUtf8();
    int rc = sqlite3_open_v2(uri.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    sqlite3_progress_handler(
        db, 1000, [](void *flag) { return static_cast<const std::atomic<bool> *>(flag)->load() ? 1 : 0; },
        const_cast<std::atomic<bool> *>(stop));
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, QStringLiteral("VACUUM INTO '%1'").arg(sqlEscape(shown(scratch))).toUtf8().constData(),
                          nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EarlyRebuild out{rc, {}};
    if (rc == SQLITE_OK && !*stop)
        out.counts = finishRebuilt(scratch);
    return out;
}

class Repair
{
public:
    explicit Repair(const QString &path)
        // Never SQLITE_OPEN_CREATE: a missing file is an error, not a new base.
        : m_path(path), m_db(path, SQLITE_OPEN_READWRITE,
                             QStringLiteral("Impossible d'ouvrir la base de données « %1 »").arg(shown(path)))
    {
        // Committed pages of the log stay in the log until the file is
        // replaced: closing must not bring them into a file left as it was.
        sqlite3_db_config(m_db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }

    QString run()
    {
        killPoint("start");
        lockAndCopy(m_db, m_path, m_backup);
        // Under the lock: no other repair of this file is under way.
        removeUnfinished(m_path);
        sqlite3_busy_timeout(m_db.handle(), LockWaitMs);
        // Every lock taken is kept to the end; a truncated file still
        // opens (its missing pages read as damage).
        m_db.exec(QStringLiteral("PRAGMA locking_mode = EXCLUSIVE; PRAGMA writable_schema = ON"),
                  QStringLiteral("Préparation de la réparation"));
        const int rc = m_db.tryExec(QStringLiteral("BEGIN EXCLUSIVE; COMMIT"));
        if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
            m_backup.remove();
            failInUse(m_path);
        }
        m_opens = rc == SQLITE_OK;
        m_openError = m_opens ? QString() : m_db.errorMessage();
        if (!m_opens && !lockExclusively(mainFile(m_db))) {
            m_backup.remove();
            failInUse(m_path);
        }
        killPoint("check");
        // A file without journal files is its copy, byte for byte: its
        // VACUUM INTO is made from the copy while the original is checked.
        const QString scratch = Backup::freeName(m_path, QStringLiteral("reparation")) + Unfinished;
        std::future<EarlyRebuild> early;
        std::atomic<bool> stop = false;
        const auto stopEarly = [&] {
            stop = true;
            if (early.valid())
                early.wait();
            QFile::remove(scratch);
        };
        const auto cleanup = qScopeGuard(stopEarly);
        if (m_opens && !m_backup.journalled())
            early = std::async(std::launch::async, vacuumCopy, m_backup.path(), scratch, &stop);
        // The first fault found decides: the salvage reads every page anyway.
        if (m_opens && healthy(integrityProblems(m_db, m_path, QStringLiteral("integrity_check(1)"))))
            return rebuild(scratch, early.valid() ? early.get() : EarlyRebuild());
        stopEarly(); // the salvage has the processor to itself
        // In a damaged file, a page whose cells overlap is refused whole
        // instead of yielding debris.
        m_db.exec(QStringLiteral("PRAGMA cell_size_check = ON"), QStringLiteral("Préparation de la réparation"));
        return salvage();
    }

private:
    QString backupNote() const
    {
        return QStringLiteral("La copie de la base d'origine %1est conservée dans « %2 ».")
            .arg(m_backup.journalled() ? QStringLiteral("(avec son journal) ") : QString(), shown(m_backup.path()));
    }

    // A healthy file: VACUUM INTO a new file beside it, which keeps every
    // rowid (a plain VACUUM renumbers the rows of a table without an index
    // or INTEGER PRIMARY KEY), checked, then put in its place.
    // `early` is the VACUUM INTO `scratch` made from the copy beside the
    // check, with its counts, or nothing.
    QString rebuild(const QString &scratch, const EarlyRebuild &early)
    {
        killPoint("checked");
        const QMap<QString, qint64> before = counts(m_db, false);
        const QString unchanged = QStringLiteral("La base n'a pas été modifiée.");
        if (early.rc != SQLITE_OK) {
            QFile::remove(scratch);
            if (m_db.tryExec(QStringLiteral("VACUUM INTO '%1'").arg(sqlEscape(shown(scratch)))) != SQLITE_OK)
                fail(QStringLiteral("La reconstruction de la base « %1 » a échoué : %2. %3")
                         .arg(shown(m_path), sqliteCause(m_db, folderOf(m_path)), unchanged));
        }
        killPoint("rebuild");
        // Written by SQLite from a file that passed its check: every table
        // and index, read to its last page, counts the rows of the original.
        if ((early.rc == SQLITE_OK ? early.counts : finishRebuilt(scratch)) != before)
            fail(QStringLiteral("La base reconstruite ne compte pas les mêmes lignes que l'original. %1")
                     .arg(unchanged));
        killPoint("verified");
        syncFile(scratch);
        killPoint("synced");
        replaceWhole(scratch, m_path, unchanged);
        m_backup.remove();
        return QStringLiteral("La base de données est saine ; elle a été reconstruite.");
    }

    QString salvage()
    {
        sqlite3_file *file = mainFile(m_db);
        const QString walPath = m_path + QStringLiteral("-wal");
        const SqliteFormat::PageImage image(readerOf(file, fileSize(file)), fileSize(file),
                                            QFileInfo::exists(walPath) ? walPath : QString());
        const QString rebuiltPath = createBeside(m_path, QStringLiteral("reconstruite"));
        bool keepRebuilt = false;
        const auto cleanup = qScopeGuard([&] {
            if (!keepRebuilt)
                QFile::remove(rebuiltPath);
        });

        SalvageResult result;
        std::unique_ptr<SqliteConnection> fresh;
        try {
            fresh = std::make_unique<SqliteConnection>(rebuiltPath, SQLITE_OPEN_READWRITE,
                                                       QStringLiteral("La base reconstruite n'a pas pu être créée"));
            // Same layout as the original, so that its pages can be
            // written over the original's; its indexes are sorted on two
            // threads.
            static const char *const encodings[] = {"UTF-8", "UTF-8", "UTF-16le", "UTF-16be"};
            fresh->exec(QStringLiteral("PRAGMA page_size = %1; PRAGMA encoding = '%2'; PRAGMA auto_vacuum = %3; "
                                       "PRAGMA journal_mode = MEMORY; PRAGMA synchronous = OFF; PRAGMA threads = 2")
                            .arg(image.pageSize())
                            .arg(QLatin1String(encodings[image.encoding()]))
                            .arg(image.autoVacuum() ? (image.incrementalVacuum() ? 2 : 1) : 0),
                        QStringLiteral("Préparation de la base reconstruite"));
            killPoint("salvage");
            result = salvageDatabase(m_opens ? &m_db : nullptr, image, *fresh);
            killPoint("salvaged");
            fresh->exec(QStringLiteral("PRAGMA user_version = %1; PRAGMA application_id = %2; "
                                       "PRAGMA analysis_limit = 1000; ANALYZE")
                            .arg(image.userVersion())
                            .arg(qint32(image.applicationId())),
                        QStringLiteral("Finition de la base reconstruite"));
        } catch (const ENoSchema &e) {
            // Nothing of a database: the copy is the file itself.
            m_backup.remove();
            fail(QStringLiteral("Le fichier « %1 » n'a pas été modifié : %2, ce n'est pas une base de données "
                                "lisible.%3")
                     .arg(shown(m_path), e.message(),
                          m_opens ? QString() : QStringLiteral(" Message du moteur : ") + m_openError));
        } catch (const EDatabaseError &e) {
            QString why = e.message();
            if (fresh && ((fresh->errorCode() & 0xff) == SQLITE_FULL || (fresh->errorCode() & 0xff) == SQLITE_IOERR))
                why = QStringLiteral("La base reconstruite n'a pas pu être écrite : %1")
                          .arg(sqliteCause(*fresh, folderOf(m_path)));
            fail(QStringLiteral("%1. La base de données « %2 » n'a pas été modifiée. %3")
                     .arg(why, shown(m_path), backupNote()));
        }

        // Its indexes were built by SQLite over its rows: the check of its
        // pages is enough.
        killPoint("finished");
        const QStringList problems = integrityProblems(*fresh, rebuiltPath, QStringLiteral("quick_check"));
        killPoint("rebuilt-checked");
        const QStringList details = lossDetails(result);
        if (result.saved() == 0 && !result.complete())
            fail(QStringLiteral("Aucune ligne de la base de données « %1 » n'a pu être lue ; elle n'a pas été "
                                "modifiée. %2")
                     .arg(shown(m_path), backupNote()));

        const auto keep = [&](const QString &why) {
            fresh.reset();
            syncFile(rebuiltPath);
            keepRebuilt = true;
            const QString kept = finished(rebuiltPath);
            fail(QStringLiteral("La base de données « %1 » n'a pas été modifiée : %2. La base reconstruite (%3 "
                                "lignes sur %4 lisibles%5) est conservée dans « %6 ». %7")
                     .arg(shown(m_path), why)
                     .arg(result.saved())
                     .arg(result.readable())
                     .arg(details.isEmpty() ? QString() : QStringLiteral(" ; ") + details.join(QStringLiteral(" ; ")))
                     .arg(shown(kept), backupNote()));
        };
        if (!healthy(problems))
            keep(QStringLiteral("la base reconstruite ne passe pas le contrôle d'intégrité (%1)")
                     .arg(problems.join(QStringLiteral(" ; "))));
        if (!result.holdsEverything())
            keep(QStringLiteral("la base reconstruite ne contiendrait pas toutes les lignes encore lisibles"));

        fresh.reset();
        syncFile(rebuiltPath);
        killPoint("rebuild");
        try {
            replaceWhole(rebuiltPath, m_path, QStringLiteral("La base n'a pas été modifiée."));
        } catch (const EDatabaseError &e) {
            keepRebuilt = true;
            fail(QStringLiteral("%1 La base reconstruite est conservée dans « %2 ». %3")
                     .arg(e.message(), shown(finished(rebuiltPath)), backupNote()));
        }
        keepRebuilt = true; // it is the working file now
        if (!result.complete())
            fail(QStringLiteral("La base de données était endommagée ; elle a été reconstruite avec toutes les "
                                "lignes encore lisibles, mais %1. %2")
                     .arg(details.join(QStringLiteral(" ; ")), backupNote()));
        QStringList rewritten;
        for (const QString &name : result.rewritten)
            rewritten << quotedName(name);
        return QStringLiteral("La base de données a été réparée : %1 lignes récupérées, aucune perdue%2. %3")
            .arg(result.saved())
            .arg(rewritten.isEmpty() ? QString()
                                     : QStringLiteral(" ; définitions reprises de celles du programme : ")
                                         + rewritten.join(QStringLiteral(", ")))
            .arg(backupNote());
    }

    static void syncFile(const QString &path)
    {
        QFile file(path);
        if (file.open(QIODevice::ReadWrite))
            syncToDisk(file.handle());
    }

    const QString m_path;
    SqliteConnection m_db;
    Backup m_backup;
    bool m_opens = false;
    QString m_openError;
};

} // namespace

QString DatabaseRepair::repairFile(const QString &path)
{
    return Repair(path).run();
}

// The database component's repair, declared with the component: the repair
// of its file, or the maintenance of a server's tables.
QString TABSDatabase::RepairDatabase()
{
    if (m_fileName.isEmpty())
        throw EDatabaseError(QStringLiteral("Aucune base de données n'est indiquée."));
    // A server keeps its own files sound; what it can be asked for is the
    // maintenance of the tables. Other sessions may go on meanwhile.
    if (isServer())
        return ServerMaintenance::vacuumAnalyze(ServerAddress::parse(m_fileName), m_busyTimeoutMs);
    // Our own connection would count as another user. Closed, it must not
    // bring its log into the file before the copy is taken; the next
    // statement opens it again.
    if (QSqlDatabase::contains(m_connectionName)) {
        if (sqlite3 *own = sqliteHandle(QSqlDatabase::database(m_connectionName, false)))
            sqlite3_db_config(own, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }
    close();
    return DatabaseRepair::repairFile(m_fileName);
}
