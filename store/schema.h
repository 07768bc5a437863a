#pragma once

#include <QStringList>

// The six tables the program reads, as the sample tool and the tests
// create them. The program itself never creates or alters a table.
namespace Schema {

QStringList createTables();

// The index that serves every figure of the tracking table: it covers the
// month, the account and the dimensions, and holds the value, so a month's
// sums are read from the index alone.
QString recommendedIndex();

// The six account codes of the tracking table, in the order of its columns.
QStringList accountCodes();

} // namespace Schema
