#pragma once

#include <QStringList>
#include <QVariant>
#include <QVector>

class TABSDatabase;

// One column value of the current row.
class TField
{
public:
    explicit TField(const QVariant &value) : m_value(value) {}

    QString AsString() const;
    // A NULL (the sum over no rows, say) reads as 0.0.
    double AsFloat() const;
    bool IsNull() const { return m_value.isNull(); }
    // The bytes of a blob.
    QByteArray AsBytes() const { return m_value.toByteArray(); }
    // A code as a text, NULL as NULL (an invalid QVariant).
    QVariant AsKey() const { return m_value.isNull() ? QVariant() : QVariant(m_value.toString()); }

private:
    QVariant m_value;
};

// One statement on the program's database. A SELECT is run with Open() and
// read row by row; INSERT and DELETE are run with ExecSQL(). Every failure
// raises EDatabaseError carrying the engine's message.
class TABSQuery
{
public:
    explicit TABSQuery(TABSDatabase *owner);
    ~TABSQuery();

    TABSQuery(const TABSQuery &) = delete;
    TABSQuery &operator=(const TABSQuery &) = delete;

    // Binds the statement to the database of that name (the owner's).
    void SetDatabaseName(const QString &name);

    // The statement text, one entry per line.
    QStringList &SQL() { return m_sql; }
    // The values bound to its placeholders (?), in order: a statement of
    // our own passes its values this way, whatever characters they hold.
    QVariantList &Values() { return m_values; }
    QString text() const { return m_sql.join(QLatin1Char('\n')); }

    void Open();
    void ExecSQL();
    void Close();

    bool Eof() const { return !m_active || m_row >= m_rows.size(); }
    void Next();
    TField FieldByName(const QString &name) const;
    int RecordCount() const { return m_active ? int(m_rows.size()) : 0; }

private:
    TABSDatabase *m_db;
    QStringList m_sql;
    QVariantList m_values;
    QStringList m_columns;
    QVector<QVector<QVariant>> m_rows;
    qsizetype m_row = 0;
    bool m_active = false;
};
