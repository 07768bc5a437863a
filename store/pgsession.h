#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class ServerAddress;
struct pg_conn;

// A session of libpq itself, for what Qt's driver does not offer: loading
// rows in bulk with COPY, and running a script of several statements.
// Every failure raises EDatabaseError with the server's message.
class PgSession
{
public:
    explicit PgSession(const ServerAddress &address);
    ~PgSession();
    PgSession(const PgSession &) = delete;
    PgSession &operator=(const PgSession &) = delete;

    // Runs one statement or a script of several; `what` names it in the
    // error message.
    void exec(const QString &sql, const QString &what);
    // The first column of the first row, as text (null when there is none).
    QString scalar(const QString &sql);
    // The first column of every row, as the server's UTF-8 bytes (null
    // values left out).
    QList<QByteArray> column(const QString &sql);

    // COPY ... FROM STDIN: start, then rows in PostgreSQL's text format
    // (see copyField), then end.
    void copyStart(const QString &copyStatement);
    void copyRows(const QByteArray &rows);
    void copyEnd();

    // Appends a value to a COPY row, with its special characters escaped.
    static void copyField(QByteArray &row, const char *text, qsizetype size);

    QString display() const { return m_display; }

private:
    [[noreturn]] void fail(const QString &what) const;

    pg_conn *m_connection = nullptr;
    QString m_display;
    QString m_copy;
};
