#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVector>

#include <limits>
#include <optional>

struct sqlite3;
struct sqlite3_value;

// What SUM(valeur) over some rows gives, gathered so that the sums of
// several groups of rows can be put together in memory and still give what
// one SUM over all of them gives.
//
// SQLite's SUM adds integers exactly and fails with "integer overflow" when
// the running sum leaves 64 bits; as soon as one value is not an integer it
// adds every value as a double instead; a NaN sum (+∞ and −∞ together) is
// NULL. The running sums depend on the order in which the engine reads the
// rows, so the few results that depend on it (an integer sum that may leave
// 64 bits, doubles that may overflow one way or the other) are not guessed:
// result() leaves them to the engine's own statement.
class SumOfValues
{
public:
    // One value as the engine's SUM sees it (its numeric type).
    void add(sqlite3_value *value);
    // What a server's SUM gave for a group: taken as it is; a result that
    // is not finite is left to the engine.
    void addServerSum(double value);
    // Another group's values.
    void merge(const SumOfValues &other);

    // The sum as one SUM statement over the same values gives it, read as
    // a double (NULL: 0); nothing when only the engine can tell.
    std::optional<double> result() const;

    // A fixed-size image, for the aggregate's result.
    static constexpr int Size = 89;
    void write(char *out) const;
    static SumOfValues read(const char *in);

private:
    void addDouble(double value);

    qint64 m_count = 0;            // values that are not NULL
    __int128 m_exact = 0;          // exact sum of the integers
    unsigned __int128 m_magnitude = 0; // sum of their magnitudes
    double m_real = 0;             // every value as a double, in order
    double m_compensation = 0;     // what merging the groups' sums rounded away
    double m_positive = 0;         // sum of the positive values
    double m_negative = 0;         // sum of the magnitudes of the negative ones
    double m_largest = -std::numeric_limits<double>::infinity();
    double m_smallest = std::numeric_limits<double>::infinity();
    bool m_approximate = false;    // some value is not an integer
    bool m_server = false;         // sums of a server, taken as they are
};

// Aggregates of the program's own on its SQLite connections, which sum
// `valeur` as SumOfValues does:
// - orvalis_sommes(key..., valeur): one sum for each distinct combination
//   of the keys, in whatever order the rows come (no sort, no GROUP BY);
// - orvalis_somme(valeur): the sum of the rows (NULL for none);
// - orvalis_groupes(key..., somme): the sums of orvalis_somme put together
//   by keys, as orvalis_sommes would have summed their rows.
// orvalis_sommes and orvalis_groupes return every group in one blob.
namespace GroupSums {

// Installs the functions on an open SQLite connection; false on failure.
bool install(sqlite3 *db);

struct Group
{
    QVariantList keys; // NULL, integer, real, text, or blob (QByteArray)
    SumOfValues sum;
};
// The groups of the aggregate's result; nothing when the bytes are not
// one.
std::optional<QVector<Group>> decode(const QByteArray &blob);

} // namespace GroupSums
