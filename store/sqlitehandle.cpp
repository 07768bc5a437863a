#include "store/sqlitehandle.h"

#include "store/dberror.h"

#include <QDir>
#include <QSqlDriver>
#include <QVariant>
#include <QFileInfo>

namespace {

[[noreturn]] void raise(const QString &context, const QString &why)
{
    throw EDatabaseError(context + QStringLiteral(" : ") + why);
}

} // namespace

QString absoluteDatabasePath(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

sqlite3 *sqliteHandle(const QSqlDatabase &connection)
{
    const QVariant handle = connection.driver() ? connection.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

QString sqliteFileUri(const QString &path, const QString &mode)
{
    QString escaped;
    for (QChar c : QFileInfo(path).absoluteFilePath()) {
        if (c == QLatin1Char('%') || c == QLatin1Char('?') || c == QLatin1Char('#'))
            escaped += QStringLiteral("%%1").arg(int(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    // One slash after "file:": two would start an authority.
    return QStringLiteral("file:") + escaped + QStringLiteral("?mode=") + mode;
}

SqliteConnection::SqliteConnection(const QString &path, int flags, const QString &context)
{
    // An absolute path never starts with "file:", so SQLite never reads it
    // as a URI, whatever its build options.
    const QByteArray name = absoluteDatabasePath(path).toUtf8();
    const int rc = sqlite3_open_v2(name.constData(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const QString why = m_db ? errorMessage() : QString::fromUtf8(sqlite3_errstr(rc));
        close();
        raise(context, why);
    }
    sqlite3_extended_result_codes(m_db, 1);
}

SqliteConnection::~SqliteConnection()
{
    close();
}

void SqliteConnection::close()
{
    if (m_db) {
        // Every statement is finalized by its owner first; close_v2 would
        // otherwise keep the file open behind our back.
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

QString SqliteConnection::errorMessage() const
{
    return QString::fromUtf8(sqlite3_errmsg(m_db));
}

int SqliteConnection::errorCode() const
{
    return sqlite3_extended_errcode(m_db);
}

void SqliteConnection::fail(const QString &context) const
{
    raise(context, errorMessage());
}

int SqliteConnection::tryExec(const QString &sql)
{
    return sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, nullptr);
}

void SqliteConnection::exec(const QString &sql, const QString &context)
{
    if (tryExec(sql) != SQLITE_OK)
        fail(context);
}

QStringList SqliteConnection::column(const QString &sql, const QString &context)
{
    SqliteStatement statement(*this, sql, context);
    QStringList values;
    int rc;
    while ((rc = statement.step()) == SQLITE_ROW)
        values << statement.text(0);
    if (rc != SQLITE_DONE)
        fail(context);
    return values;
}

SqliteStatement::SqliteStatement(const SqliteConnection &db, const QString &sql, const QString &context)
{
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(db.handle(), text.constData(), int(text.size()), &m_stmt, nullptr) != SQLITE_OK) {
        const QString why = db.errorMessage();
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        raise(context, why);
    }
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_stmt);
}

int SqliteStatement::step()
{
    return sqlite3_step(m_stmt);
}

void SqliteStatement::reset()
{
    sqlite3_reset(m_stmt);
}

void SqliteStatement::bind(int index, sqlite3_int64 value)
{
    sqlite3_bind_int64(m_stmt, index, value);
}

void SqliteStatement::bind(int index, const QString &value)
{
    const QByteArray text = value.toUtf8();
    sqlite3_bind_text(m_stmt, index, text.constData(), int(text.size()), SQLITE_TRANSIENT);
}

QString SqliteStatement::text(int column) const
{
    const auto *chars = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
    return chars ? QString::fromUtf8(chars, sqlite3_column_bytes(m_stmt, column)) : QString();
}

QString sqliteIdentifier(const QString &name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}
