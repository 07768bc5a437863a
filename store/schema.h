#pragma once

#include <QStringList>

// The six tables the program reads, as the sample tool and the tests
// create them. The program itself never creates or alters a table.
namespace Schema {

QStringList createTables();

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
