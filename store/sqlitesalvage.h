#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

class SqliteConnection;

// What a salvage saved and what it could not.
struct SalvageResult
{
    qint64 rowsCopied = 0;
    // Rows known to be lost, by table. When a whole index of the table
    // reads, the count is exact (its entries less the rows saved).
    // Otherwise it counts the rowids whose page could not be read, exact
    // where rowids are dense and an upper bound elsewhere, plus the rows
    // that the rebuilt table refused (a constraint that damaged data no
    // longer meets).
    QMap<QString, qint64> rowsLost; // by table

    qint64 totalLost() const;
    // Tables where some rows are lost but their number cannot be known
    // (no whole index to count them, and the damage covers an end of the
    // rowid range, the table's root, or a table without rowid).
    QStringList tablesWithUnknownLoss;

    bool complete() const { return rowsLost.isEmpty() && tablesWithUnknownLoss.isEmpty(); }
};

// Copies every readable row of every table of `source` (a damaged database)
// into `target` (a new, empty database), after creating the same tables;
// indexes, views and triggers follow the rows. Each table is read by rowid
// ranges: a range that fails is split until the readable rows around the
// damaged pages are reached, so that one bad page costs only its own rows.
// Nothing is written to `source`. Raises EDatabaseError when the schema
// cannot be read or rebuilt; `target` is then to be thrown away.
SalvageResult salvageDatabase(SqliteConnection &source, SqliteConnection &target);
