#include "store/groupsums.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// Adds `value` to `sum` keeping what the addition rounded away in
// `compensation` (Neumaier).
void compensatedAdd(double &sum, double &compensation, double value)
{
    const double t = sum + value;
    if (std::fabs(sum) >= std::fabs(value))
        compensation += (sum - t) + value;
    else
        compensation += (value - t) + sum;
    sum = t;
}

// The compensated sum; a sum that is no longer finite is what it is (the
// compensation of an infinite sum means nothing and would make it NaN).
double compensated(double sum, double compensation)
{
    return std::isfinite(sum) ? sum + compensation : sum;
}

constexpr unsigned __int128 IntegerLimit = static_cast<unsigned __int128>(1) << 63;

} // namespace

void SumOfValues::add(sqlite3_value *value)
{
    // The numeric type is what SQLite's SUM looks at: a text that reads as
    // a number counts as one, any other text or blob as a real.
    const int type = sqlite3_value_numeric_type(value);
    if (type == SQLITE_NULL)
        return;
    double real;
    if (type == SQLITE_INTEGER) {
        const qint64 integer = sqlite3_value_int64(value);
        m_exact += integer;
        m_magnitude += integer < 0 ? static_cast<unsigned __int128>(-static_cast<__int128>(integer))
                                   : static_cast<unsigned __int128>(integer);
        real = double(integer);
    } else {
        m_approximate = true;
        real = sqlite3_value_double(value);
    }
    addDouble(real);
}

void SumOfValues::addDouble(double value)
{
    ++m_count;
    m_real += value;
    // Branch-free: the smaller side adds nothing.
    m_positive += std::max(value, 0.0);
    m_negative -= std::min(value, 0.0);
    m_largest = std::max(m_largest, value);
    m_smallest = std::min(m_smallest, value);
}

void SumOfValues::addServerSum(double value)
{
    ++m_count;
    m_server = true;
    compensatedAdd(m_real, m_compensation, value);
}

void SumOfValues::merge(const SumOfValues &other)
{
    m_count += other.m_count;
    m_exact += other.m_exact;
    m_magnitude += other.m_magnitude;
    compensatedAdd(m_real, m_compensation, other.m_real);
    m_compensation += other.m_compensation;
    m_positive += other.m_positive;
    m_negative += other.m_negative;
    m_largest = std::max(m_largest, other.m_largest);
    m_smallest = std::min(m_smallest, other.m_smallest);
    m_approximate = m_approximate || other.m_approximate;
    m_server = m_server || other.m_server;
}

std::optional<double> SumOfValues::result() const
{
    constexpr double infinity = std::numeric_limits<double>::infinity();
    if (m_server) {
        // A server's rules for infinite and overflowing sums are its own,
        // and past 2^53 its exact sums of integers round once where the
        // groups' sums have each been rounded already.
        const double sum = compensated(m_real, m_compensation);
        if (!std::isfinite(sum) || std::fabs(sum) >= 0x1p53)
            return std::nullopt;
        return sum;
    }
    if (m_count == 0)
        return 0.0; // NULL
    // Integers whose running sum could leave 64 bits in some order.
    if (m_magnitude >= IntegerLimit)
        return std::nullopt;
    if (!m_approximate)
        return double(static_cast<qint64>(m_exact));
    // +∞ and −∞ together are NaN in any order, which the engine gives as
    // NULL. One infinity wins whatever the order, unless the values of the
    // other sign could overflow to the other infinity.
    const bool plusInfinity = m_largest == infinity;
    const bool minusInfinity = m_smallest == -infinity;
    if (plusInfinity && minusInfinity)
        return 0.0;
    if (plusInfinity)
        return std::isfinite(m_negative) ? std::optional<double>(infinity) : std::nullopt;
    if (minusInfinity)
        return std::isfinite(m_positive) ? std::optional<double>(-infinity) : std::nullopt;
    // Finite values: no running sum can overflow when neither side can.
    if (std::isfinite(m_positive) && std::isfinite(m_negative))
        return compensated(m_real, m_compensation);
    if (m_negative == 0)
        return infinity;
    if (m_positive == 0)
        return -infinity;
    return std::nullopt;
}

void SumOfValues::write(char *out) const
{
    auto put = [&out](const auto &field) {
        std::memcpy(out, &field, sizeof field);
        out += sizeof field;
    };
    put(m_count);
    put(m_exact);
    put(m_magnitude);
    put(m_real);
    put(m_compensation);
    put(m_positive);
    put(m_negative);
    put(m_largest);
    put(m_smallest);
    const quint8 flags = (m_approximate ? 1 : 0) | (m_server ? 2 : 0);
    put(flags);
}

SumOfValues SumOfValues::read(const char *in)
{
    SumOfValues sum;
    auto get = [&in](auto &field) {
        std::memcpy(&field, in, sizeof field);
        in += sizeof field;
    };
    get(sum.m_count);
    get(sum.m_exact);
    get(sum.m_magnitude);
    get(sum.m_real);
    get(sum.m_compensation);
    get(sum.m_positive);
    get(sum.m_negative);
    get(sum.m_largest);
    get(sum.m_smallest);
    quint8 flags = 0;
    get(flags);
    sum.m_approximate = flags & 1;
    sum.m_server = flags & 2;
    return sum;
}

static_assert(SumOfValues::Size == 8 + 16 + 16 + 8 * 6 + 1, "the image holds every field");

namespace {

// Keys are written one after the other: a tag, then the value.
enum KeyTag : char { NullKey = 'n', IntegerKey = 'i', RealKey = 'r', TextKey = 't', BlobKey = 'b' };

void appendBytes(std::string &out, const void *data, size_t size)
{
    const quint32 length = quint32(size);
    out.append(reinterpret_cast<const char *>(&length), sizeof length);
    if (size > 0)
        out.append(static_cast<const char *>(data), size);
}

// One key of a row, read once, or of a group, read from its image.
struct KeyView
{
    char tag = NullKey;
    quint32 size = 0;            // text and blob
    const void *bytes = nullptr; // text and blob
    sqlite3_int64 integer = 0;
    double real = 0;

    bool operator==(const KeyView &o) const
    {
        if (tag != o.tag)
            return false;
        if (tag == TextKey || tag == BlobKey)
            return size == o.size && (size == 0 || std::memcmp(bytes, o.bytes, size) == 0);
        if (tag == IntegerKey)
            return integer == o.integer;
        return tag == NullKey || std::memcmp(&real, &o.real, sizeof real) == 0;
    }
};

bool sameKeys(const std::vector<KeyView> &a, const std::vector<KeyView> &b)
{
    const size_t n = a.size();
    if (n != b.size())
        return false;
    for (size_t i = 0; i < n; ++i)
        if (!(a[i] == b[i]))
            return false;
    return true;
}

// A text is read as its bytes when the database is in UTF-8, which is
// what the blob accessor gives without making a terminated copy.
inline void readKey(sqlite3_value *value, KeyView &key, bool utf8)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_NULL:
        key.tag = NullKey;
        return;
    case SQLITE_INTEGER:
        key.tag = IntegerKey;
        key.integer = sqlite3_value_int64(value);
        return;
    case SQLITE_FLOAT:
        key.tag = RealKey;
        key.real = sqlite3_value_double(value);
        return;
    case SQLITE_TEXT:
        key.tag = TextKey;
        key.bytes = utf8 ? sqlite3_value_blob(value) : sqlite3_value_text(value);
        key.size = quint32(sqlite3_value_bytes(value));
        return;
    default:
        key.tag = BlobKey;
        key.bytes = sqlite3_value_blob(value);
        key.size = quint32(sqlite3_value_bytes(value));
        return;
    }
}

void appendKey(std::string &out, const KeyView &key)
{
    out.push_back(key.tag);
    switch (key.tag) {
    case NullKey:
        return;
    case IntegerKey:
        out.append(reinterpret_cast<const char *>(&key.integer), sizeof key.integer);
        return;
    case RealKey:
        out.append(reinterpret_cast<const char *>(&key.real), sizeof key.real);
        return;
    default:
        appendBytes(out, key.bytes, key.size);
        return;
    }
}

// The keys written by appendKey, as views into `encoded`.
std::vector<KeyView> keyViews(const std::string &encoded)
{
    std::vector<KeyView> out;
    const char *at = encoded.data();
    const char *const end = at + encoded.size();
    while (at < end) {
        KeyView key;
        key.tag = *at++;
        switch (key.tag) {
        case NullKey:
            break;
        case IntegerKey:
            std::memcpy(&key.integer, at, sizeof key.integer);
            at += sizeof key.integer;
            break;
        case RealKey:
            std::memcpy(&key.real, at, sizeof key.real);
            at += sizeof key.real;
            break;
        default:
            std::memcpy(&key.size, at, sizeof key.size);
            at += sizeof key.size;
            key.bytes = at;
            at += key.size;
            break;
        }
        out.push_back(key);
    }
    return out;
}

// FNV-1a over the keys of a row.
quint64 hashKeys(const std::vector<KeyView> &keys)
{
    quint64 h = 1469598103934665603ull;
    auto mix = [&h](const void *data, size_t size) {
        const auto *p = static_cast<const unsigned char *>(data);
        for (size_t i = 0; i < size; ++i) {
            h ^= p[i];
            h *= 1099511628211ull;
        }
    };
    for (const KeyView &key : keys) {
        mix(&key.tag, 1);
        if (key.tag == IntegerKey)
            mix(&key.integer, sizeof key.integer);
        else if (key.tag == RealKey)
            mix(&key.real, sizeof key.real);
        else if (key.tag != NullKey)
            mix(key.bytes, key.size);
    }
    return h;
}

// The groups of one evaluation of the aggregate. Rows of one group mostly
// come one after the other (an index in the order of the keys), so the
// group of the row before is tried first; the others are found in an open
// hash table, so that rows in any order cost no sort.
struct Group
{
    std::string image;         // the keys, as appendKey writes them
    std::vector<KeyView> keys; // views into image
    quint64 hash = 0;
    SumOfValues sum;
};

struct Accumulator
{
    bool utf8 = true;
    std::vector<KeyView> row;
    Group *last = nullptr;
    std::deque<Group> groups; // never moved: the views stay valid
    std::vector<int> buckets; // group + 1; 0 is free

    Group *find(quint64 hash)
    {
        if (buckets.empty())
            return nullptr;
        const size_t mask = buckets.size() - 1;
        for (size_t i = size_t(hash) & mask;; i = (i + 1) & mask) {
            const int g = buckets[i] - 1;
            if (g < 0)
                return nullptr;
            Group &group = groups[size_t(g)];
            if (group.hash == hash && sameKeys(group.keys, row))
                return &group;
        }
    }
    void place(int g)
    {
        const size_t mask = buckets.size() - 1;
        size_t i = size_t(groups[size_t(g)].hash) & mask;
        while (buckets[i] != 0)
            i = (i + 1) & mask;
        buckets[i] = g + 1;
    }
    Group *add(quint64 hash)
    {
        Group &group = groups.emplace_back();
        for (const KeyView &key : row)
            appendKey(group.image, key);
        group.keys = keyViews(group.image);
        group.hash = hash;
        if (groups.size() * 2 > buckets.size()) {
            buckets.assign(std::max<size_t>(64, buckets.size() * 2), 0);
            for (int k = 0; k < int(groups.size()); ++k)
                place(k);
        } else {
            place(int(groups.size()) - 1);
        }
        return &group;
    }
};

// The accumulator of an evaluation, made at its first row.
Accumulator *accumulatorOf(sqlite3_context *context)
{
    auto **slot = static_cast<Accumulator **>(sqlite3_aggregate_context(context, sizeof(Accumulator *)));
    if (!slot)
        throw std::bad_alloc();
    if (!*slot) {
        *slot = new Accumulator;
        (*slot)->utf8 = sqlite3_user_data(context) != nullptr;
    }
    return *slot;
}

// The group of the keys of a row.
Group &groupOf(Accumulator &a, int keys, sqlite3_value **argv)
{
    if (a.row.size() != size_t(keys))
        a.row.resize(size_t(keys));
    // Read and compared with the group of the row before in one go.
    bool same = a.last != nullptr;
    for (int i = 0; i < keys; ++i) {
        readKey(argv[i], a.row[size_t(i)], a.utf8);
        same = same && a.row[size_t(i)] == a.last->keys[size_t(i)];
    }
    if (!same) {
        const quint64 hash = hashKeys(a.row);
        Group *found = a.find(hash);
        a.last = found ? found : a.add(hash);
    }
    return *a.last;
}

// orvalis_sommes(key..., valeur)
void sumsStep(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    if (argc < 1) {
        sqlite3_result_error(context, "orvalis_sommes attend au moins la valeur à sommer", -1);
        return;
    }
    try {
        groupOf(*accumulatorOf(context), argc - 1, argv).sum.add(argv[argc - 1]);
    } catch (const std::bad_alloc &) {
        sqlite3_result_error_nomem(context);
    }
}

// orvalis_groupes(key..., somme): `somme` is what orvalis_somme gave for
// some rows, or NULL for none.
void groupsStep(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    if (argc < 1) {
        sqlite3_result_error(context, "orvalis_groupes attend au moins une somme", -1);
        return;
    }
    sqlite3_value *image = argv[argc - 1];
    if (sqlite3_value_type(image) == SQLITE_NULL)
        return;
    if (sqlite3_value_type(image) != SQLITE_BLOB || sqlite3_value_bytes(image) != SumOfValues::Size) {
        sqlite3_result_error(context, "orvalis_groupes attend les sommes d'orvalis_somme", -1);
        return;
    }
    try {
        groupOf(*accumulatorOf(context), argc - 1, argv)
            .sum.merge(SumOfValues::read(static_cast<const char *>(sqlite3_value_blob(image))));
    } catch (const std::bad_alloc &) {
        sqlite3_result_error_nomem(context);
    }
}

// orvalis_somme(valeur): the sum of some rows, for orvalis_groupes. The
// engine's memory for it is aligned for pointers only: the sum is placed
// at the first address aligned for it, after a flag that says it is there.
constexpr size_t OneSumBytes = sizeof(SumOfValues) + alignof(SumOfValues) + 1;

SumOfValues *oneSum(sqlite3_context *context, bool make)
{
    auto *memory = static_cast<unsigned char *>(sqlite3_aggregate_context(context, make ? int(OneSumBytes) : 0));
    if (!memory)
        return nullptr;
    void *at = memory + 1;
    size_t room = OneSumBytes - 1;
    auto *sum = static_cast<SumOfValues *>(std::align(alignof(SumOfValues), sizeof(SumOfValues), at, room));
    if (!memory[0]) {
        if (!make)
            return nullptr;
        new (sum) SumOfValues;
        memory[0] = 1;
    }
    return sum;
}

void sumStep(sqlite3_context *context, int, sqlite3_value **argv)
{
    SumOfValues *sum = oneSum(context, true);
    if (!sum) {
        sqlite3_result_error_nomem(context);
        return;
    }
    sum->add(argv[0]);
}

void sumFinish(sqlite3_context *context)
{
    const SumOfValues *sum = oneSum(context, false);
    if (!sum) {
        sqlite3_result_null(context);
        return;
    }
    char image[SumOfValues::Size];
    sum->write(image);
    sqlite3_result_blob(context, image, sizeof image, SQLITE_TRANSIENT);
}

void finish(sqlite3_context *context)
{
    auto **slot = static_cast<Accumulator **>(sqlite3_aggregate_context(context, 0));
    Accumulator *a = slot ? *slot : nullptr;
    try {
        // Number of groups, then each group: its keys' length, its keys,
        // its sums.
        std::string out;
        const quint32 groups = a ? quint32(a->groups.size()) : 0;
        out.append(reinterpret_cast<const char *>(&groups), sizeof groups);
        for (quint32 g = 0; g < groups; ++g) {
            const Group &group = a->groups[g];
            appendBytes(out, group.image.data(), group.image.size());
            char image[SumOfValues::Size];
            group.sum.write(image);
            out.append(image, sizeof image);
        }
        sqlite3_result_blob64(context, out.data(), out.size(), SQLITE_TRANSIENT);
    } catch (const std::bad_alloc &) {
        sqlite3_result_error_nomem(context);
    }
    delete a;
}

class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : m_at(bytes.constData()), m_end(bytes.constData() + bytes.size()) {}

    bool take(void *out, qsizetype size)
    {
        if (m_end - m_at < size)
            return false;
        std::memcpy(out, m_at, size_t(size));
        m_at += size;
        return true;
    }
    const char *skip(qsizetype size)
    {
        if (m_end - m_at < size)
            return nullptr;
        const char *at = m_at;
        m_at += size;
        return at;
    }
    bool atEnd() const { return m_at == m_end; }

private:
    const char *m_at;
    const char *m_end;
};

bool readKeys(const char *data, quint32 size, QVariantList &keys)
{
    Reader r(QByteArray::fromRawData(data, qsizetype(size)));
    while (!r.atEnd()) {
        char tag = 0;
        if (!r.take(&tag, 1))
            return false;
        switch (tag) {
        case NullKey:
            keys << QVariant();
            break;
        case IntegerKey: {
            qint64 v = 0;
            if (!r.take(&v, sizeof v))
                return false;
            keys << QVariant(v);
            break;
        }
        case RealKey: {
            double v = 0;
            if (!r.take(&v, sizeof v))
                return false;
            keys << QVariant(v);
            break;
        }
        case TextKey:
        case BlobKey: {
            quint32 length = 0;
            if (!r.take(&length, sizeof length))
                return false;
            const char *bytes = r.skip(length);
            if (!bytes)
                return false;
            if (tag == TextKey)
                keys << QVariant(QString::fromUtf8(bytes, qsizetype(length)));
            else
                keys << QVariant(QByteArray(bytes, qsizetype(length)));
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

} // namespace

namespace GroupSums {

bool install(sqlite3 *db)
{
    // The encoding of the main database (texts are read as their bytes in
    // UTF-8 only).
    bool utf8 = false;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA encoding", -1, &statement, nullptr) == SQLITE_OK
        && sqlite3_step(statement) == SQLITE_ROW)
        utf8 = qstrcmp(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)), "UTF-8") == 0;
    sqlite3_finalize(statement);
    static char flag;
    void *data = utf8 ? &flag : nullptr;
    constexpr int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    return sqlite3_create_function_v2(db, "orvalis_sommes", -1, flags, data, nullptr, sumsStep, finish, nullptr)
            == SQLITE_OK
        && sqlite3_create_function_v2(db, "orvalis_groupes", -1, flags, data, nullptr, groupsStep, finish, nullptr)
            == SQLITE_OK
        && sqlite3_create_function_v2(db, "orvalis_somme", 1, flags, nullptr, nullptr, sumStep, sumFinish, nullptr)
            == SQLITE_OK;
}

std::optional<QVector<Group>> decode(const QByteArray &blob)
{
    QVector<Group> out;
    Reader r(blob);
    quint32 groups = 0;
    if (!r.take(&groups, sizeof groups))
        return std::nullopt;
    out.reserve(qsizetype(groups));
    for (quint32 g = 0; g < groups; ++g) {
        quint32 size = 0;
        const char *keys = r.take(&size, sizeof size) ? r.skip(size) : nullptr;
        const char *image = keys ? r.skip(SumOfValues::Size) : nullptr;
        Group group;
        if (!image || !readKeys(keys, size, group.keys))
            return std::nullopt;
        group.sum = SumOfValues::read(image);
        out << group;
    }
    if (!r.atEnd())
        return std::nullopt;
    return out;
}

} // namespace GroupSums
