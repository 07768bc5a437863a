#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <sqlite3.h>

// Thin owners of SQLite C API handles, for the work that the Qt driver does
// not expose (locking, integrity check, salvage, online backup). Failures
// are raised as EDatabaseError with the engine's message after our own
// French lead.

// Where a database file named on the command line (or by a tool) is: its
// absolute, clean path, so that "//srv/partage/base.db", "a//b.db" and
// "./b.db" all name their file whatever the working folder.
QString absoluteDatabasePath(const QString &path);
// The SQLite URI of that file, opened with `mode` ("rw", "ro"): its
// absolute path with '%', '?' and '#' percent-encoded, which a URI would
// otherwise decode or take for its query or fragment.
QString sqliteFileUri(const QString &path, const QString &mode);
// The SQLite handle under a Qt connection; null for another driver.
sqlite3 *sqliteHandle(const QSqlDatabase &connection);

class SqliteConnection
{
public:
    // Opens the file at `path` with the given SQLITE_OPEN_* flags (without
    // SQLITE_OPEN_CREATE a missing file is an error, never created). Raises
    // "<context> : <engine message>".
    SqliteConnection(const QString &path, int flags, const QString &context);
    ~SqliteConnection();

    SqliteConnection(const SqliteConnection &) = delete;
    SqliteConnection &operator=(const SqliteConnection &) = delete;

    sqlite3 *handle() const { return m_db; }
    QString errorMessage() const;
    int errorCode() const;

    // Raises "<context> : <engine message>" for the last failure.
    [[noreturn]] void fail(const QString &context) const;

    // Runs statements without result; returns the SQLite result code.
    int tryExec(const QString &sql);
    // The same, raising "<context> : <engine message>" on failure.
    void exec(const QString &sql, const QString &context);
    // The first column of every row, as text.
    QStringList column(const QString &sql, const QString &context);

    // Closes now (the destructor does it otherwise).
    void close();

private:
    sqlite3 *m_db = nullptr;
};

class SqliteStatement
{
public:
    // Raises "<context> : <engine message>" when the text does not compile.
    SqliteStatement(const SqliteConnection &db, const QString &sql, const QString &context);
    ~SqliteStatement();

    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;

    sqlite3_stmt *handle() const { return m_stmt; }

    // Returns SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    void reset();
    void bind(int index, sqlite3_int64 value);
    void bind(int index, const QString &value);

    sqlite3_int64 int64(int column) const { return sqlite3_column_int64(m_stmt, column); }
    QString text(int column) const;

private:
    sqlite3_stmt *m_stmt = nullptr;
};

// A name for use as an identifier in a statement: "name", inner quotes doubled.
QString sqliteIdentifier(const QString &name);
