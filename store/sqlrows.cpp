#include "store/sqlrows.h"

#include "store/dberror.h"
#include "store/tabsdatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

QList<QVariantList> queryRows(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        throw EDatabaseError(sql + QStringLiteral(": ") + TABSDatabase::engineMessage(query.lastError()));
    const int columns = query.record().count();
    QList<QVariantList> out;
    while (query.next()) {
        QVariantList row;
        row.reserve(columns);
        for (int i = 0; i < columns; ++i)
            row << query.value(i);
        out << row;
    }
    return out;
}
