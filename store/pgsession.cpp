#include "store/pgsession.h"

#include "store/dberror.h"
#include "store/serveraddress.h"

#include <libpq-fe.h>

#include <memory>
#include <vector>

namespace {

struct ResultDeleter
{
    void operator()(PGresult *result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

} // namespace

PgSession::PgSession(const ServerAddress &address) : m_display(address.display())
{
    std::vector<QByteArray> keywords;
    std::vector<QByteArray> values;
    for (const auto &[keyword, value] : address.parameters()) {
        keywords.push_back(keyword.toUtf8());
        values.push_back(value.toUtf8());
    }
    std::vector<const char *> keywordPointers;
    std::vector<const char *> valuePointers;
    for (size_t i = 0; i < keywords.size(); ++i) {
        keywordPointers.push_back(keywords[i].constData());
        valuePointers.push_back(values[i].constData());
    }
    keywordPointers.push_back(nullptr);
    valuePointers.push_back(nullptr);

    m_connection = PQconnectdbParams(keywordPointers.data(), valuePointers.data(), 0);
    if (!m_connection)
        throw EDatabaseError(QStringLiteral("Impossible de se connecter au serveur PostgreSQL %1 : mémoire insuffisante")
                                 .arg(m_display));
    if (PQstatus(m_connection) != CONNECTION_OK) {
        const QString why = QString::fromUtf8(PQerrorMessage(m_connection)).simplified();
        PQfinish(m_connection);
        m_connection = nullptr;
        throw EDatabaseError(QStringLiteral("Impossible de se connecter au serveur PostgreSQL %1 : %2").arg(m_display, why));
    }
    PQsetClientEncoding(m_connection, "UTF8");
    // The server's notices ("table ... does not exist, skipping") are not
    // for the user of a tool; errors are raised.
    PQsetNoticeProcessor(m_connection, [](void *, const char *) {}, nullptr);
    exec(QStringLiteral("SET standard_conforming_strings = on"), QStringLiteral("Préparation de la session"));
}

PgSession::~PgSession()
{
    if (m_connection)
        PQfinish(m_connection);
}

void PgSession::fail(const QString &what) const
{
    throw EDatabaseError(QStringLiteral("%1 (%2) : %3")
                             .arg(what, m_display, QString::fromUtf8(PQerrorMessage(m_connection)).simplified()));
}

void PgSession::exec(const QString &sql, const QString &what)
{
    const Result result(PQexec(m_connection, sql.toUtf8().constData()));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        fail(what);
}

QString PgSession::scalar(const QString &sql)
{
    const Result result(PQexec(m_connection, sql.toUtf8().constData()));
    if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK)
        fail(sql);
    if (PQntuples(result.get()) == 0 || PQnfields(result.get()) == 0 || PQgetisnull(result.get(), 0, 0))
        return QString();
    return QString::fromUtf8(PQgetvalue(result.get(), 0, 0));
}

QList<QByteArray> PgSession::column(const QString &sql)
{
    const Result result(PQexec(m_connection, sql.toUtf8().constData()));
    if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK)
        fail(sql);
    QList<QByteArray> values;
    for (int row = 0; row < PQntuples(result.get()); ++row)
        if (PQnfields(result.get()) > 0 && !PQgetisnull(result.get(), row, 0))
            values << QByteArray(PQgetvalue(result.get(), row, 0), PQgetlength(result.get(), row, 0));
    return values;
}

void PgSession::copyStart(const QString &copyStatement)
{
    m_copy = copyStatement;
    const Result result(PQexec(m_connection, copyStatement.toUtf8().constData()));
    if (!result || PQresultStatus(result.get()) != PGRES_COPY_IN)
        fail(copyStatement);
}

void PgSession::copyRows(const QByteArray &rows)
{
    if (!rows.isEmpty() && PQputCopyData(m_connection, rows.constData(), int(rows.size())) != 1)
        fail(m_copy);
}

void PgSession::copyEnd()
{
    if (PQputCopyEnd(m_connection, nullptr) != 1)
        fail(m_copy);
    // The outcome of the COPY, then the end of its results.
    bool failed = false;
    while (PGresult *raw = PQgetResult(m_connection)) {
        const Result result(raw);
        failed = failed || PQresultStatus(raw) != PGRES_COMMAND_OK;
    }
    if (failed)
        fail(m_copy);
}

void PgSession::copyField(QByteArray &row, const char *text, qsizetype size)
{
    for (qsizetype i = 0; i < size; ++i) {
        const char c = text[i];
        switch (c) {
        case '\\':
            row += "\\\\";
            break;
        case '\t':
            row += "\\t";
            break;
        case '\n':
            row += "\\n";
            break;
        case '\r':
            row += "\\r";
            break;
        default:
            row += c;
        }
    }
}
