#include "store/tabsquery.h"

#include "store/dberror.h"
#include "store/tabsdatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

QString TField::AsString() const
{
    return m_value.isNull() ? QString() : m_value.toString();
}

double TField::AsFloat() const
{
    if (m_value.isNull())
        return 0.0;
    bool ok = false;
    const double value = m_value.toDouble(&ok);
    if (!ok)
        throw EDatabaseError(QStringLiteral("« %1 » n'est pas une valeur numérique").arg(m_value.toString()));
    return value;
}

namespace {

bool run(QSqlQuery &query, const QString &sql, const QVariantList &values)
{
    if (values.isEmpty())
        return query.exec(sql);
    if (!query.prepare(sql))
        return false;
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec();
}

} // namespace

TABSQuery::TABSQuery(TABSDatabase *owner) : m_db(owner)
{
}

TABSQuery::~TABSQuery() = default;

void TABSQuery::SetDatabaseName(const QString &name)
{
    if (name != m_db->DatabaseName())
        throw EDatabaseError(QStringLiteral("Base de données inconnue : %1").arg(name));
}

void TABSQuery::Open()
{
    Close();
    const QString sql = text();
    m_db->noteStatement(sql);
    QSqlError error;
    {
        const QSqlDatabase db = m_db->connection();
        const TABSDatabase::AnswerWatch watch(m_db, db);
        QSqlQuery query(db);
        query.setForwardOnly(true);
        if (run(query, sql, m_values)) {
            const QSqlRecord record = query.record();
            for (int i = 0; i < record.count(); ++i)
                m_columns << record.fieldName(i);
            while (query.next()) {
                QVector<QVariant> row;
                row.reserve(m_columns.size());
                for (int i = 0; i < m_columns.size(); ++i)
                    row << query.value(i);
                m_rows << row;
            }
        }
        error = query.lastError();
    }
    if (m_db->failed(error)) {
        Close();
        m_db->failStatement(error, TABSDatabase::Doing::Reading, sql);
    }
    m_active = true;
    m_row = 0;
}

void TABSQuery::ExecSQL()
{
    Close();
    // Every change is made in a transaction, the caller's or its own: when
    // a server stops answering, a change whose commit was never sent is
    // never made, even if the server comes back to the statement later.
    TWriteTransaction transaction(m_db);
    const QString sql = text();
    m_db->noteStatement(sql);
    QSqlError error;
    {
        const QSqlDatabase db = m_db->connection();
        const TABSDatabase::AnswerWatch watch(m_db, db);
        QSqlQuery query(db);
        if (!run(query, sql, m_values))
            error = query.lastError();
    }
    if (m_db->failed(error))
        m_db->failStatement(error, TABSDatabase::Doing::Writing, sql);
    transaction.commit();
}

void TABSQuery::Close()
{
    m_active = false;
    m_columns.clear();
    m_rows.clear();
    m_row = 0;
}

void TABSQuery::Next()
{
    if (!Eof())
        ++m_row;
}

TField TABSQuery::FieldByName(const QString &name) const
{
    if (Eof())
        throw EDatabaseError(QStringLiteral("Aucune ligne courante pour lire le champ %1").arg(name));
    for (int i = 0; i < m_columns.size(); ++i) {
        if (m_columns.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return TField(m_rows.at(m_row).at(i));
    }
    throw EDatabaseError(QStringLiteral("Champ introuvable : %1").arg(name));
}
