#pragma once

// The repair of a database file: what the main window's button and
// orvalis-repair run. It sits beside the database layer: it may use store/,
// store/ never uses it.
//
// Its pieces: filerepair.cpp (the lock, the byte copy, the check, the
// whole-file replacement), pagereader.cpp (SQLite's file format read page
// by page), rowsalvage.cpp (the rows of a damaged file rebuilt into a new
// one), knowntables.cpp (the program's own tables, found by the shape of
// their rows when the schema is damaged).

#include "store/dberror.h"

#include <QBitArray>
#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <functional>
#include <memory>

class SqliteConnection;

namespace DatabaseRepair {

// Repairs the SQLite file at `path`, which no connection of this process
// may hold open. Returns normally when every row is there; raises
// EDatabaseError with the French message otherwise (rows lost or kept
// aside, a file that could not be repaired, one in use).
QString repairFile(const QString &path);

// A stage of the repair: where ORVALIS_REPAIR_TRACE prints the time spent so
// far, and where ORVALIS_REPAIR_KILL_AT may end the process as a power cut
// would (a test's way to check that every stage leaves either the file as it
// was or the repaired one, and the copy whole).
void killPoint(const char *stage);

} // namespace DatabaseRepair

// SQLite's file format read page by page, for the salvage of a damaged
// file: what the library can no longer reach (pages below a damaged root or
// interior page, a truncated file, a file whose header is damaged) is read
// here from the pages that remain. The format is SQLite's published one:
// b-tree pages, cells, records, overflow chains, the freelist and the
// write-ahead log. Nothing here writes.
namespace SqliteFormat {

struct Value
{
    enum Type : quint8 { Null, Integer, Real, Text, Blob };
    Type type = Null;
    qint64 integer = 0;
    double real = 0;
    QByteArray bytes; // text (in the database's encoding) or blob

    bool operator==(const Value &other) const;
    bool operator!=(const Value &other) const { return !(*this == other); }
};
using Values = QVector<Value>;

// A record's fields; false when its header does not describe exactly the
// bytes that follow it. With `views`, texts and blobs are not copied: they
// point into `payload`'s bytes, and are valid only as long as those are.
bool decodeRecord(const QByteArray &payload, Values &out, bool views = false);
// The record of these fields, each stored in its smallest form.
QByteArray encodeRecord(const Values &values);
// The same, appended to `out`.
void encodeRecordInto(const Values &values, QByteArray &out);

enum class Collation { Binary, NoCase, RTrim, Unknown };
// The order of an index with that collation; 0 for Unknown.
int compareValues(const Value &a, const Value &b, Collation collation);

// The pages of a database as SQLite reads them: the file, with the frames
// of its write-ahead log committed after them laid over it.
class PageImage
{
public:
    // Reads `size` bytes at `offset` of the database file into `into`;
    // returns how many it read (fewer at the end of the file), -1 on error.
    using Reader = std::function<qint64(qint64 offset, char *into, qint64 size)>;

    PageImage(Reader database, qint64 databaseSize, const QString &walPath);
    ~PageImage();

    int pageSize() const { return m_pageSize; }
    int usableSize() const { return m_usableSize; }
    quint32 pageCount() const { return m_pageCount; }
    // 1 UTF-8, 2 UTF-16le, 3 UTF-16be.
    int encoding() const { return m_encoding; }
    bool autoVacuum() const { return m_autoVacuum; }
    bool incrementalVacuum() const { return m_incrementalVacuum; }
    quint32 userVersion() const { return m_userVersion; }
    quint32 applicationId() const { return m_applicationId; }
    quint32 freelistTrunk() const { return m_freelistTrunk; }

    // A page's bytes, or nothing when the page is past what remains.
    QByteArray page(quint32 number) const;
    bool exists(quint32 number) const { return number >= 1 && number <= m_pageCount; }

private:
    void readWal(const QString &path);
    int guessPageSize() const;
    QByteArray fileBytes(qint64 offset, qint64 size) const;

    Reader m_read;
    qint64 m_fileSize = 0;
    int m_pageSize = 4096;
    int m_usableSize = 4096;
    quint32 m_pageCount = 0;
    int m_encoding = 1;
    bool m_autoVacuum = false;
    bool m_incrementalVacuum = false;
    quint32 m_userVersion = 0;
    quint32 m_applicationId = 0;
    quint32 m_freelistTrunk = 0;
    std::unique_ptr<QFile> m_wal;
    quint32 m_walPageCount = 0;
    QHash<quint32, qint64> m_walFrame; // page -> offset of its latest committed frame
};

// What one walk of a b-tree met.
struct TreeReport
{
    qint64 badCells = 0;        // cells found but unreadable
    QVector<qint64> badRowids;  // rowids of the unreadable table cells whose key still reads
    QVector<quint32> badPages;  // pages pointed to that are not a page of this tree
    // Where the rows of unreadable table pages and cells lie: low < rowid
    // <= high, from the keys of their parents; `unbounded` counts those
    // whose place nothing tells.
    QVector<QPair<qint64, qint64>> badRanges;
    int unbounded = 0;
    bool complete() const { return badCells == 0 && badPages.isEmpty(); }
};

// A row or an index entry as a walk hands it out. `verified` says that
// its page reads whole and that its key stands where the tree puts it.
struct Cell
{
    qint64 rowid = 0; // table cells
    Values values;
    QByteArray payload; // the record's bytes (see BtreeReader::setViews)
    bool verified = false;
    quint32 page = 0;
};
using CellSink = std::function<void(Cell &&)>;

// Walks the b-trees of one page image. Every page belongs to at most one
// tree: the first walk that reaches a page claims it, and a later walk that
// is pointed to it counts the pointer as damage.
class BtreeReader
{
public:
    explicit BtreeReader(const PageImage &image);
    int usableSize() const { return m_image.usableSize(); }

    // With views, the cells handed out are valid only during the call of
    // the sink: their payload may be the bytes of the page being read, and
    // their texts and blobs point into it (nothing is copied; a sink that
    // keeps a cell copies what it keeps). Without (the default), a cell is
    // the sink's own.
    void setViews(bool views) { m_views = views; }

    // Tree numbers are the caller's (0 is none).
    TreeReport walkTable(quint32 root, int tree, const CellSink &sink);
    TreeReport walkIndex(quint32 root, int tree, const CellSink &sink);
    // Claims the freelist's pages (those no tree has claimed).
    void claimFreelist();
    // Claims the pages that hold no b-tree by construction: the pointer
    // maps of an auto-vacuum file, the lock-byte page.
    void claimReserved();

    // Pages that no walk claimed and that read as a b-tree leaf (or an
    // interior index page, whose cells are entries too).
    struct Orphan
    {
        quint32 page;
        bool table;     // table leaf, else index page
        int fields;     // fields of its first readable record
    };
    QVector<Orphan> orphans() const;
    // The pages that walks gave to `tree`.
    qint64 pagesOf(int tree) const { return std::count(m_owner.cbegin(), m_owner.cend(), tree); }
    // The cells of one page, read alone (an orphan).
    TreeReport readPage(quint32 page, bool table, const CellSink &sink);

private:
    struct Bounds
    {
        bool hasLow = false, hasHigh = false;
        qint64 low = 0, high = 0; // low < rowid <= high
    };
    void walk(quint32 page, int tree, bool table, const Bounds &bounds, int depth, TreeReport &report,
              const CellSink &sink);
    bool claim(quint32 page, int tree);
    static void lostRange(const Bounds &bounds, TreeReport &report);
    bool payload(const QByteArray &page, int at, qint64 size, bool tableLeaf, int tree, QByteArray &out,
                 int &cellEnd, bool copy = true);

    const PageImage &m_image;
    QVector<int> m_owner; // by page number
    bool m_chainBroken = false; // the last payload failed in its overflow chain
    QBitArray m_visiting; // the pages of the walk under way
    bool m_views = false;
};

} // namespace SqliteFormat


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
    // Rows kept aside, in `asideTable` of the rebuilt file, never in the
    // table: those whose table and index readings disagree, or that no
    // sound index knows (doubtful), and those read from a damaged page
    // alone, that nothing vouches for (unverified).
    qint64 keptAside = 0;
    qint64 doubtful = 0;
    qint64 unverified = 0;
    QString asideTable;
    qint64 lost = 0;           // rows known to exist that no source could read
    qint64 lostAtMost = 0;     // lost rows, counted from the rowids that the damaged pages may hold
    bool unknownLoss = false;  // some rows may be lost and nothing can count them
    qint64 stale = 0;          // orphaned rows that a sound index does not know (deleted rows)
    qint64 refused = 0;        // readable rows that the rebuilt table refused
    QString refusal;           // the engine's reason for the first of them

    bool complete() const
    {
        return lost == 0 && lostAtMost == 0 && !unknownLoss && fromIndex == 0 && corrected == 0 && keptAside == 0
            && refused == 0 && stale == 0;
    }
};

struct SalvageResult
{
    QVector<TableSalvage> tables;
    // Rows on orphaned leaf pages that fit no damaged table, or more than one.
    qint64 unplacedRows = 0;
    // Definitions that no longer read: replaced by the program's own (its
    // tables and indexes), or dropped (any other).
    QStringList rewritten;
    QStringList dropped;

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

// The six tables the program reads, as it knows them: what the repair
// falls back on when the file's own schema does not read.
namespace KnownTables {

// Their statements (by their names in Schema), and those of the indexes
// the program recommends; empty for another name.
QString tableDefinition(const QString &name);
QString indexDefinition(const QString &name);
int columnCount(const QString &name);
// Their names, quoted as SQL strings, separated by commas.
QString columnNames(const QString &name);
// The record could be a row of that table: as many fields, of its types.
bool hasShape(const QString &name, const SqliteFormat::Values &values);

// The codes the facts use, to tell the pages of the tables of two text
// columns apart.
struct DimensionCodes
{
    QSet<QByteArray> agencies, users, suppliers, levels;
    void addFact(const SqliteFormat::Values &values);
    // Rows of the level links (read once the agencies are known).
    bool linksLevels(const QVector<SqliteFormat::Values> &rows) const;
    void addLinks(const QVector<SqliteFormat::Values> &rows);
    // Which of `candidates` a page with these rows belongs to; empty when
    // nothing tells.
    QString tableOf(const QVector<SqliteFormat::Values> &rows, const QStringList &candidates) const;
};

} // namespace KnownTables
