#include "repair/repair.h"

#include <QFileInfo>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>

namespace SqliteFormat {

namespace {

constexpr quint8 InteriorIndex = 2;
constexpr quint8 InteriorTable = 5;
constexpr quint8 LeafIndex = 10;
constexpr quint8 LeafTable = 13;
constexpr int MaxDepth = 40;

quint32 be16(const QByteArray &bytes, qint64 at)
{
    return (quint32(quint8(bytes[at])) << 8) | quint8(bytes[at + 1]);
}

quint32 be32(const QByteArray &bytes, qint64 at)
{
    return (quint32(quint8(bytes[at])) << 24) | (quint32(quint8(bytes[at + 1])) << 16)
        | (quint32(quint8(bytes[at + 2])) << 8) | quint8(bytes[at + 3]);
}

// A varint of at most nine bytes that ends before `end`; 0 when it does not.
int readVarint(const QByteArray &bytes, qint64 at, qint64 end, qint64 &value)
{
    quint64 v = 0;
    for (int i = 0; i < 9; ++i) {
        if (at + i >= end)
            return 0;
        const quint8 byte = quint8(bytes[at + i]);
        if (i == 8) {
            value = qint64((v << 8) | byte);
            return 9;
        }
        v = (v << 7) | (byte & 0x7f);
        if (!(byte & 0x80)) {
            value = qint64(v);
            return i + 1;
        }
    }
    return 0;
}

int varintLength(quint64 v)
{
    // Seven bits a byte, but the ninth byte carries eight.
    if (v > 0x00ffffffffffffffULL)
        return 9;
    int n = 1;
    while (v >>= 7)
        ++n;
    return n;
}

qint64 serialSize(qint64 type)
{
    static const int sizes[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
    if (type < 10)
        return sizes[type];
    return (type - 12 - (type & 1)) / 2;
}

struct Layout
{
    quint8 type = 0;
    int header = 0;     // where the page header starts (100 on page 1)
    int firstCell = 0;  // where the cell pointer array ends
    int cells = 0;
    quint32 right = 0;
    bool interior() const { return type == InteriorIndex || type == InteriorTable; }
    bool table() const { return type == InteriorTable || type == LeafTable; }
    int pointer(const QByteArray &page, int i) const { return int(be16(page, header + (interior() ? 12 : 8) + 2 * i)); }
};

bool layout(const QByteArray &page, quint32 number, int usable, Layout &out)
{
    out.header = number == 1 ? 100 : 0;
    if (page.size() < out.header + 12)
        return false;
    out.type = quint8(page[out.header]);
    if (out.type != InteriorIndex && out.type != InteriorTable && out.type != LeafIndex && out.type != LeafTable)
        return false;
    out.cells = int(be16(page, out.header + 3));
    out.firstCell = out.header + (out.interior() ? 12 : 8) + 2 * out.cells;
    if (out.firstCell > usable)
        return false;
    out.right = out.interior() ? be32(page, out.header + 8) : 0;
    return true;
}

// The bytes of a cell kept on its page, the rest going to overflow pages.
qint64 localSize(qint64 payload, int usable, bool tableLeaf)
{
    const qint64 maxLocal = tableLeaf ? usable - 35 : qint64(usable - 12) * 64 / 255 - 23;
    const qint64 minLocal = qint64(usable - 12) * 32 / 255 - 23;
    if (payload <= maxLocal)
        return payload;
    const qint64 k = minLocal + (payload - minLocal) % (usable - 4);
    return k <= maxLocal ? k : minLocal;
}

bool sanePage(const QByteArray &page, quint32 number, int size)
{
    Layout l;
    if (!layout(page, number, size, l) || l.cells == 0)
        return false;
    for (int i = 0; i < l.cells; ++i) {
        const int at = l.pointer(page, i);
        if (at < l.firstCell || at >= size - 3)
            return false;
    }
    return true;
}

quint32 walWord(const char *p, bool bigEndian)
{
    const auto *u = reinterpret_cast<const quint8 *>(p);
    return bigEndian ? (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | u[3]
                     : (quint32(u[3]) << 24) | (quint32(u[2]) << 16) | (quint32(u[1]) << 8) | u[0];
}

void walChecksum(const char *data, qint64 size, bool bigEndian, quint32 &s0, quint32 &s1)
{
    for (qint64 i = 0; i + 8 <= size; i += 8) {
        s0 += walWord(data + i, bigEndian) + s1;
        s1 += walWord(data + i + 4, bigEndian) + s0;
    }
}

int typeRank(Value::Type t)
{
    switch (t) {
    case Value::Null: return 0;
    case Value::Integer:
    case Value::Real: return 1;
    case Value::Text: return 2;
    case Value::Blob: return 3;
    }
    return 0;
}

} // namespace

bool Value::operator==(const Value &other) const
{
    if (type != other.type)
        return false;
    switch (type) {
    case Null: return true;
    case Integer: return integer == other.integer;
    case Real: return real == other.real;
    case Text:
    case Blob: return bytes == other.bytes;
    }
    return false;
}

bool decodeRecord(const QByteArray &payload, Values &out, bool views)
{
    out.clear();
    const qint64 size = payload.size();
    qint64 headerSize = 0;
    int at = readVarint(payload, 0, size, headerSize);
    if (at == 0 || headerSize < at || headerSize > size)
        return false;
    qint64 body = headerSize;
    QVarLengthArray<qint64, 32> types;
    qint64 total = body;
    while (at < headerSize) {
        qint64 type = 0;
        const int n = readVarint(payload, at, headerSize, type);
        if (n == 0 || type < 0 || type == 10 || type == 11)
            return false;
        at += n;
        types.append(type);
        total += serialSize(type);
    }
    if (total != size)
        return false;
    out.resize(types.size());
    const char *bytes = payload.constData();
    for (qsizetype f = 0; f < types.size(); ++f) {
        const qint64 type = types[f];
        Value &v = out[f];
        const qint64 n = serialSize(type);
        if (type == 0) {
            v.type = Value::Null;
        } else if (type <= 6) {
            qint64 x = qint8(bytes[body]);
            for (qint64 i = 1; i < n; ++i)
                x = (x << 8) | quint8(bytes[body + i]);
            v.type = Value::Integer;
            v.integer = x;
        } else if (type == 7) {
            quint64 bits = 0;
            for (int i = 0; i < 8; ++i)
                bits = (bits << 8) | quint8(bytes[body + i]);
            v.type = Value::Real;
            std::memcpy(&v.real, &bits, sizeof bits);
        } else if (type == 8 || type == 9) {
            v.type = Value::Integer;
            v.integer = type - 8;
        } else {
            v.type = (type & 1) ? Value::Text : Value::Blob;
            v.bytes = views ? QByteArray::fromRawData(bytes + body, n) : QByteArray(bytes + body, n);
        }
        body += n;
    }
    return true;
}

void encodeRecordInto(const Values &values, QByteArray &out)
{
    // The serial types first, to know the header's size.
    QVarLengthArray<quint64, 32> types;
    qint64 bodySize = 0;
    for (const Value &v : values) {
        quint64 type = 0;
        switch (v.type) {
        case Value::Null:
            break;
        case Value::Integer:
            if (v.integer == 0 || v.integer == 1) {
                type = 8 + quint64(v.integer);
            } else {
                static const int widths[] = {1, 2, 3, 4, 6, 8};
                type = 1;
                for (const int width : widths) {
                    const int bits = width * 8 - 1;
                    if (width == 8 || (v.integer >= -(qint64(1) << bits) && v.integer < (qint64(1) << bits)))
                        break;
                    ++type;
                }
            }
            break;
        case Value::Real:
            type = 7;
            break;
        case Value::Text:
        case Value::Blob:
            type = quint64(v.bytes.size()) * 2 + (v.type == Value::Text ? 13 : 12);
            break;
        }
        types.append(type);
        bodySize += serialSize(qint64(type));
    }
    int typesSize = 0;
    for (const quint64 type : types)
        typesSize += varintLength(type);
    int headerSize = typesSize + 1;
    while (varintLength(quint64(headerSize)) + typesSize != headerSize)
        headerSize = varintLength(quint64(headerSize)) + typesSize;
    const qsizetype start = out.size();
    out.resize(start + headerSize + bodySize);
    auto *at = reinterpret_cast<quint8 *>(out.data()) + start;
    const auto varint = [&at](quint64 v) {
        // Seven bits a byte, high bit set but on the last; a ninth byte
        // carries eight.
        const int n = varintLength(v);
        int last = n - 1;
        if (n == 9) {
            at[8] = quint8(v);
            v >>= 8;
            last = 8;
        }
        for (int i = std::min(n, 8) - 1; i >= 0; --i) {
            at[i] = quint8((v & 0x7f) | (i == last ? 0 : 0x80));
            v >>= 7;
        }
        at += n;
    };
    varint(quint64(headerSize));
    for (const quint64 type : types)
        varint(type);
    for (qsizetype f = 0; f < values.size(); ++f) {
        const Value &v = values[f];
        const qint64 n = serialSize(qint64(types[f]));
        if (v.type == Value::Integer || v.type == Value::Real) {
            quint64 bits = quint64(v.integer);
            if (v.type == Value::Real)
                std::memcpy(&bits, &v.real, sizeof bits);
            for (qint64 i = n - 1; i >= 0; --i) // big-endian
                *at++ = quint8(bits >> (8 * i));
        } else if (v.type == Value::Text || v.type == Value::Blob) {
            std::memcpy(at, v.bytes.constData(), size_t(n));
            at += n;
        }
    }
}

QByteArray encodeRecord(const Values &values)
{
    QByteArray record;
    encodeRecordInto(values, record);
    return record;
}

int compareValues(const Value &a, const Value &b, Collation collation)
{
    const int ra = typeRank(a.type), rb = typeRank(b.type);
    if (ra != rb)
        return ra < rb ? -1 : 1;
    switch (ra) {
    case 0:
        return 0;
    case 1: {
        if (a.type == Value::Integer && b.type == Value::Integer)
            return a.integer < b.integer ? -1 : (a.integer > b.integer ? 1 : 0);
        const long double x = a.type == Value::Integer ? (long double)a.integer : (long double)a.real;
        const long double y = b.type == Value::Integer ? (long double)b.integer : (long double)b.real;
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    case 2: {
        QByteArray x = a.bytes, y = b.bytes;
        if (collation == Collation::Unknown)
            return 0;
        if (collation == Collation::NoCase) {
            x = x.toLower(); // ASCII only, as SQLite's NOCASE
            y = y.toLower();
        } else if (collation == Collation::RTrim) {
            while (x.endsWith(' '))
                x.chop(1);
            while (y.endsWith(' '))
                y.chop(1);
        }
        const int c = std::memcmp(x.constData(), y.constData(), size_t(std::min(x.size(), y.size())));
        if (c)
            return c < 0 ? -1 : 1;
        return x.size() < y.size() ? -1 : (x.size() > y.size() ? 1 : 0);
    }
    default: {
        const int c = std::memcmp(a.bytes.constData(), b.bytes.constData(),
                                  size_t(std::min(a.bytes.size(), b.bytes.size())));
        if (c)
            return c < 0 ? -1 : 1;
        return a.bytes.size() < b.bytes.size() ? -1 : (a.bytes.size() > b.bytes.size() ? 1 : 0);
    }
    }
}

// --- PageImage -------------------------------------------------------------

PageImage::PageImage(Reader database, qint64 databaseSize, const QString &walPath)
    : m_read(std::move(database)), m_fileSize(std::max<qint64>(databaseSize, 0))
{
    const QByteArray header = fileBytes(0, 100);
    const bool magic = header.size() == 100 && header.startsWith(QByteArray("SQLite format 3", 16));
    int size = 0;
    if (magic) {
        const quint32 field = be16(header, 16);
        size = field == 1 ? 65536 : int(field);
        if (size < 512 || (size & (size - 1)))
            size = 0;
    }
    readWal(walPath);
    const int walSize = m_wal ? m_pageSize : 0;
    if (walSize)
        size = walSize;
    if (!size)
        size = guessPageSize();
    m_pageSize = size;
    const int reserved = magic && int(quint8(header[20])) < size - 480 ? quint8(header[20]) : 0;
    m_usableSize = size - reserved;

    const quint32 filePages = quint32((m_fileSize + size - 1) / size);
    m_pageCount = filePages;
    // Pages past the end of a truncated file read as missing ones; pages
    // past the size the header gives are not the database's.
    if (magic) {
        const quint32 inHeader = be32(header, 28);
        if (inHeader > 0 && inHeader < filePages && be32(header, 24) == be32(header, 92))
            m_pageCount = inHeader;
    }
    if (m_wal) // the size at the log's last commit
        m_pageCount = std::min<quint32>(m_walPageCount, filePages + quint32(m_walFrame.size()));

    // The header as SQLite reads it: page 1, from the log when it is there.
    const QByteArray first = page(1);
    // The 100-byte header names a page size that the pages confirm.
    const bool headerValid = first.size() >= 100 && first.startsWith(QByteArray("SQLite format 3", 16))
        && (be16(first, 16) == 1 ? 65536 : int(be16(first, 16))) == size;
    if (headerValid) {
        m_freelistTrunk = be32(first, 32);
        m_autoVacuum = be32(first, 52) != 0;
        m_incrementalVacuum = be32(first, 64) != 0;
        const quint32 encoding = be32(first, 56);
        m_encoding = encoding >= 1 && encoding <= 3 ? int(encoding) : 1;
        m_userVersion = be32(first, 60);
        m_applicationId = be32(first, 68);
    }
}

PageImage::~PageImage() = default;

QByteArray PageImage::fileBytes(qint64 offset, qint64 size) const
{
    if (offset >= m_fileSize)
        return {};
    QByteArray bytes(int(std::min(size, m_fileSize - offset)), Qt::Uninitialized);
    const qint64 got = m_read(offset, bytes.data(), bytes.size());
    if (got < 0)
        return {};
    bytes.truncate(int(got));
    return bytes;
}

void PageImage::readWal(const QString &path)
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    auto wal = std::make_unique<QFile>(path);
    if (!wal->open(QIODevice::ReadOnly))
        return;
    const QByteArray header = wal->read(32);
    if (header.size() < 32)
        return;
    const quint32 magic = be32(header, 0);
    if ((magic & 0xfffffffe) != 0x377f0682 || be32(header, 4) != 3007000)
        return;
    const bool bigEndian = magic & 1;
    const int size = int(be32(header, 8));
    if (size < 512 || size > 65536 || (size & (size - 1)))
        return;
    quint32 s0 = 0, s1 = 0;
    walChecksum(header.constData(), 24, bigEndian, s0, s1);
    if (s0 != be32(header, 24) || s1 != be32(header, 28))
        return;
    const quint32 salt1 = be32(header, 16), salt2 = be32(header, 20);

    QHash<quint32, qint64> committed, pending;
    quint32 pageCount = 0;
    qint64 offset = 32;
    QByteArray frame;
    for (;;) {
        wal->seek(offset);
        frame = wal->read(24 + size);
        if (frame.size() < 24 + size)
            break;
        if (be32(frame, 8) != salt1 || be32(frame, 12) != salt2)
            break;
        walChecksum(frame.constData(), 8, bigEndian, s0, s1);
        walChecksum(frame.constData() + 24, size, bigEndian, s0, s1);
        if (s0 != be32(frame, 16) || s1 != be32(frame, 20))
            break;
        const quint32 number = be32(frame, 0);
        if (number == 0)
            break;
        pending[number] = offset;
        if (const quint32 commitSize = be32(frame, 4)) {
            for (auto it = pending.cbegin(); it != pending.cend(); ++it)
                committed[it.key()] = it.value();
            pending.clear();
            pageCount = commitSize;
        }
        offset += 24 + size;
    }
    if (pageCount == 0)
        return; // no transaction committed in the log
    m_pageSize = size;
    m_walPageCount = pageCount;
    m_walFrame = committed;
    m_wal = std::move(wal);
}

int PageImage::guessPageSize() const
{
    int best = 4096, bestScore = 0;
    for (int size = 512; size <= 65536; size *= 2) {
        const qint64 pages = std::min<qint64>(m_fileSize / size, 4096);
        int score = 0;
        for (qint64 n = 1; n <= pages; ++n) {
            if (sanePage(fileBytes((n - 1) * size, size), quint32(n), size))
                ++score;
        }
        if (score > bestScore) {
            best = size;
            bestScore = score;
        }
    }
    return best;
}

QByteArray PageImage::page(quint32 number) const
{
    if (!exists(number))
        return {};
    const auto frame = m_walFrame.constFind(number);
    if (frame != m_walFrame.cend()) {
        m_wal->seek(*frame + 24);
        const QByteArray bytes = m_wal->read(m_pageSize);
        return bytes.size() == m_pageSize ? bytes : QByteArray();
    }
    const QByteArray bytes = fileBytes(qint64(number - 1) * m_pageSize, m_pageSize);
    return bytes.size() == m_pageSize ? bytes : QByteArray();
}

// --- BtreeReader -----------------------------------------------------------

BtreeReader::BtreeReader(const PageImage &image)
    : m_image(image), m_owner(int(image.pageCount()) + 1, 0)
{
}

bool BtreeReader::claim(quint32 page, int tree)
{
    if (!m_image.exists(page))
        return false;
    int &owner = m_owner[int(page)];
    if (owner != 0 && owner != tree)
        return false;
    owner = tree;
    return true;
}

// The payload of the cell at `at`, its overflow chain followed; false when
// the cell or its chain does not read.
bool BtreeReader::payload(const QByteArray &page, int at, qint64 size, bool tableLeaf, int tree, QByteArray &out,
                          int &cellEnd, bool copy)
{
    const int usable = m_image.usableSize();
    m_chainBroken = false;
    if (size < 0 || size > (qint64(1) << 30))
        return false;
    const qint64 local = localSize(size, usable, tableLeaf);
    const bool spills = local < size;
    if (at + local + (spills ? 4 : 0) > usable)
        return false;
    // Without a reader of the record (a walk that only claims pages) the
    // bytes are not gathered.
    if (copy)
        out = m_views && !spills ? QByteArray::fromRawData(page.constData() + at, local) : page.mid(at, int(local));
    cellEnd = int(at + local + (spills ? 4 : 0));
    if (!spills)
        return true;
    quint32 next = be32(page, at + local);
    qint64 remaining = size - local;
    QVector<quint32> chain;
    // A chain that breaks off loses its own record, not its page's others.
    m_chainBroken = true;
    while (remaining > 0) {
        if (chain.contains(next) || !claim(next, tree))
            return false;
        chain << next;
        const QByteArray overflow = m_image.page(next);
        if (overflow.isEmpty())
            return false;
        const qint64 take = std::min<qint64>(remaining, usable - 4);
        if (copy)
            out += overflow.mid(4, int(take));
        remaining -= take;
        next = be32(overflow, 0);
    }
    m_chainBroken = false;
    return true;
}

void BtreeReader::lostRange(const Bounds &bounds, TreeReport &report)
{
    if (bounds.hasLow && bounds.hasHigh)
        report.badRanges.append({bounds.low, bounds.high});
    else
        ++report.unbounded;
}

TreeReport BtreeReader::walkTable(quint32 root, int tree, const CellSink &sink)
{
    TreeReport report;
    walk(root, tree, true, Bounds(), 0, report, sink);
    return report;
}

TreeReport BtreeReader::walkIndex(quint32 root, int tree, const CellSink &sink)
{
    TreeReport report;
    walk(root, tree, false, Bounds(), 0, report, sink);
    return report;
}

void BtreeReader::walk(quint32 number, int tree, bool table, const Bounds &bounds, int depth, TreeReport &report,
                       const CellSink &sink)
{
    const int usable = m_image.usableSize();
    const QByteArray page = m_image.page(number);
    Layout l;
    if (depth > MaxDepth || page.isEmpty() || !layout(page, number, usable, l) || l.table() != table
        || !claim(number, tree)) {
        report.badPages << number;
        if (table)
            lostRange(bounds, report);
        return;
    }
    // A page met twice in one walk is a loop in the damaged tree.
    if (depth == 0)
        m_visiting = QBitArray(int(m_image.pageCount()) + 1);
    if (m_visiting.testBit(int(number))) {
        report.badPages << number;
        if (table)
            lostRange(bounds, report);
        return;
    }
    m_visiting.setBit(int(number));

    if (l.type == InteriorTable) {
        Bounds child = bounds;
        bool ordered = true;
        for (int i = 0; i < l.cells; ++i) {
            const int at = l.pointer(page, i);
            qint64 key = 0;
            if (at < l.firstCell || at + 4 >= usable || !readVarint(page, at + 4, usable, key)) {
                report.badPages << 0; // a child whose number is lost
                ++report.unbounded;
                continue;
            }
            if ((child.hasLow && key <= child.low) || (bounds.hasHigh && key > bounds.high))
                ordered = false;
            Bounds range = child;
            range.hasHigh = true;
            range.high = key;
            range.hasLow = range.hasLow && ordered;
            walk(be32(page, at), tree, true, range, depth + 1, report, sink);
            child.hasLow = true;
            child.low = key;
        }
        child.hasHigh = bounds.hasHigh;
        child.high = bounds.high;
        child.hasLow = child.hasLow && ordered;
        walk(l.right, tree, true, child, depth + 1, report, sink);
        return;
    }

    // Leaves, and the entries of interior index pages: every cell of the
    // page is read before any goes out, so that each knows whether its
    // page read whole.
    QVector<Cell> cells;
    QVector<quint32> children;
    cells.reserve(l.cells);
    bool whole = true;
    for (int i = 0; i < l.cells; ++i) {
        const int at = l.pointer(page, i);
        Cell cell;
        cell.page = number;
        bool ok = at >= l.firstCell && at < usable;
        int p = at;
        if (ok && l.type == InteriorIndex) {
            ok = p + 4 < usable;
            if (ok)
                children << be32(page, p);
            p += 4;
        }
        qint64 size = 0;
        int n = ok ? readVarint(page, p, usable, size) : 0;
        ok = n > 0;
        p += n;
        if (ok && l.type == LeafTable) {
            n = readVarint(page, p, usable, cell.rowid);
            ok = n > 0;
            p += n;
        }
        QByteArray bytes;
        int end = 0;
        const bool keyRead = ok;
        // Without a sink the walk only claims pages: records are not decoded.
        ok = ok && payload(page, p, size, l.type == LeafTable, tree, bytes, end, bool(sink))
            && (!sink || decodeRecord(bytes, cell.values, m_views));
        if (!ok) {
            whole = whole && keyRead && m_chainBroken;
            ++report.badCells;
            if (l.type == LeafTable && keyRead)
                report.badRowids << cell.rowid;
            if (l.type == InteriorIndex && children.size() == cells.size() + 1)
                cells << Cell(); // keeps the children in step with the cells
            continue;
        }
        cell.payload = std::move(bytes);
        cells << std::move(cell);
    }
    // A leaf that does not read whole may have held any row of its range:
    // a damaged key reads as another rowid.
    if (!whole && l.type == LeafTable)
        lostRange(bounds, report);
    qint64 previous = 0;
    bool hasPrevious = false;
    for (int i = 0; i < cells.size(); ++i) {
        if (l.type == InteriorIndex) {
            if (i < children.size())
                walk(children[i], tree, false, Bounds(), depth + 1, report, sink);
            if (cells[i].page == 0)
                continue; // the unreadable cell between two children
        }
        Cell &cell = cells[i];
        cell.verified = whole;
        if (table) {
            if ((bounds.hasLow && cell.rowid <= bounds.low) || (bounds.hasHigh && cell.rowid > bounds.high)
                || (hasPrevious && cell.rowid <= previous))
                cell.verified = false;
            previous = cell.rowid;
            hasPrevious = true;
        }
        if (sink)
            sink(std::move(cell));
    }
    if (l.type == InteriorIndex) {
        for (int i = int(cells.size()); i < children.size(); ++i)
            walk(children[i], tree, false, Bounds(), depth + 1, report, sink);
        walk(l.right, tree, false, Bounds(), depth + 1, report, sink);
    }
}

TreeReport BtreeReader::readPage(quint32 number, bool table, const CellSink &sink)
{
    // An orphan is read as a leaf: the children of an orphaned interior
    // index page are orphans of their own.
    TreeReport report;
    qint64 brokenChains = 0;
    const QByteArray page = m_image.page(number);
    Layout l;
    if (page.isEmpty() || !layout(page, number, m_image.usableSize(), l) || l.table() != table
        || l.type == InteriorTable) {
        report.badPages << number;
        return report;
    }
    const int tree = m_owner.value(int(number));
    const int usable = m_image.usableSize();
    QVector<Cell> cells;
    for (int i = 0; i < l.cells; ++i) {
        int p = l.pointer(page, i);
        Cell cell;
        cell.page = number;
        bool ok = p >= l.firstCell && p < usable;
        if (l.type == InteriorIndex)
            p += 4;
        qint64 size = 0;
        int n = ok ? readVarint(page, p, usable, size) : 0;
        ok = n > 0;
        p += n;
        if (ok && table) {
            n = readVarint(page, p, usable, cell.rowid);
            ok = n > 0;
            p += n;
        }
        QByteArray bytes;
        int end = 0;
        if (ok && payload(page, p, size, table, tree, bytes, end) && decodeRecord(bytes, cell.values, m_views)) {
            cell.payload = std::move(bytes);
            cells << std::move(cell);
        } else {
            brokenChains += ok && m_chainBroken ? 1 : 0;
            ++report.badCells;
            if (table && n > 0)
                report.badRowids << cell.rowid;
            else if (table)
                ++report.unbounded;
        }
    }
    // Nothing says where an orphan stood: its cells are sound when its page
    // reads whole, its keys in order.
    bool sound = report.badCells == brokenChains;
    for (int i = 1; table && i < cells.size(); ++i)
        sound = sound && cells[i - 1].rowid < cells[i].rowid;
    for (Cell &cell : cells) {
        cell.verified = sound;
        sink(std::move(cell));
    }
    return report;
}

void BtreeReader::claimFreelist()
{
    constexpr int Free = -1;
    quint32 trunk = m_image.freelistTrunk();
    const int usable = m_image.usableSize();
    for (quint32 steps = 0; trunk != 0 && steps < m_image.pageCount(); ++steps) {
        if (!m_image.exists(trunk) || m_owner[int(trunk)] != 0)
            return;
        const QByteArray page = m_image.page(trunk);
        if (page.isEmpty())
            return;
        m_owner[int(trunk)] = Free;
        const quint32 count = std::min<quint32>(be32(page, 4), quint32(usable - 8) / 4);
        for (quint32 i = 0; i < count; ++i) {
            const quint32 leaf = be32(page, 8 + 4 * i);
            if (m_image.exists(leaf) && m_owner[int(leaf)] == 0)
                m_owner[int(leaf)] = Free;
        }
        trunk = be32(page, 0);
    }
}

void BtreeReader::claimReserved()
{
    constexpr int Reserved = -2;
    const quint32 lockPage = quint32(qint64(1073741824) / m_image.pageSize() + 1);
    if (m_image.exists(lockPage) && m_owner[int(lockPage)] == 0)
        m_owner[int(lockPage)] = Reserved;
    if (!m_image.autoVacuum())
        return;
    const quint32 stride = quint32(m_image.usableSize() / 5 + 1);
    for (quint32 page = 2; m_image.exists(page); page += stride) {
        if (m_owner[int(page)] == 0)
            m_owner[int(page)] = Reserved;
    }
}

QVector<BtreeReader::Orphan> BtreeReader::orphans() const
{
    QVector<Orphan> out;
    const int usable = m_image.usableSize();
    for (quint32 number = 2; m_image.exists(number); ++number) {
        if (m_owner[int(number)] != 0)
            continue;
        const QByteArray page = m_image.page(number);
        Layout l;
        if (page.isEmpty() || !layout(page, number, usable, l) || l.type == InteriorTable || l.cells == 0)
            continue;
        // The number of fields of the first record that reads.
        int fields = -1;
        for (int i = 0; i < l.cells && fields < 0; ++i) {
            int p = l.pointer(page, i);
            if (p < l.firstCell || p >= usable)
                continue;
            if (l.type == InteriorIndex)
                p += 4;
            qint64 size = 0, rowid = 0;
            int n = readVarint(page, p, usable, size);
            if (!n)
                continue;
            p += n;
            if (l.type == LeafTable) {
                n = readVarint(page, p, usable, rowid);
                if (!n)
                    continue;
                p += n;
            }
            const qint64 local = localSize(size, usable, l.type == LeafTable);
            if (p + local > usable)
                continue;
            // The header alone tells the fields, even of a spilled record.
            const QByteArray head = page.mid(p, int(local));
            qint64 headerSize = 0;
            int at = readVarint(head, 0, head.size(), headerSize);
            if (!at || headerSize > head.size())
                continue;
            int count = 0;
            while (at < headerSize) {
                qint64 type = 0;
                const int m = readVarint(head, at, headerSize, type);
                if (!m)
                    break;
                at += m;
                ++count;
            }
            if (at == headerSize)
                fields = count;
        }
        if (fields > 0)
            out.append({number, l.type == LeafTable, fields});
    }
    return out;
}

} // namespace SqliteFormat
