#include "repair/repair.h"

#include "store/schema.h"

#include "store/dberror.h"
#include "store/sqlitehandle.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <memory_resource>
#include <unordered_map>

using namespace SqliteFormat;

namespace {

constexpr qint64 RowidMin = std::numeric_limits<qint64>::min();
constexpr qint64 RowidMax = std::numeric_limits<qint64>::max();
constexpr quint64 AllColumns = ~quint64(0);

quint64 distance(qint64 lo, qint64 hi)
{
    return quint64(hi) - quint64(lo);
}

qint64 advance(qint64 from, quint64 by)
{
    return qint64(quint64(from) + by);
}

quint64 bit(int column)
{
    return column < 64 ? quint64(1) << column : 0;
}

bool isReservedName(const QString &name)
{
    return name.startsWith(QLatin1String("sqlite_"), Qt::CaseInsensitive);
}

// Errors that say nothing about the file: they end the salvage instead of
// marking rows as unreadable. A read error (a bad sector) is damage.
bool isHardFailure(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_NOMEM:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_INTERRUPT:
    case SQLITE_FULL:
        return true;
    default:
        return false;
    }
}

int sqliteEncoding(int encoding)
{
    return encoding == 2 ? SQLITE_UTF16LE : encoding == 3 ? SQLITE_UTF16BE : SQLITE_UTF8;
}

QString textOf(const Value &value, int encoding)
{
    if (value.type != Value::Text)
        return {};
    if (encoding == 1)
        return QString::fromUtf8(value.bytes);
    QStringDecoder decode(encoding == 2 ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
    return decode(value.bytes);
}

Value valueOf(sqlite3_value *v, int encoding)
{
    Value out;
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
        out.type = Value::Integer;
        out.integer = sqlite3_value_int64(v);
        break;
    case SQLITE_FLOAT:
        out.type = Value::Real;
        out.real = sqlite3_value_double(v);
        break;
    case SQLITE_TEXT: {
        out.type = Value::Text;
        const void *data = encoding == 2 ? sqlite3_value_text16le(v)
            : encoding == 3             ? sqlite3_value_text16be(v)
                                        : static_cast<const void *>(sqlite3_value_text(v));
        const int size = encoding == 1 ? sqlite3_value_bytes(v) : sqlite3_value_bytes16(v);
        out.bytes = QByteArray(static_cast<const char *>(data), size);
        break;
    }
    case SQLITE_BLOB:
        out.type = Value::Blob;
        out.bytes = QByteArray(static_cast<const char *>(sqlite3_value_blob(v)), sqlite3_value_bytes(v));
        break;
    default:
        break;
    }
    return out;
}

// With `copy` false, the value's bytes must stay as they are until the
// statement has run.
void bindValue(sqlite3_stmt *statement, int index, const Value &value, int encoding, bool copy = true)
{
    switch (value.type) {
    case Value::Null:
        sqlite3_bind_null(statement, index);
        break;
    case Value::Integer:
        sqlite3_bind_int64(statement, index, value.integer);
        break;
    case Value::Real:
        sqlite3_bind_double(statement, index, value.real);
        break;
    case Value::Text:
        sqlite3_bind_text64(statement, index, value.bytes.constData(), sqlite3_uint64(value.bytes.size()),
                            copy ? SQLITE_TRANSIENT : SQLITE_STATIC, quint8(sqliteEncoding(encoding)));
        break;
    case Value::Blob:
        sqlite3_bind_blob64(statement, index, value.bytes.constData(), sqlite3_uint64(value.bytes.size()),
                            copy ? SQLITE_TRANSIENT : SQLITE_STATIC);
        break;
    }
}

// Runs an insert whose values are bound: true when the row is saved,
// false when the rebuilt table refuses it (counted, the first reason
// kept); any other failure ends the salvage.
bool insertRow(SqliteStatement &insert, const SqliteConnection &target, const QString &context, TableSalvage &out)
{
    const int rc = insert.step();
    // Read before the reset, and only for a refusal.
    const QString why = rc == SQLITE_DONE ? QString() : target.errorMessage();
    insert.reset();
    if ((rc & 0xff) == SQLITE_CONSTRAINT) {
        if (out.refused++ == 0)
            out.refusal = why;
        return false;
    }
    if (rc != SQLITE_DONE)
        throw EDatabaseError(context + QStringLiteral(" : ") + why);
    ++out.saved;
    return true;
}

struct SchemaEntry
{
    QString type;
    QString name;
    QString table;
    QString sql;
    quint32 root = 0;
    bool dropped = false; // its definition no longer reads: its pages are claimed, nothing more
};

// The schema, from SQLite when it reads it whole, else from the pages of
// sqlite_master. Either way its pages are claimed first (tree 1).
// `source` is cleared when SQLite cannot read the schema: it can read no
// table then.
QList<SchemaEntry> readSchema(SqliteConnection *&source, BtreeReader &pages, int encoding)
{
    QList<SchemaEntry> fromPages;
    pages.walkTable(1, 1, [&](Cell &&cell) {
        if (cell.values.size() < 5)
            return;
        SchemaEntry entry{textOf(cell.values[0], encoding), textOf(cell.values[1], encoding),
                          textOf(cell.values[2], encoding), textOf(cell.values[4], encoding),
                          cell.values[3].type == Value::Integer ? quint32(cell.values[3].integer) : 0};
        static const QStringList types{QStringLiteral("table"), QStringLiteral("index"), QStringLiteral("view"),
                                       QStringLiteral("trigger")};
        if (types.contains(entry.type) && !entry.name.isEmpty())
            fromPages << entry;
    });
    if (source) {
        sqlite3_stmt *read = nullptr;
        QList<SchemaEntry> entries;
        int rc = sqlite3_prepare_v2(source->handle(),
                                    "SELECT type, name, tbl_name, rootpage, sql FROM main.sqlite_master ORDER BY rowid",
                                    -1, &read, nullptr);
        const auto text = [&read](int column) {
            const auto *chars = reinterpret_cast<const char *>(sqlite3_column_text(read, column));
            return chars ? QString::fromUtf8(chars, sqlite3_column_bytes(read, column)) : QString();
        };
        while (rc == SQLITE_OK && (rc = sqlite3_step(read)) == SQLITE_ROW)
            entries.append({text(0), text(1), text(2), text(4), quint32(sqlite3_column_int64(read, 3))});
        sqlite3_finalize(read);
        if (rc == SQLITE_DONE)
            return entries;
        source = nullptr;
    }
    return fromPages;
}

bool isWithoutRowid(SqliteConnection &target, const QString &table)
{
    sqlite3_stmt *probe = nullptr;
    const QByteArray text = QStringLiteral("SELECT _rowid_ FROM %1").arg(sqliteIdentifier(table)).toUtf8();
    const bool rowid = sqlite3_prepare_v2(target.handle(), text.constData(), int(text.size()), &probe, nullptr)
        == SQLITE_OK;
    sqlite3_finalize(probe);
    return !rowid;
}

// A table as its records store it, read from the rebuilt schema.
struct TableInfo
{
    QString name;
    bool withoutRowid = false;
    QString rowidName;
    QStringList recordColumns; // stored in each record, in order
    QVector<int> cids;         // their column numbers
    QVector<bool> real;        // REAL affinity: a whole number is stored as an integer
    QVector<Value> defaults;   // what a record too short for the column holds
    QVector<int> insertable;   // record columns that an INSERT gives (not generated)
    int ipk = -1;              // record column that is the rowid itself
};

bool realAffinity(const QString &declared)
{
    const QString t = declared.toUpper();
    if (t.contains(QLatin1String("INT")) || t.contains(QLatin1String("CHAR")) || t.contains(QLatin1String("CLOB"))
        || t.contains(QLatin1String("TEXT")) || t.contains(QLatin1String("BLOB")) || t.isEmpty())
        return false;
    return t.contains(QLatin1String("REAL")) || t.contains(QLatin1String("FLOA")) || t.contains(QLatin1String("DOUB"));
}

TableInfo tableInfo(SqliteConnection &target, const QString &table, int encoding)
{
    TableInfo info;
    info.name = table;
    info.withoutRowid = isWithoutRowid(target, table);
    const QString context = QStringLiteral("Lecture du schéma de la table « %1 »").arg(table);
    SqliteStatement columns(target,
                            QStringLiteral("SELECT name, type, hidden, pk, dflt_value, cid FROM "
                                           "pragma_table_xinfo(?1, 'main') ORDER BY cid"),
                            context);
    columns.bind(1, table);
    QStringList all;
    int pkCount = 0, pkColumn = -1;
    bool pkInteger = false;
    while (columns.step() == SQLITE_ROW) {
        const QString name = columns.text(0);
        const int hidden = sqlite3_column_int(columns.handle(), 2);
        all << name.toLower();
        if (sqlite3_column_int(columns.handle(), 3) > 0) {
            ++pkCount;
            pkInteger = columns.text(1).compare(QLatin1String("INTEGER"), Qt::CaseInsensitive) == 0;
            pkColumn = int(info.recordColumns.size());
        }
        if (hidden == 2)
            continue; // a virtual generated column: computed, never stored
        Value fallback;
        const QString expression = columns.text(4);
        if (!expression.isEmpty()) {
            sqlite3_stmt *evaluate = nullptr;
            const QByteArray text = (QStringLiteral("SELECT ") + expression).toUtf8();
            if (sqlite3_prepare_v2(target.handle(), text.constData(), int(text.size()), &evaluate, nullptr) == SQLITE_OK
                && sqlite3_step(evaluate) == SQLITE_ROW)
                fallback = valueOf(sqlite3_column_value(evaluate, 0), encoding);
            sqlite3_finalize(evaluate);
        }
        if (hidden == 0)
            info.insertable << int(info.recordColumns.size());
        info.recordColumns << name;
        info.cids << sqlite3_column_int(columns.handle(), 5);
        info.real << realAffinity(columns.text(1));
        info.defaults << fallback;
    }
    if (info.recordColumns.isEmpty())
        target.fail(context);
    for (const QString &name : {QStringLiteral("rowid"), QStringLiteral("_rowid_"), QStringLiteral("oid")}) {
        if (!all.contains(name)) {
            info.rowidName = name;
            break;
        }
    }
    if (!info.withoutRowid && pkCount == 1 && pkInteger)
        info.ipk = pkColumn;
    return info;
}

struct IndexInfo
{
    QString name;
    bool partial = false;
    QVector<int> position; // per field: record column, -1 the rowid, -2 an expression
    QVector<bool> descending;
    QVector<Collation> collation;
};

IndexInfo indexInfo(SqliteConnection &target, const TableInfo &table, const QString &index)
{
    IndexInfo info;
    info.name = index;
    const QString context = QStringLiteral("Lecture du schéma de l'index « %1 »").arg(index);
    SqliteStatement fields(target,
                           QStringLiteral("SELECT cid, \"desc\", coll FROM pragma_index_xinfo(?1, 'main') "
                                          "ORDER BY seqno"),
                           context);
    fields.bind(1, index);
    while (fields.step() == SQLITE_ROW) {
        const int cid = sqlite3_column_int(fields.handle(), 0);
        info.position << (cid >= 0 ? int(table.cids.indexOf(cid)) : cid == -1 ? -1 : -2);
        if (cid >= 0 && info.position.last() < 0)
            info.position.last() = -2;
        info.descending << (sqlite3_column_int(fields.handle(), 1) != 0);
        const QString coll = fields.text(2).toUpper();
        info.collation << (coll == QLatin1String("BINARY") ? Collation::Binary
                           : coll == QLatin1String("NOCASE") ? Collation::NoCase
                           : coll == QLatin1String("RTRIM")  ? Collation::RTrim
                                                             : Collation::Unknown);
    }
    SqliteStatement list(target, QStringLiteral("SELECT partial FROM pragma_index_list(?1, 'main') WHERE name = ?2"),
                         context);
    list.bind(1, table.name);
    list.bind(2, index);
    if (list.step() == SQLITE_ROW)
        info.partial = sqlite3_column_int(list.handle(), 0) != 0;
    return info;
}

// The rows of one table, gathered from every source before any is written.
class TableRows
{
public:
    TableRows(SqliteConnection *source, BtreeReader &pages, SqliteConnection &target, const TableInfo &info,
              int encoding, TableSalvage &out)
        : m_source(source), m_pages(pages), m_target(target), m_info(info), m_encoding(encoding), m_out(out)
    {
        // A million rows are read here: their cells are not copied, each
        // record is kept once, in one buffer.
        m_pages.setViews(true);
    }
    ~TableRows() { m_pages.setViews(false); }

    void readPages(quint32 root, int tree, const QVector<quint32> &orphans)
    {
        // Its records take about as many bytes as its pages.
        m_records.reserve(qsizetype(std::min<qint64>(m_pages.pagesOf(tree), 1 << 18) * m_pages.usableSize()));
        const TreeReport report = m_pages.walkTable(root, tree, [this](Cell &&cell) {
            add(cell.rowid, std::move(cell.values), cell.verified ? FromTable | Verified : FromTable, &cell.payload);
        });
        note(report);
        m_treeSound = report.complete();
        for (const quint32 page : orphans)
            note(m_pages.readPage(page, true, [this](Cell &&cell) {
                add(cell.rowid, std::move(cell.values), cell.verified ? FromOrphan | Verified : FromOrphan,
                    &cell.payload);
            }));
    }

    // A table that the schema no longer names: the pages of its shape.
    void readOrphans(const QVector<quint32> &orphans)
    {
        for (const quint32 page : orphans)
            note(m_pages.readPage(page, true, [this](Cell &&cell) {
                add(cell.rowid, std::move(cell.values), cell.verified ? FromTable | Verified : FromTable, &cell.payload);
            }));
        m_unbounded += 1; // nothing says that every page of it was found
    }

    void readRanges();
    void readIndex(const IndexInfo &index, quint32 root, int tree);
    void settle();
    void write();
    void writeAside(const std::vector<qint64> &rowids);

private:
    enum Flag : quint16 {
        FromTable = 1,   // the table's own pages, or SQLite's reading of them
        Verified = 2,    // ... from a page that reads whole, its key where the tree puts it
        FromOrphan = 4,  // an orphaned leaf only
        Corrected = 8,   // indexed columns taken from a sound index
        Doubtful = 16,
        InIndex = 32,    // met in the index being read
        Unindexed = 64,  // absent from a sound index
        FromSqlite = 128,
    };

    struct Row
    {
        qsizetype at = 0; // its record in m_records
        qsizetype size = 0;
        quint64 known = AllColumns; // the columns read; the others are NULL
        quint16 flags = 0;
    };

    // The bytes of a row's record, valid until a record is stored.
    QByteArray record(const Row &row) const
    {
        return QByteArray::fromRawData(m_records.constData() + row.at, row.size);
    }
    // `bytes` must not be a record of m_records.
    void store(Row &row, const QByteArray &bytes)
    {
        row.at = m_records.size();
        row.size = bytes.size();
        m_records.append(bytes);
    }

    void note(const TreeReport &report)
    {
        for (const qint64 rowid : report.badRowids)
            m_badRowids.insert(rowid);
        m_badRanges += report.badRanges;
        m_unbounded += report.unbounded;
    }

    // Puts the record columns in the stored form of the table; false when
    // the record has more fields than the table has columns. `changed`
    // says whether any was not in that form already.
    bool normalize(Values &values, qint64 rowid, bool &changed) const
    {
        const int count = int(m_info.recordColumns.size());
        if (values.size() > count)
            return false;
        changed = values.size() < count || m_info.ipk >= 0;
        while (values.size() < count)
            values << m_info.defaults[values.size()];
        if (m_info.ipk >= 0) {
            values[m_info.ipk].type = Value::Integer;
            values[m_info.ipk].integer = rowid;
        }
        for (int i = 0; i < count; ++i)
            changed = normalize(values[i], i) || changed;
        return true;
    }

    bool normalize(Value &value, int column) const
    {
        if (m_info.real[column] && value.type == Value::Integer) {
            value.type = Value::Real;
            value.real = double(value.integer);
            return true;
        }
        return false;
    }

    // Two records of the same values, whatever the form of each.
    bool sameRecord(const QByteArray &a, const QByteArray &b)
    {
        if (a == b)
            return true;
        Values x, y;
        return decodeRecord(a, x, true) && decodeRecord(b, y, true) && x == y;
    }

    // `payload`, when given, is the record that `values` were read from.
    void add(qint64 rowid, Values &&values, quint16 flags, const QByteArray *payload = nullptr)
    {
        bool changed = true;
        if (!normalize(values, rowid, changed)) {
            m_badRowids.insert(rowid); // more fields than the table has columns
            return;
        }
        // A record already in the table's form is kept as it was read.
        const bool asRead = payload && !changed;
        const QByteArray read = asRead ? QByteArray::fromRawData(payload->constData(), payload->size()) : QByteArray();
        if (!asRead) {
            m_encoded.resize(0);
            encodeRecordInto(values, m_encoded);
        }
        const QByteArray &encoded = asRead ? read : m_encoded;
        const auto found = m_rows.find(rowid);
        if (found == m_rows.end()) {
            Row row{0, 0, AllColumns, flags};
            store(row, encoded);
            m_rows.emplace(rowid, row);
            return;
        }
        Row &row = found->second;
        // A leaf that no tree reaches any more may be an old copy of a live
        // one (a freed page whose freelist does not read): the live tree's
        // sound reading stands.
        if ((flags & FromOrphan) && (row.flags & FromTable) && (row.flags & Verified))
            return;
        row.flags |= flags & (FromTable | FromSqlite);
        if (row.flags & FromTable)
            row.flags &= ~FromOrphan;
        if (sameRecord(record(row), encoded)) {
            row.flags |= flags & Verified;
            return;
        }
        // Two readings of one rowid that differ. SQLite's own reading of
        // the same cell wins over ours (and says that ours went wrong); a
        // cell of a page that reads whole, its key in place, wins over
        // another one; between two cells that nothing tells apart the row
        // is in doubt.
        if (flags & FromSqlite) {
            store(row, encoded);
            row.flags |= Doubtful;
        } else if ((flags & Verified) && !(row.flags & Verified)) {
            store(row, encoded);
            row.flags |= Verified;
        } else if (!(row.flags & Verified) || (flags & Verified)) {
            row.flags |= Doubtful;
        }
    }

    bool less(const Values &a, const Values &b, const IndexInfo &index) const
    {
        for (int i = 0; i < index.position.size(); ++i) {
            int c = compareValues(a[i], b[i], index.position[i] == -1 ? Collation::Binary : index.collation[i]);
            if (index.descending[i])
                c = -c;
            if (c)
                return c < 0;
        }
        return false;
    }

    void apply(const IndexInfo &index, const Values &entry, bool verified);


    SqliteConnection *m_source;
    BtreeReader &m_pages;
    SqliteConnection &m_target;
    const TableInfo &m_info;
    const int m_encoding;
    TableSalvage &m_out;
    // A million rows: their nodes come from one arena, not one by one
    // from the allocator.
    std::pmr::monotonic_buffer_resource m_arena;
    std::pmr::unordered_map<qint64, Row> m_rows{&m_arena};
    QByteArray m_records;  // the records of m_rows, one after the other
    QByteArray m_encoded;  // the record being read
    Values m_values;       // a record decoded (views into m_records)
    QSet<qint64> m_badRowids;    // keys of cells that do not read
    QVector<QPair<qint64, qint64>> m_badRanges; // where unreadable pages and cells hold their rows
    int m_unbounded = 0;         // unreadable pages and cells whose place is unknown
    bool m_treeSound = false;    // every page and cell of the tree reads
    bool m_soundIndex = false;   // an index read whole names every row
    qint64 m_badEntries = 0;
};

// SQLite's own reading, by rowid ranges: a range that fails goes on after
// the damaged pages, from the first rowid that reads again.
class RangeReader
{
public:
    using Sink = std::function<void(qint64, Values &&)>;
    RangeReader(SqliteConnection &source, const TableInfo &info, int encoding, Sink sink)
        : m_source(source), m_info(info), m_encoding(encoding), m_sink(std::move(sink))
    {
    }

    void run()
    {
        const QString table = sqliteIdentifier(m_info.name);
        const QString rowid = m_info.rowidName;
        QStringList quoted;
        for (const QString &column : m_info.recordColumns)
            quoted << sqliteIdentifier(column);
        const QString context = QStringLiteral("Lecture de la table « %1 »").arg(m_info.name);
        SqliteStatement range(m_source,
                              QStringLiteral("SELECT %1, %2 FROM %3 WHERE %1 BETWEEN ?1 AND ?2 ORDER BY %1")
                                  .arg(rowid, quoted.join(QStringLiteral(", ")), table),
                              context);
        SqliteStatement seek(m_source,
                             QStringLiteral("SELECT %1 FROM %2 WHERE %1 >= ?1 ORDER BY %1 LIMIT 1").arg(rowid, table),
                             context);
        m_range = &range;
        m_seek = &seek;
        if (m_only.isEmpty()) {
            const std::optional<qint64> lo = bound(QStringLiteral("ASC"));
            const std::optional<qint64> hi = bound(QStringLiteral("DESC"));
            copyRange(lo.value_or(RowidMin), hi.value_or(RowidMax));
        } else {
            for (const auto &[low, high] : std::as_const(m_only))
                if (low < high)
                    copyRange(low + 1, high);
        }
        m_range = m_seek = nullptr;
    }

    // Reads only these ranges (low < rowid <= high).
    void restrictTo(const QVector<QPair<qint64, qint64>> &ranges)
    {
        m_only = ranges;
    }

private:
    void checkSoft(int rc) const
    {
        if (rc != SQLITE_ROW && rc != SQLITE_DONE && isHardFailure(rc))
            m_source.fail(QStringLiteral("Lecture de la table « %1 »").arg(m_info.name));
    }

    std::optional<qint64> bound(const QString &order)
    {
        sqlite3_stmt *statement = nullptr;
        const QByteArray text = QStringLiteral("SELECT %1 FROM %2 ORDER BY %1 %3 LIMIT 1")
                                    .arg(m_info.rowidName, sqliteIdentifier(m_info.name), order)
                                    .toUtf8();
        std::optional<qint64> value;
        if (sqlite3_prepare_v2(m_source.handle(), text.constData(), int(text.size()), &statement, nullptr)
            == SQLITE_OK) {
            const int rc = sqlite3_step(statement);
            if (rc == SQLITE_ROW)
                value = sqlite3_column_int64(statement, 0);
            sqlite3_finalize(statement);
            checkSoft(rc);
        } else {
            sqlite3_finalize(statement);
        }
        return value;
    }

    std::optional<qint64> scan(qint64 a, qint64 b)
    {
        m_range->bind(1, a);
        m_range->bind(2, b);
        std::optional<qint64> last;
        int rc;
        while ((rc = m_range->step()) == SQLITE_ROW) {
            const qint64 rowid = m_range->int64(0);
            if ((last && rowid <= *last) || rowid < a || rowid > b) {
                rc = SQLITE_CORRUPT; // a damaged tree out of order: its pages tell the rest
                break;
            }
            last = rowid;
            Values values;
            const int count = sqlite3_column_count(m_range->handle());
            values.reserve(count - 1);
            for (int i = 1; i < count; ++i)
                values << valueOf(sqlite3_column_value(m_range->handle(), i), m_encoding);
            m_sink(*last, std::move(values));
        }
        m_range->reset();
        if (rc == SQLITE_DONE)
            return std::nullopt;
        checkSoft(rc);
        if (!last)
            return a;
        if (*last >= b)
            return std::nullopt;
        return *last + 1;
    }

    bool readsFrom(qint64 x)
    {
        m_seek->bind(1, x);
        const int rc = m_seek->step();
        m_seek->reset();
        checkSoft(rc);
        return rc == SQLITE_ROW || rc == SQLITE_DONE;
    }

    std::optional<qint64> firstReadableAfter(qint64 from, qint64 b)
    {
        qint64 bad = from;
        quint64 step = 1;
        for (;;) {
            const quint64 room = distance(bad, b);
            if (room == 0)
                return std::nullopt;
            const qint64 probe = advance(bad, std::min(step, room));
            if (readsFrom(probe)) {
                qint64 good = probe;
                while (distance(bad, good) > 1) {
                    const qint64 mid = advance(bad, distance(bad, good) / 2);
                    (readsFrom(mid) ? good : bad) = mid;
                }
                return good;
            }
            bad = probe;
            if (step < (quint64(1) << 62))
                step *= 2;
        }
    }

    // A run of rowids that SQLite cannot read is stepped over once its
    // readable edge is found: the pages themselves give what it holds.
    // The reading gives up after so many damaged runs.
    static constexpr int MaxRuns = 4096;

    void copyRange(qint64 a, qint64 b)
    {
        for (int runs = 0; runs < MaxRuns; ++runs) {
            const std::optional<qint64> failed = scan(a, b);
            if (!failed)
                return;
            const std::optional<qint64> next = firstReadableAfter(*failed, b);
            if (!next || *next <= a)
                return;
            a = *next;
        }
    }

    SqliteConnection &m_source;
    const TableInfo &m_info;
    const int m_encoding;
    Sink m_sink;
    SqliteStatement *m_range = nullptr;
    SqliteStatement *m_seek = nullptr;
    QVector<QPair<qint64, qint64>> m_only;
};

void TableRows::readRanges()
{
    // SQLite reads the same pages as the walk: where every page read, it
    // has nothing to add; where the damaged pages' place is known, it is
    // asked for those rowids only.
    if (!m_source || m_info.rowidName.isEmpty() || m_treeSound)
        return;
    RangeReader reader(*m_source, m_info, m_encoding, [this](qint64 rowid, Values &&values) {
        // Not verified: SQLite reads the same cells as we do, it does not
        // tell a damaged one from a sound one.
        add(rowid, std::move(values), FromSqlite | FromTable);
    });
    if (m_unbounded == 0 && !m_badRanges.isEmpty())
        reader.restrictTo(m_badRanges);
    reader.run();
}

void TableRows::readIndex(const IndexInfo &index, quint32 root, int tree)
{
    // Each entry is weighed once its neighbours are known: one that stands
    // between them in the index's order has a key that reads true.
    // The last three entries, copied out of their pages: each slot's
    // values point into its bytes.
    struct Entry
    {
        QByteArray bytes;
        Values values;
        bool verified = false;
    };
    Entry last[3];
    int previous = -1, current = -1;
    const qint64 badBefore = m_badEntries;
    const TreeReport report = m_pages.walkIndex(root, tree, [&](Cell &&cell) {
        if (cell.values.size() != index.position.size()) {
            ++m_badEntries;
            return;
        }
        int next = 0;
        while (next == previous || next == current)
            ++next;
        Entry &entry = last[next];
        entry.bytes.resize(cell.payload.size());
        std::memcpy(entry.bytes.data(), cell.payload.constData(), size_t(cell.payload.size()));
        decodeRecord(entry.bytes, entry.values, true);
        entry.verified = cell.verified;
        if (current >= 0) {
            const Entry &now = last[current];
            const bool ordered = (previous < 0 || less(last[previous].values, now.values, index))
                && less(now.values, entry.values, index);
            apply(index, now.values, now.verified && ordered);
            previous = current;
        }
        current = next;
    });
    if (current >= 0) {
        const Entry &now = last[current];
        const bool ordered = previous < 0 || less(last[previous].values, now.values, index);
        apply(index, now.values, now.verified && ordered);
    }
    const bool sound = report.complete() && !index.partial && m_badEntries == badBefore;
    for (auto &[rowid, row] : m_rows) {
        if (sound && !(row.flags & InIndex))
            row.flags |= Unindexed;
        row.flags &= ~InIndex;
    }
    m_soundIndex = m_soundIndex || sound;
}

void TableRows::apply(const IndexInfo &index, const Values &entry, bool verified)
{
    const Value &key = entry.last();
    if (key.type != Value::Integer || index.position.last() != -1) {
        ++m_badEntries;
        return;
    }
    const qint64 rowid = key.integer;
    const int count = int(m_info.recordColumns.size());
    auto found = m_rows.find(rowid);
    if (found == m_rows.end()) {
        // When the table's own pages all read, an entry for a row they do
        // not hold is a damaged entry, never a row.
        if (m_treeSound)
            return;
        // A row that only this index still holds: its columns come back,
        // the others are NULL.
        Values values(count);
        quint64 known = 0;
        for (int i = 0; i + 1 < entry.size(); ++i) {
            const int column = index.position[i];
            if (column < 0)
                continue;
            values[column] = entry[i];
            normalize(values[column], column);
            known |= bit(column);
        }
        if (m_info.ipk >= 0) {
            values[m_info.ipk].type = Value::Integer;
            values[m_info.ipk].integer = rowid;
            known |= bit(m_info.ipk);
        }
        const quint64 full = count >= 64 ? AllColumns : (quint64(1) << count) - 1;
        if ((known & full) == full && count < 64)
            known = AllColumns;
        Row row{0, 0, known, quint16(verified ? InIndex : InIndex | Doubtful)};
        store(row, encodeRecord(values));
        m_rows.emplace(rowid, row);
        if (!m_out.fromIndexes.contains(index.name))
            m_out.fromIndexes << index.name;
        return;
    }
    Row &row = found->second;
    row.flags |= InIndex;
    Values &values = m_values;
    decodeRecord(record(row), values, true);
    bool differs = false, filled = false;
    for (int i = 0; i + 1 < entry.size(); ++i) {
        const int column = index.position[i];
        if (column < 0)
            continue;
        Value value = entry[i];
        normalize(value, column);
        if (row.known != AllColumns && !(row.known & bit(column))) {
            values[column] = value;
            row.known |= bit(column);
            filled = true;
        } else if (values[column] != value) {
            differs = true;
        }
    }
    if (differs) {
        if (row.known != AllColumns) {
            row.flags |= Doubtful; // two indexes disagree
        } else if (verified) {
            // The entry stands where its key says: a damaged table cell
            // gives way to it.
            for (int i = 0; i + 1 < entry.size(); ++i) {
                if (index.position[i] >= 0) {
                    values[index.position[i]] = entry[i];
                    normalize(values[index.position[i]], index.position[i]);
                }
            }
            row.flags |= Corrected;
            filled = true;
        } else if (!(row.flags & Verified)) {
            row.flags |= Doubtful;
        }
    }
    if (filled)
        store(row, encodeRecord(values)); // read from m_records before it grows
}

void TableRows::settle()
{
    if (m_soundIndex) {
        // A sound index names every row of the table: an orphaned row it
        // does not know was deleted; a row of the tree it does not know is
        // in doubt. The rows of unreadable pages have all come back from
        // it, whole or in part.
        for (auto it = m_rows.begin(); it != m_rows.end();) {
            Row &row = it->second;
            if ((row.flags & Unindexed) && (row.flags & FromOrphan) && !(row.flags & FromTable)) {
                ++m_out.stale;
                it = m_rows.erase(it);
                continue;
            }
            if (row.flags & Unindexed)
                row.flags |= Doubtful;
            ++it;
        }
        return;
    }
    // Without one, the keys of the damaged pages' parents bound what they
    // held: a range of rowids cannot hold more rows than it has numbers.
    std::vector<qint64> rowids;
    rowids.reserve(m_rows.size());
    for (const auto &entry : m_rows)
        rowids.push_back(entry.first);
    std::sort(rowids.begin(), rowids.end());
    std::sort(m_badRanges.begin(), m_badRanges.end());
    QVector<QPair<qint64, qint64>> merged;
    for (const auto &range : std::as_const(m_badRanges)) {
        if (!merged.isEmpty() && range.first <= merged.last().second)
            merged.last().second = std::max(merged.last().second, range.second);
        else
            merged << range;
    }
    const auto inRanges = [&merged](qint64 rowid) {
        return std::any_of(merged.cbegin(), merged.cend(),
                           [rowid](const auto &r) { return rowid > r.first && rowid <= r.second; });
    };
    for (const auto &range : std::as_const(merged)) {
        const auto from = std::upper_bound(rowids.begin(), rowids.end(), range.first);
        const auto to = std::upper_bound(rowids.begin(), rowids.end(), range.second);
        const quint64 numbers = quint64(range.second) - quint64(range.first);
        const quint64 held = quint64(to - from);
        m_out.lostAtMost += numbers > held ? qint64(std::min<quint64>(numbers - held, quint64(1) << 62)) : 0;
    }
    // The key of a damaged cell may itself be damaged: such a row counts
    // only towards what may be lost.
    for (const qint64 rowid : std::as_const(m_badRowids)) {
        if (m_rows.find(rowid) == m_rows.end() && !inRanges(rowid))
            ++m_out.lostAtMost;
    }
    m_out.unknownLoss = m_unbounded > 0;
}

// The rows kept aside go to a table of their own, with every column of the
// table (without its constraints: a damaged row may break them), the rowid
// they were read under and why they are there.
void TableRows::writeAside(const std::vector<qint64> &rowids)
{
    if (rowids.empty())
        return;
    m_out.asideTable = QStringLiteral("mise_a_part_") + m_info.name;
    const QString context =
        QStringLiteral("Mise à part de lignes douteuses de la table « %1 »").arg(m_info.name);
    QStringList columns{QStringLiteral("ligne_lue INTEGER"), QStringLiteral("raison TEXT")};
    QStringList names{QStringLiteral("ligne_lue"), QStringLiteral("raison")};
    for (const QString &column : m_info.recordColumns) {
        columns << sqliteIdentifier(column);
        names << sqliteIdentifier(column);
    }
    m_target.exec(QStringLiteral("CREATE TABLE %1 (%2)")
                      .arg(sqliteIdentifier(m_out.asideTable), columns.join(QStringLiteral(", "))),
                  context);
    QStringList parameters;
    for (int i = 1; i <= names.size(); ++i)
        parameters << QStringLiteral("?%1").arg(i);
    SqliteStatement insert(m_target,
                           QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                               .arg(sqliteIdentifier(m_out.asideTable), names.join(QStringLiteral(", ")),
                                    parameters.join(QStringLiteral(", "))),
                           context);
    Values &values = m_values;
    for (const qint64 rowid : rowids) {
        const Row &row = m_rows.at(rowid);
        decodeRecord(record(row), values, true);
        sqlite3_bind_int64(insert.handle(), 1, rowid);
        insert.bind(2, row.flags & Doubtful ? QStringLiteral("la table et son index ne concordent pas")
                                            : QStringLiteral("lue sur une page endommagée, rien ne la vérifie"));
        for (int i = 0; i < values.size(); ++i)
            bindValue(insert.handle(), i + 3, values[i], m_encoding, false);
        if (insert.step() != SQLITE_DONE)
            m_target.fail(context);
        insert.reset();
        ++m_out.keptAside;
        if (row.flags & Doubtful)
            ++m_out.doubtful;
        else
            ++m_out.unverified;
    }
}

void TableRows::write()
{
    QList<int> given = m_info.insertable;
    QStringList names;
    if (m_info.ipk < 0)
        names << m_info.rowidName;
    for (const int column : std::as_const(given))
        names << sqliteIdentifier(m_info.recordColumns[column]);
    QStringList parameters;
    for (int i = 1; i <= names.size(); ++i)
        parameters << QStringLiteral("?%1").arg(i);
    const QString context =
        QStringLiteral("Copie des lignes de la table « %1 » dans la base reconstruite").arg(m_info.name);
    SqliteStatement insert(m_target,
                           QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                               .arg(sqliteIdentifier(m_info.name), names.join(QStringLiteral(", ")),
                                    parameters.join(QStringLiteral(", "))),
                           context);

    std::vector<qint64> rowids;
    rowids.reserve(m_rows.size());
    for (const auto &entry : m_rows)
        rowids.push_back(entry.first);
    std::sort(rowids.begin(), rowids.end());

    m_out.readable = qint64(rowids.size());
    QSet<int> missing;
    Values &values = m_values;
    std::vector<qint64> aside;
    for (const qint64 rowid : rowids) {
        const Row &row = m_rows.at(rowid);
        // A row that only a damaged page or a damaged index suggests never
        // goes into the table the figures read: it is kept aside.
        if ((row.flags & Doubtful) || (row.known == AllColumns && !(row.flags & (Verified | Corrected)))) {
            aside.push_back(rowid);
            continue;
        }
        decodeRecord(record(row), values, true);
        int parameter = 1;
        if (m_info.ipk < 0)
            sqlite3_bind_int64(insert.handle(), parameter++, rowid);
        for (const int column : std::as_const(given))
            bindValue(insert.handle(), parameter++, values[column], m_encoding, false);
        if (!insertRow(insert, m_target, context, m_out))
            continue;
        if (row.known != AllColumns) {
            ++m_out.fromIndex;
            for (int column = 0; column < m_info.recordColumns.size(); ++column) {
                if (!(row.known & bit(column)))
                    missing.insert(column);
            }
        }
        if (row.flags & Corrected)
            ++m_out.corrected;
    }
    writeAside(aside);
    QList<int> sorted(missing.cbegin(), missing.cend());
    std::sort(sorted.begin(), sorted.end());
    for (const int column : sorted)
        m_out.missingColumns << m_info.recordColumns[column];
}

// A table without rowid: read straight through by SQLite; what follows
// the first failure is lost, in a number nobody can know.
void copyWithoutRowid(SqliteConnection *source, SqliteConnection &target, const TableInfo &info, int encoding,
                      TableSalvage &out)
{
    if (!source) {
        out.unknownLoss = true;
        return;
    }
    QStringList list, parameters;
    for (const int column : info.insertable) {
        list << sqliteIdentifier(info.recordColumns[column]);
        parameters << QStringLiteral("?%1").arg(list.size());
    }
    const QString context = QStringLiteral("Copie des lignes de la table « %1 »").arg(info.name);
    SqliteStatement all(*source, QStringLiteral("SELECT %1 FROM %2").arg(list.join(QStringLiteral(", ")),
                                                                         sqliteIdentifier(info.name)),
                        context);
    SqliteStatement insert(target, QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                       .arg(sqliteIdentifier(info.name), list.join(QStringLiteral(", ")),
                                            parameters.join(QStringLiteral(", "))),
                           context);
    int rc;
    while ((rc = all.step()) == SQLITE_ROW) {
        ++out.readable;
        for (int i = 0; i < list.size(); ++i)
            bindValue(insert.handle(), i + 1, valueOf(sqlite3_column_value(all.handle(), i), encoding), encoding);
        insertRow(insert, target, context, out);
    }
    if (rc != SQLITE_DONE) {
        if (isHardFailure(rc))
            source->fail(context);
        out.unknownLoss = true;
    }
}

// AUTOINCREMENT counters: the rebuilt tables set them from the rows they
// received; a readable original counter that went further wins, so that
// no number is ever handed out twice.
void restoreSequences(SqliteConnection *source, SqliteConnection &target)
{
    sqlite3_stmt *read = nullptr;
    if (!source
        || sqlite3_prepare_v2(source->handle(), "SELECT name, seq FROM main.sqlite_sequence", -1, &read, nullptr)
            != SQLITE_OK) {
        sqlite3_finalize(read);
        return; // no AUTOINCREMENT table
    }
    const QString context = QStringLiteral("Reprise des compteurs AUTOINCREMENT");
    SqliteStatement update(target,
                           QStringLiteral("UPDATE sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1"), context);
    SqliteStatement insert(target, QStringLiteral("INSERT INTO sqlite_sequence (name, seq) VALUES (?1, ?2)"),
                           context);
    while (sqlite3_step(read) == SQLITE_ROW) {
        for (SqliteStatement *statement : {&update, &insert}) {
            sqlite3_bind_value(statement->handle(), 1, sqlite3_column_value(read, 0));
            sqlite3_bind_value(statement->handle(), 2, sqlite3_column_value(read, 1));
        }
        const int rc = update.step();
        update.reset();
        if (rc == SQLITE_DONE && sqlite3_changes(target.handle()) == 0) {
            insert.step();
            insert.reset();
        }
    }
    sqlite3_finalize(read); // an unreadable counter keeps the value its rows gave
}

} // namespace

qint64 SalvageResult::saved() const
{
    qint64 total = 0;
    for (const TableSalvage &table : tables)
        total += table.saved;
    return total;
}

qint64 SalvageResult::readable() const
{
    qint64 total = 0;
    for (const TableSalvage &table : tables)
        total += table.readable;
    return total;
}

bool SalvageResult::holdsEverything() const
{
    return std::all_of(tables.cbegin(), tables.cend(), [](const TableSalvage &t) { return t.refused == 0; });
}

bool SalvageResult::complete() const
{
    return unplacedRows == 0 && dropped.isEmpty()
        && std::all_of(tables.cbegin(), tables.cend(), [](const TableSalvage &t) { return t.complete(); });
}

SalvageResult salvageDatabase(SqliteConnection *source, const PageImage &image, SqliteConnection &target)
{
    const int encoding = image.encoding();
    BtreeReader pages(image);
    SalvageResult result;
    QList<SchemaEntry> schema = readSchema(source, pages, encoding);
    const bool noSchema = schema.isEmpty();
    for (const SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("table")
            && entry.sql.simplified().startsWith(QLatin1String("CREATE VIRTUAL"), Qt::CaseInsensitive))
            throw EDatabaseError(QStringLiteral("La base contient la table virtuelle « %1 », que la réparation ne "
                                                "sait pas reconstruire ; rien n'a été modifié")
                                     .arg(entry.name));
    }
    // A definition that no longer reads is replaced by the program's own
    // when it is one of its tables or indexes, else dropped and named.
    const auto tryCreate = [&target](const QString &sql) {
        if (target.tryExec(QStringLiteral("SAVEPOINT definition; ") + sql) == SQLITE_OK) {
            target.exec(QStringLiteral("RELEASE definition"), QStringLiteral("Reconstruction du schéma"));
            return true;
        }
        target.exec(QStringLiteral("ROLLBACK TO definition; RELEASE definition"),
                    QStringLiteral("Reconstruction du schéma"));
        return false;
    };
    // One of the program's tables must have its columns: a damaged
    // definition may still read, with other names.
    const auto hasKnownColumns = [&target](const SchemaEntry &entry) {
        const QString known = KnownTables::tableDefinition(entry.name);
        if (entry.type != QLatin1String("table") || known.isEmpty())
            return true;
        SqliteStatement columns(target, QStringLiteral("SELECT count(*) FROM pragma_table_info(?1) WHERE name IN (%1)")
                                            .arg(KnownTables::columnNames(entry.name)),
                                QStringLiteral("Reconstruction du schéma"));
        columns.bind(1, entry.name);
        return columns.step() == SQLITE_ROW && columns.int64(0) == KnownTables::columnCount(entry.name);
    };
    const auto create = [&](SchemaEntry &entry) {
        if (tryCreate(entry.sql)) {
            if (hasKnownColumns(entry))
                return true;
            target.exec(QStringLiteral("DROP TABLE %1").arg(sqliteIdentifier(entry.name)),
                        QStringLiteral("Reconstruction du schéma"));
        }
        const QString known = entry.type == QLatin1String("table") ? KnownTables::tableDefinition(entry.name)
            : entry.type == QLatin1String("index")                 ? KnownTables::indexDefinition(entry.name)
                                                                   : QString();
        if (!known.isEmpty() && tryCreate(known)) {
            entry.sql = known;
            result.rewritten << entry.name;
            return true;
        }
        result.dropped << entry.name;
        entry.dropped = true;
        return false;
    };
    const auto isUserTable = [](const SchemaEntry &entry) {
        return entry.type == QLatin1String("table") && !isReservedName(entry.name) && !entry.sql.isEmpty()
            && !entry.dropped;
    };

    target.exec(QStringLiteral("BEGIN"), QStringLiteral("Début de la reconstruction"));
    QHash<QString, TableInfo> tables;
    for (SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("table") && !isReservedName(entry.name) && !entry.sql.isEmpty()
            && !tables.contains(entry.name) && create(entry))
            tables.insert(entry.name, tableInfo(target, entry.name, encoding));
    }
    // The program's own tables that the schema no longer names are found by
    // the shape of their rows, on the pages that no tree reaches.
    QSet<QString> byShape;
    for (const QString &name : Schema::tableNames()) {
        if (tables.contains(name))
            continue;
        SchemaEntry entry{QStringLiteral("table"), name, name, KnownTables::tableDefinition(name), 0};
        target.exec(entry.sql, QStringLiteral("Création de « %1 » dans la base reconstruite").arg(name));
        tables.insert(name, tableInfo(target, name, encoding));
        schema << entry;
        byShape.insert(name);
    }
    if ((byShape.contains(QStringLiteral("data")) || !source)
        && std::none_of(schema.cbegin(), schema.cend(), [](const SchemaEntry &e) {
               return e.name.compare(Schema::recommendedIndexName(), Qt::CaseInsensitive) == 0;
           })) {
        const QString name = Schema::recommendedIndexName();
        schema << SchemaEntry{QStringLiteral("index"), name, QStringLiteral("data"), KnownTables::indexDefinition(name), 0};
        result.rewritten << name;
    }
    // Each index is created to learn the layout of its entries, and
    // dropped again: it is built once over the rows, at the end.
    QHash<QString, IndexInfo> indexes;
    for (SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("index") && !entry.sql.isEmpty() && tables.contains(entry.table)
            && !indexes.contains(entry.name) && create(entry)) {
            indexes.insert(entry.name, indexInfo(target, tables[entry.table], entry.name));
            target.exec(QStringLiteral("DROP INDEX %1").arg(sqliteIdentifier(entry.name)),
                        QStringLiteral("Préparation de la base reconstruite"));
        }
    }
    // Indexes that a table's constraints make (sqlite_autoindex_...) were
    // made with the table; their entries are read like the others'.
    for (const SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("index") && entry.sql.isEmpty() && !entry.dropped
            && tables.contains(entry.table))
            indexes.insert(entry.name, indexInfo(target, tables[entry.table], entry.name));
    }

    // First every tree claims its pages, so that the pages nothing reaches
    // any more are known; then each table is read.
    QHash<int, bool> damaged;
    QHash<int, int> fields;
    for (int i = 0; i < schema.size(); ++i) {
        const SchemaEntry &entry = schema[i];
        if (entry.root == 0 || (entry.dropped && KnownTables::tableDefinition(entry.name).isEmpty()
                                && KnownTables::indexDefinition(entry.name).isEmpty()))
            continue; // a definition that does not read: its pages may be found by their shape
        // SQLite's own tables (statistics, counters) claim their pages
        // too, though they are rebuilt rather than read.
        const bool table = entry.type == QLatin1String("table");
        const bool ours = table ? tables.contains(entry.name) : indexes.contains(entry.name);
        const bool rowidTable = table
            && (ours ? !tables[entry.name].withoutRowid
                     : !entry.sql.contains(QLatin1String("WITHOUT ROWID"), Qt::CaseInsensitive));
        const TreeReport report = rowidTable ? pages.walkTable(entry.root, i + 2, nullptr)
                                             : pages.walkIndex(entry.root, i + 2, nullptr);
        if (!ours || entry.dropped || (table && !rowidTable))
            continue; // read by SQLite alone, or not read
        damaged[i + 2] = !report.badPages.isEmpty();
        fields[i + 2] = table ? int(tables[entry.name].recordColumns.size())
                              : int(indexes[entry.name].position.size());
    }
    for (int i = 0; i < schema.size(); ++i) {
        if (byShape.contains(schema[i].name) && schema[i].type == QLatin1String("table")) {
            damaged[i + 2] = true;
            fields[i + 2] = int(tables[schema[i].name].recordColumns.size());
        }
    }
    pages.claimFreelist();
    pages.claimReserved();
    DatabaseRepair::killPoint("claimed");

    // An orphaned page goes to the one damaged tree of its kind whose
    // records have its number of fields.
    // Pages that more than one of the program's tables could hold (those of
    // two text columns) are told apart by the codes the facts use.
    std::optional<KnownTables::DimensionCodes> codes;
    const auto byCodes = [&](quint32 page, const QList<int> &candidates) -> QList<int> {
        QStringList names;
        for (const int tree : candidates) {
            if (!KnownTables::tableDefinition(schema[tree - 2].name).isEmpty())
                names << schema[tree - 2].name;
        }
        if (names.size() != candidates.size())
            return candidates;
        if (!codes) {
            codes.emplace();
            const int data = int(std::find_if(schema.cbegin(), schema.cend(),
                                              [](const SchemaEntry &e) {
                                                  return e.type == QLatin1String("table")
                                                      && e.name == QLatin1String("data");
                                              })
                                 - schema.cbegin());
            const auto add = [&](Cell &&cell) {
                if (KnownTables::hasShape(QStringLiteral("data"), cell.values))
                    codes->addFact(cell.values);
            };
            if (data < schema.size() && schema[data].root != 0)
                pages.walkTable(schema[data].root, data + 2, add);
            const QVector<BtreeReader::Orphan> all = pages.orphans();
            for (const BtreeReader::Orphan &other : all)
                if (other.table && other.fields == KnownTables::columnCount(QStringLiteral("data")))
                    pages.readPage(other.page, true, add);
            // The level links, wherever they are: the levels' codes.
            for (int i = 0; i < schema.size(); ++i) {
                if (schema[i].name == QLatin1String("niveau_agence") && schema[i].root != 0 && !schema[i].dropped) {
                    QVector<Values> links;
                    pages.walkTable(schema[i].root, i + 2, [&links](Cell &&cell) { links << std::move(cell.values); });
                    codes->addLinks(links);
                }
            }
            for (const BtreeReader::Orphan &other : all) {
                if (!other.table || other.fields != 2)
                    continue;
                QVector<Values> rows;
                pages.readPage(other.page, true, [&rows](Cell &&cell) { rows << std::move(cell.values); });
                if (codes->linksLevels(rows))
                    codes->addLinks(rows);
            }
        }
        QVector<Values> rows;
        pages.readPage(page, true, [&rows](Cell &&cell) { rows << std::move(cell.values); });
        const QString table = codes->tableOf(rows, names);
        for (const int tree : candidates)
            if (schema[tree - 2].name == table)
                return {tree};
        return candidates;
    };
    QHash<int, QVector<quint32>> orphansOf;
    bool anyDamagedTable = false;
    for (int i = 0; i < schema.size(); ++i)
        anyDamagedTable = anyDamagedTable || (schema[i].type == QLatin1String("table") && damaged.value(i + 2));
    for (const BtreeReader::Orphan &orphan : pages.orphans()) {
        QList<int> candidates;
        for (int i = 0; i < schema.size(); ++i) {
            const int tree = i + 2;
            const bool table = schema[i].type == QLatin1String("table");
            if (damaged.value(tree) && table == orphan.table && fields.value(tree) == orphan.fields)
                candidates << tree;
        }
        if (candidates.size() > 1 && orphan.table)
            candidates = byCodes(orphan.page, candidates);
        if (candidates.size() == 1) {
            orphansOf[candidates.first()] << orphan.page;
        } else if (orphan.table && anyDamagedTable) {
            // Rows that may be a damaged table's, but nothing says whose;
            // statistics (a table's name first) are made anew.
            qint64 rows = 0;
            bool statistics = orphan.fields == 3;
            pages.readPage(orphan.page, true, [&](Cell &&cell) {
                ++rows;
                statistics = statistics && tables.contains(textOf(cell.values.value(0), encoding));
            });
            if (!statistics)
                result.unplacedRows += rows;
        }
    }

    if (noSchema && orphansOf.isEmpty())
        throw ENoSchema(QStringLiteral("aucune table n'a pu y être retrouvée"));

    for (int i = 0; i < schema.size(); ++i) {
        const SchemaEntry &entry = schema[i];
        if (!isUserTable(entry))
            continue;
        const TableInfo &info = tables[entry.name];
        TableSalvage out;
        out.table = entry.name;
        if (byShape.contains(entry.name)) {
            TableRows rows(nullptr, pages, target, info, encoding, out);
            rows.readOrphans(orphansOf.value(i + 2));
            rows.settle();
            rows.write();
        } else if (info.withoutRowid || entry.root == 0) {
            copyWithoutRowid(source, target, info, encoding, out);
        } else {
            TableRows rows(source, pages, target, info, encoding, out);
            rows.readPages(entry.root, i + 2, orphansOf.value(i + 2));
            DatabaseRepair::killPoint("table-read");
            rows.readRanges();
            for (int j = 0; j < schema.size(); ++j) {
                const SchemaEntry &index = schema[j];
                if (index.type == QLatin1String("index") && index.table == entry.name && index.root != 0
                    && indexes.contains(index.name))
                    rows.readIndex(indexes[index.name], index.root, j + 2);
            }
            DatabaseRepair::killPoint("indexes-read");
            rows.settle();
            rows.write();
            DatabaseRepair::killPoint("rows-written");
        }
        result.tables << out;
    }
    restoreSequences(source, target);
    for (SchemaEntry &entry : schema) {
        if (!entry.dropped
            && ((entry.type == QLatin1String("index") && !entry.sql.isEmpty() && tables.contains(entry.table))
                || entry.type == QLatin1String("view")))
            create(entry);
    }
    DatabaseRepair::killPoint("indexes-built");
    // Triggers come last, so that none fired while rows were copied.
    for (SchemaEntry &entry : schema) {
        if (!entry.dropped && entry.type == QLatin1String("trigger"))
            create(entry);
    }
    target.exec(QStringLiteral("COMMIT"), QStringLiteral("Fin de la reconstruction"));
    return result;
}
