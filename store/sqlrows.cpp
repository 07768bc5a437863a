#include "store/sqlrows.h"

#include "store/dberror.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

QList<QVariantList> queryRows(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        throw EDatabaseError(sql + QStringLiteral(": ") + query.lastError().text());
    QList<QVariantList> out;
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row << query.value(i);
        out << row;
    }
    return out;
}
