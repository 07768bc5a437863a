#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

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
// bytes that follow it.
bool decodeRecord(const QByteArray &payload, Values &out);
// The record of these fields, each stored in its smallest form.
QByteArray encodeRecord(const Values &values);

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
                 int &cellEnd);

    const PageImage &m_image;
    QVector<int> m_owner; // by page number
    QBitArray m_visiting; // the pages of the walk under way
};

} // namespace SqliteFormat
