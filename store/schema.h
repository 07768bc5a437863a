#pragma once

#include <QStringList>
#include <QVector>

// The six tables the program reads, as the sample tool and the tests
// create them. The program itself never creates or alters a table.
namespace Schema {

struct Column
{
    QString name;
    QString type;
};

struct Table
{
    QString name;
    QVector<Column> columns;
};

// The six tables and their columns, in the order they are created.
const QVector<Table> &tables();

QStringList createTables();
// Their names, in the order they are created.
QStringList tableNames();

// For an engine error that says a table or a column is missing, a French
// sentence naming it and the table it belongs to, taken from the failed
// statement (a column is looked for in the tables the statement reads),
// followed by the engine's own message. Empty for any other error.
QString missingObjectMessage(const QString &statement, const QString &engineMessage);

// The index that serves every figure of the tracking table: it covers the
// month, the agency, the account and the other dimensions, and holds the
// value, so each agency's and account's sums of a month are one range of
// it, read from the index alone. The agency right after the month also
// serves the users of one agency in a month (the user list and its rows),
// which would otherwise read the whole month.
QString recommendedIndex();
// Its name, as a server lists it (a server writes the statement again in
// its own words).
QString recommendedIndexName();
// The same columns with the account before the agency, as a filling
// process may have made it: the figures are read by ranges from it too.
QString accountFirstIndex();
QString accountFirstIndexName();

// The six account codes of the tracking table, in the order of its columns.
QStringList accountCodes();

} // namespace Schema
