#pragma once

#include "store/dberror.h"

#include <QString>
#include <QStringList>
#include <QVector>

class SqliteConnection;
namespace SqliteFormat {
class PageImage;
}

// What the salvage found and saved for one table.
struct TableSalvage
{
    QString table;
    // Distinct rows that some source read: the pages of the table (those
    // reached from its root, and orphaned leaves that can only be its own),
    // SQLite's reading by rowid ranges, and the entries of its indexes.
    qint64 readable = 0;
    qint64 saved = 0;          // rows written to the rebuilt table
    qint64 fromIndex = 0;      // saved from index entries alone, without some columns
    QStringList fromIndexes;   // the indexes they came from
    QStringList missingColumns; // the columns those rows lack
    qint64 corrected = 0;      // rows whose indexed columns were taken from a sound index
    qint64 doubtful = 0;       // rows whose table and index readings disagree, or no sound index knows
    qint64 unverified = 0;     // read from a damaged page: nothing contradicts them, nothing vouches for
                               // the columns no sound index holds
    qint64 lost = 0;           // rows known to exist (their key read) that no source could read
    qint64 lostAtMost = 0;     // lost rows, counted from the rowids that the damaged pages may hold
    bool unknownLoss = false;  // some rows may be lost and nothing can count them
    qint64 stale = 0;          // orphaned rows that a sound index does not know (deleted rows)
    qint64 refused = 0;        // readable rows that the rebuilt table refused
    QString refusal;           // the engine's reason for the first of them

    bool complete() const
    {
        return lost == 0 && lostAtMost == 0 && !unknownLoss && fromIndex == 0 && corrected == 0 && doubtful == 0
            && unverified == 0 && refused == 0 && stale == 0;
    }
};

struct SalvageResult
{
    QVector<TableSalvage> tables;
    // Rows on orphaned leaf pages that fit no damaged table, or more than one.
    qint64 unplacedRows = 0;

    qint64 saved() const;
    qint64 readable() const;
    // Every readable row is in the rebuilt file.
    bool holdsEverything() const;
    // Nothing lost, nothing in doubt.
    bool complete() const;
};

// Raised when no table of the damaged file can be found at all.
class ENoSchema : public EDatabaseError
{
public:
    using EDatabaseError::EDatabaseError;
};

// Copies every readable row of every table of a damaged database into
// `target` (a new, empty database), after creating the same tables;
// indexes, views and triggers follow the rows. The rows are read from
// `image` (the file's pages, its log laid over them) and, when `source`
// (SQLite's own connection to the file) can read the file, by rowid ranges
// too. Rows keep their rowids. Nothing is written to the damaged file.
// Raises EDatabaseError when no schema can be read, or when `target`
// cannot be written (a full disk, say); `target` is then to be thrown away.
SalvageResult salvageDatabase(SqliteConnection *source, const SqliteFormat::PageImage &image,
                              SqliteConnection &target);
