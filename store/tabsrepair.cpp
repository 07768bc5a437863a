// Repair of the database file. A repair must never make things worse:
//
//  1. Our own connection is released and the file is locked exclusively
//     (SQLite's EXCLUSIVE lock, held until the end). A file that another
//     program or connection is using is refused before anything is written.
//  2. SQLite's integrity check decides.
//  3. A healthy file is rebuilt in place (VACUUM, keeping every rowid, then
//     ANALYZE).
//  4. A damaged file has every readable row of every table copied into a
//     new scratch file, which must pass the integrity check; a copy of the
//     original, byte for byte, is kept beside it under a dated name; then
//     the scratch file is written into the original through SQLite's online
//     backup, under the lock and inside a transaction. No file that others
//     may open is ever renamed or deleted. Rows that could not be read make
//     the repair fail with their number and the copy's name.
//  5. A file that is not a database, or that cannot be read at all, is
//     reported with the engine's message and left as it was.

#include "store/dberror.h"
#include "store/sqlitehandle.h"
#include "store/sqlitesalvage.h"
#include "store/sqltext.h"
#include "store/tabsdatabase.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <memory>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// How long to wait for a momentary lock of another connection before the
// file counts as in use.
constexpr int LockWaitMs = 2000;

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

[[noreturn]] void fail(const QString &message)
{
    throw EDatabaseError(message);
}

// The SQLite file object behind the connection's main database: the copy
// of the original is read through it, so that no second descriptor of the
// file is opened and closed (which would drop our POSIX locks).
sqlite3_file *mainFile(const SqliteConnection &db)
{
    sqlite3_file *file = nullptr;
    if (sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file
        || !file->pMethods)
        return nullptr;
    return file;
}

sqlite3_int64 mainFileSize(const SqliteConnection &db)
{
    sqlite3_file *file = mainFile(db);
    sqlite3_int64 size = -1;
    if (!file || file->pMethods->xFileSize(file, &size) != SQLITE_OK)
        return -1;
    return size;
}

bool syncToDisk(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return _commit(file.handle()) == 0;
#else
    return fsync(file.handle()) == 0;
#endif
}

QByteArray fileHash(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return {};
    return hash.result();
}

// Creates the copy of the original beside it, under a name that no file
// has yet: <name>.avant-reparation-AAAAMMJJ-HHMMSS[-n].<extension>.
std::unique_ptr<QFile> createBackupFile(const QString &path)
{
    const QFileInfo info(path);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    for (int n = 1; n <= 100; ++n) {
        const QString name = info.completeBaseName() + QStringLiteral(".avant-reparation-") + stamp
            + (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + suffix;
        auto file = std::make_unique<QFile>(info.dir().filePath(name));
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return file;
        if (!file->exists())
            fail(QStringLiteral("La copie de la base d'origine n'a pas pu être créée (%1) ; rien n'a été modifié.")
                     .arg(file->errorString()));
    }
    fail(QStringLiteral("La copie de la base d'origine n'a pas pu être créée : trop de copies portent déjà ce nom ; "
                        "rien n'a été modifié."));
}

// Copies the original byte for byte and checks the copy; returns its path.
QString keepOriginal(const SqliteConnection &db, const QString &path)
{
    sqlite3_file *source = mainFile(db);
    const sqlite3_int64 size = mainFileSize(db);
    if (!source || size < 0)
        fail(QStringLiteral("La base d'origine n'a pas pu être lue pour en garder une copie ; rien n'a été modifié."));

    const std::unique_ptr<QFile> copy = createBackupFile(path);
    const QString copyPath = copy->fileName();
    const auto abandon = [&](const QString &why) {
        copy->close();
        copy->remove(); // our own incomplete file, never a backup
        fail(QStringLiteral("La copie de la base d'origine n'a pas pu être écrite (%1) ; rien n'a été modifié.")
                 .arg(why));
    };

    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (sqlite3_int64 offset = 0; offset < size;) {
        const int chunk = int(std::min<sqlite3_int64>(buffer.size(), size - offset));
        if (source->pMethods->xRead(source, buffer.data(), chunk, offset) != SQLITE_OK)
            abandon(QStringLiteral("lecture impossible à la position %1").arg(offset));
        if (copy->write(buffer.constData(), chunk) != chunk)
            abandon(copy->errorString());
        hash.addData(QByteArrayView(buffer.constData(), chunk));
        offset += chunk;
    }
    if (!syncToDisk(*copy))
        abandon(copy->errorString());
    copy->close();
    if (QFileInfo(copyPath).size() != size || fileHash(copyPath) != hash.result())
        abandon(QStringLiteral("la copie relue ne correspond pas à l'original"));
    return copyPath;
}

// The rows of SQLite's integrity check; "ok" alone means healthy. A check
// that the damage itself stops is reported as its error.
QStringList integrityProblems(const SqliteConnection &db, const QString &path)
{
    SqliteStatement check(db, QStringLiteral("PRAGMA integrity_check"),
                          QStringLiteral("Le contrôle de la base « %1 » est impossible").arg(shown(path)));
    QStringList rows;
    int rc;
    while ((rc = check.step()) == SQLITE_ROW)
        rows << check.text(0);
    if (rc != SQLITE_DONE) {
        if ((rc & 0xff) != SQLITE_CORRUPT)
            fail(QStringLiteral("La base de données « %1 » est illisible : %2").arg(shown(path), db.errorMessage()));
        rows << db.errorMessage();
    }
    return rows;
}

bool healthy(const QStringList &problems)
{
    return problems == QStringList{QStringLiteral("ok")};
}

QString pragmaValue(SqliteConnection &db, const QString &pragma)
{
    const QStringList values = db.column(QStringLiteral("PRAGMA main.%1").arg(pragma),
                                         QStringLiteral("Lecture du paramètre %1 de la base").arg(pragma));
    return values.value(0);
}

// Locks the file for the whole repair. Raises when another connection is
// using it, when it cannot be written, or when it is no database.
void lockExclusively(SqliteConnection &db, const QString &path)
{
    if (sqlite3_db_readonly(db.handle(), "main") == 1)
        fail(QStringLiteral("La base de données « %1 » ne peut pas être modifiée (fichier en lecture seule) : "
                            "la réparation n'a pas été lancée.")
                 .arg(shown(path)));
    // SQLite takes an empty file for a new database and would write its
    // first page at the end of the transaction below.
    if (mainFileSize(db) == 0)
        fail(QStringLiteral("Le fichier « %1 » est vide : ce n'est pas une base de données.").arg(shown(path)));
    sqlite3_busy_timeout(db.handle(), LockWaitMs);
    // In this mode the connection keeps every lock it takes until it
    // closes: the EXCLUSIVE lock below lasts for the whole repair.
    db.exec(QStringLiteral("PRAGMA locking_mode = EXCLUSIVE"), QStringLiteral("Verrouillage de la base"));
    const int rc = db.tryExec(QStringLiteral("BEGIN EXCLUSIVE"));
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
        fail(QStringLiteral("La base de données « %1 » est en cours d'utilisation par un autre programme ou une "
                            "autre connexion : la réparation n'a pas été lancée et rien n'a été modifié. Faites "
                            "fermer la base à ses autres utilisateurs, puis relancez la réparation.")
                 .arg(shown(path)));
    if (rc != SQLITE_OK)
        fail(QStringLiteral("La base de données « %1 » est illisible : %2").arg(shown(path), db.errorMessage()));
    db.exec(QStringLiteral("COMMIT"), QStringLiteral("Verrouillage de la base"));
}

QString tableList(const QStringList &tables)
{
    QStringList quoted;
    for (const QString &table : tables)
        quoted << QStringLiteral("« %1 »").arg(table);
    return quoted.join(QStringLiteral(", "));
}

QString lossMessage(const SalvageResult &result, const QString &backupPath)
{
    QStringList losses;
    const qint64 lost = result.totalLost();
    if (lost > 0) {
        const QString where = result.rowsLost.size() == 1 ? QStringLiteral("de la table %1")
                                                          : QStringLiteral("des tables %1");
        losses << (lost == 1 ? QStringLiteral("1 ligne %1 n'a pas pu être récupérée")
                             : QStringLiteral("%1 lignes %2 n'ont pas pu être récupérées").arg(lost))
                      .arg(where.arg(tableList(result.rowsLost.keys())));
    }
    if (!result.tablesWithUnknownLoss.isEmpty()) {
        const QString where = result.tablesWithUnknownLoss.size() == 1 ? QStringLiteral("de la table %1")
                                                                       : QStringLiteral("des tables %1");
        losses << QStringLiteral("un nombre inconnu de lignes %1 n'a pas pu être lu")
                      .arg(where.arg(tableList(result.tablesWithUnknownLoss)));
    }
    return QStringLiteral("La base de données a été reconstruite, mais %1. La copie de la base d'origine est "
                          "conservée dans « %2 ».")
        .arg(losses.join(QStringLiteral(" et ")), shown(backupPath));
}

// An empty work file beside the database, removed at the end.
void openScratch(QTemporaryFile &scratch, const QString &path)
{
    const QFileInfo info(path);
    scratch.setFileTemplate(info.dir().filePath(info.completeBaseName() + QStringLiteral(".reparation-XXXXXX.tmp")));
    if (!scratch.open())
        fail(QStringLiteral("Le fichier de travail de la réparation n'a pas pu être créé (%1) ; rien n'a été modifié.")
                 .arg(scratch.errorString()));
    scratch.close();
}

// Writes every page of `rebuilt` over the locked original, in one
// transaction of the original's own connection: a failure leaves the
// original as it was. `note` ends the failure message.
void writeOver(SqliteConnection &db, const SqliteConnection &rebuilt, const QString &note)
{
    const QString failed = QStringLiteral("L'écriture de la base reconstruite a échoué (%1). %2");
    sqlite3_backup *backup = sqlite3_backup_init(db.handle(), "main", rebuilt.handle(), "main");
    if (!backup)
        fail(failed.arg(db.errorMessage(), note));
    const int stepped = sqlite3_backup_step(backup, -1);
    const int finished = sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE || finished != SQLITE_OK)
        fail(failed.arg(db.errorMessage(), note));
}

// Rebuilds a healthy file. VACUUM INTO a work file, then writing it back,
// is VACUUM in place except that every rowid is kept (a plain VACUUM
// renumbers the rows of a table without an index or INTEGER PRIMARY KEY).
QString rebuild(SqliteConnection &db, const QString &path)
{
    QTemporaryFile scratch;
    openScratch(scratch, path);
    const QString unchanged = QStringLiteral("La base n'a pas été modifiée.");
    db.exec(QStringLiteral("VACUUM INTO '%1'").arg(sqlEscape(shown(scratch.fileName()))),
            QStringLiteral("La reconstruction de la base « %1 » a échoué ; elle n'a pas été modifiée")
                .arg(shown(path)));
    {
        const SqliteConnection rebuilt(scratch.fileName(), SQLITE_OPEN_READONLY,
                                       QStringLiteral("La base reconstruite est illisible ; rien n'a été modifié"));
        writeOver(db, rebuilt, unchanged);
    }
    db.exec(QStringLiteral("ANALYZE"), QStringLiteral("Le calcul des statistiques de la base a échoué"));
    return QStringLiteral("La base de données est saine ; elle a été reconstruite.");
}

// Rebuilds a damaged file; see the top of this file.
QString salvage(SqliteConnection &db, const QString &path)
{
    QTemporaryFile scratch;
    openScratch(scratch, path);

    SalvageResult result;
    QString backupPath;
    {
        SqliteConnection fresh(scratch.fileName(), SQLITE_OPEN_READWRITE,
                               QStringLiteral("La base reconstruite n'a pas pu être créée"));
        // Same layout as the original, so that its pages can be written
        // over the original's.
        fresh.exec(QStringLiteral("PRAGMA page_size = %1; PRAGMA encoding = '%2'; PRAGMA auto_vacuum = %3; "
                                  "PRAGMA journal_mode = MEMORY; PRAGMA synchronous = OFF")
                       .arg(pragmaValue(db, QStringLiteral("page_size")), pragmaValue(db, QStringLiteral("encoding")),
                            pragmaValue(db, QStringLiteral("auto_vacuum"))),
                   QStringLiteral("Préparation de la base reconstruite"));

        result = salvageDatabase(db, fresh);

        fresh.exec(QStringLiteral("PRAGMA user_version = %1; PRAGMA application_id = %2; ANALYZE")
                       .arg(pragmaValue(db, QStringLiteral("user_version")),
                            pragmaValue(db, QStringLiteral("application_id"))),
                   QStringLiteral("Finition de la base reconstruite"));
        const QStringList freshProblems = integrityProblems(fresh, scratch.fileName());
        if (!healthy(freshProblems))
            fail(QStringLiteral("La base reconstruite ne passe pas le contrôle d'intégrité (%1) ; la base d'origine "
                                "n'a pas été modifiée.")
                     .arg(freshProblems.join(QStringLiteral(" ; "))));

        // A file in WAL mode keeps committed pages beside it: bring them
        // into the file so that the byte copy holds them.
        if (pragmaValue(db, QStringLiteral("journal_mode")).compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0)
            db.exec(QStringLiteral("PRAGMA main.wal_checkpoint(TRUNCATE)"),
                    QStringLiteral("Report du journal WAL dans la base ; rien n'a été modifié"));

        backupPath = keepOriginal(db, path);
        writeOver(db, fresh,
                  QStringLiteral("La copie de la base d'origine est conservée dans « %1 ».").arg(shown(backupPath)));
    }

    const QStringList after = integrityProblems(db, path);
    if (!healthy(after))
        fail(QStringLiteral("La base réparée ne passe pas le contrôle d'intégrité (%1). La copie de la base "
                            "d'origine est conservée dans « %2 ».")
                 .arg(after.join(QStringLiteral(" ; ")), shown(backupPath)));

    if (!result.complete())
        fail(lossMessage(result, backupPath));
    return QStringLiteral("La base de données a été réparée : %1 lignes récupérées, aucune perdue. La copie de la "
                          "base d'origine est conservée dans « %2 ».")
        .arg(result.rowsCopied)
        .arg(shown(backupPath));
}

QString repairFile(const QString &path)
{
    // Never SQLITE_OPEN_CREATE: a missing file is an error, not a new base.
    SqliteConnection db(path, SQLITE_OPEN_READWRITE,
                        QStringLiteral("Impossible d'ouvrir la base de données « %1 »").arg(shown(path)));
    lockExclusively(db, path);
    // Stricter reading of damaged pages: a page whose cells overlap is
    // refused whole instead of yielding rows made of its debris.
    db.exec(QStringLiteral("PRAGMA cell_size_check = ON"), QStringLiteral("Préparation du contrôle"));

    if (healthy(integrityProblems(db, path)))
        return rebuild(db, path);
    return salvage(db, path);
}

} // namespace

QString TABSDatabase::RepairDatabase()
{
    if (m_fileName.isEmpty())
        throw EDatabaseError(QStringLiteral("Aucune base de données n'est indiquée."));
    // Our own connection would count as another user; the next statement
    // opens it again.
    close();
    return repairFile(m_fileName);
}
