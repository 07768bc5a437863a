#include "testsupport.h"

#include "store/schema.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <stdexcept>

ScriptedMessages::ScriptedMessages()
{
    m_previous = Messages::setHandler([this](const Messages::Box &box) {
        m_shown << box;
        if (box.buttons == QMessageBox::Ok)
            return QMessageBox::Ok;
        if (m_answers.isEmpty()) {
            ++m_unanswered;
            return QMessageBox::No;
        }
        return m_answers.takeFirst();
    });
}

ScriptedMessages::~ScriptedMessages()
{
    Messages::setHandler(m_previous);
}

QStringList ScriptedMessages::texts() const
{
    QStringList out;
    for (const Messages::Box &box : m_shown)
        out << box.text;
    return out;
}

StatementLog::StatementLog(TABSDatabase *db) : m_db(db)
{
    m_db->setStatementSpy([this](const QString &sql) { m_statements << sql; });
}

StatementLog::~StatementLog()
{
    m_db->setStatementSpy({});
}

QList<QVariantList> queryRows(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
    QList<QVariantList> out;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row << query.value(i);
        out << row;
    }
    return out;
}

namespace {
QAtomicInt testConnections;
}

TestDatabase::TestDatabase()
    : m_path(m_dir.filePath(QStringLiteral("test.db"))),
      m_connectionName(QStringLiteral("test-%1").arg(testConnections.fetchAndAddRelaxed(1)))
{
    for (const QString &sql : Schema::createTables())
        exec(sql);
}

TestDatabase::~TestDatabase()
{
    closeConnection();
}

QSqlDatabase TestDatabase::connection()
{
    if (QSqlDatabase::contains(m_connectionName))
        return QSqlDatabase::database(m_connectionName);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open())
        throw std::runtime_error(db.lastError().text().toStdString());
    // Test files need no protection against power loss.
    QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=OFF"));
    return db;
}

void TestDatabase::closeConnection()
{
    if (!QSqlDatabase::contains(m_connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

void TestDatabase::exec(const QString &sql, const QVariantList &values)
{
    QSqlQuery query(connection());
    if (!query.prepare(sql))
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
}

QVariant TestDatabase::scalar(const QString &sql)
{
    QSqlQuery query(connection());
    if (!query.exec(sql) || !query.next())
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
    return query.value(0);
}

QList<QVariantList> TestDatabase::rows(const QString &sql)
{
    return queryRows(connection(), sql);
}

void TestDatabase::addUser(const QString &code, const QString &label)
{
    exec(QStringLiteral("INSERT INTO dim_utilisateur (code, libelle) VALUES (?, ?)"), {code, label});
}

void TestDatabase::addAgency(const QString &code, const QString &label)
{
    exec(QStringLiteral("INSERT INTO dim_agence (code, libelle) VALUES (?, ?)"), {code, label});
}

void TestDatabase::addSupplier(const QString &code, const QString &label)
{
    exec(QStringLiteral("INSERT INTO dim_fournisseur (code, libelle) VALUES (?, ?)"), {code, label});
}

void TestDatabase::addLevel(const QString &code, const QString &label)
{
    exec(QStringLiteral("INSERT INTO dim_niveau (code, libelle) VALUES (?, ?)"), {code, label});
}

void TestDatabase::link(const QString &level, const QString &agency)
{
    exec(QStringLiteral("INSERT INTO niveau_agence (niveau, agence) VALUES (?, ?)"), {level, agency});
}

void TestDatabase::addFact(const QString &account, int year, int month, double value, const QVariant &agency,
                           const QVariant &user, const QVariant &supplier)
{
    exec(QStringLiteral("INSERT INTO data (code_account, period_year, period_month, valeur, dim_agence, "
                        "dim_utilisateur, dim_fournisseur, dim_dossier) VALUES (?, ?, ?, ?, ?, ?, ?, 'D1')"),
         {account, year, month, value, agency, user, supplier});
}
