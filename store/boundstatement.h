#pragma once

#include "store/tabsquery.h"

#include <QString>
#include <QStringList>
#include <QVariantList>

// A statement of our own: its text, with a placeholder where each value
// goes, and the values, bound when it runs. The engine receives each value
// whole, whatever it holds (quotes, a NUL), and never reads it as text of
// the statement.
struct BoundStatement
{
    QString text;
    QVariantList values;

    // The placeholder of the text `value`, bound in the order of the
    // calls. An empty code is an empty text, never NULL.
    QString bind(const QString &value)
    {
        values << (value.isNull() ? QStringLiteral("") : value);
        return QStringLiteral("?");
    }
    // Placeholders for a list, for IN (...) or VALUES.
    QString bindList(const QStringList &list, const QString &before = QString(), const QString &after = QString())
    {
        QStringList marks;
        for (const QString &value : list)
            marks << before + bind(value) + after;
        return marks.join(QStringLiteral(", "));
    }
    bool isEmpty() const { return text.isEmpty(); }
    // Sets the statement on `query`.
    void setOn(TABSQuery &query) const
    {
        query.SQL().append(text);
        query.Values() = values;
    }
};
