#pragma once

#include "app/messages.h"
#include "store/tabsdatabase.h"

#include <QList>
#include <QSqlDatabase>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

// Answers every message box the code shows, from a queue of answers, and
// records what was shown. No real modal box appears while one is alive.
class ScriptedMessages
{
public:
    ScriptedMessages();
    ~ScriptedMessages();

    // The answer to the next box with a choice (Yes/No).
    void answerNext(QMessageBox::StandardButton answer) { m_answers << answer; }

    const QList<Messages::Box> &shown() const { return m_shown; }
    QStringList texts() const;
    void clear() { m_shown.clear(); }
    // Boxes with a choice that found no scripted answer.
    int unanswered() const { return m_unanswered; }

private:
    Messages::Handler m_previous;
    QList<Messages::Box> m_shown;
    QList<QMessageBox::StandardButton> m_answers;
    int m_unanswered = 0;
};

// Records every statement that the database layer runs.
class StatementLog
{
public:
    explicit StatementLog(TABSDatabase *db);
    ~StatementLog();

    const QStringList &statements() const { return m_statements; }
    void clear() { m_statements.clear(); }

private:
    TABSDatabase *m_db;
    QStringList m_statements;
};

// Runs a SELECT on a connection and returns its rows; throws
// std::runtime_error (naming the statement) when it fails.
QList<QVariantList> queryRows(const QSqlDatabase &db, const QString &sql);

// A small database file with the six tables, in its own temporary folder.
class TestDatabase
{
public:
    TestDatabase();
    ~TestDatabase();

    QString path() const { return m_path; }
    QString folder() const { return m_dir.path(); }

    // Runs a statement on a connection of the test's own; fails the test
    // on error (throws std::runtime_error).
    void exec(const QString &sql, const QVariantList &values = {});
    QVariant scalar(const QString &sql);
    QList<QVariantList> rows(const QString &sql);

    void addUser(const QString &code, const QString &label);
    void addAgency(const QString &code, const QString &label);
    void addSupplier(const QString &code, const QString &label);
    void addLevel(const QString &code, const QString &label);
    void link(const QString &level, const QString &agency);
    void addFact(const QString &account, int year, int month, double value, const QVariant &agency,
                 const QVariant &user, const QVariant &supplier = QStringLiteral("F1"));

    // Releases the test's own connection (before a repair, say).
    void closeConnection();

private:
    QSqlDatabase connection();

    QTemporaryDir m_dir;
    QString m_path;
    QString m_connectionName;
};
