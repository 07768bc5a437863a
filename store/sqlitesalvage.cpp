#include "store/sqlitesalvage.h"

#include "store/dberror.h"
#include "store/sqlitehandle.h"

#include <QList>

#include <algorithm>
#include <limits>
#include <optional>

namespace {

constexpr qint64 RowidMin = std::numeric_limits<qint64>::min();
constexpr qint64 RowidMax = std::numeric_limits<qint64>::max();

// A run of unreadable rowids at most this wide is walked down to single
// rowids, which finds every readable row inside it and counts the others.
// A wider run (sparse rowids, or an end of the table whose bound is
// unknown) is stepped over after its readable edge has been found, and its
// loss is reported as of unknown size.
constexpr quint64 EnumerableRun = quint64(1) << 16;

// Distance between two rowids, lo <= hi, without overflow.
quint64 distance(qint64 lo, qint64 hi)
{
    return quint64(hi) - quint64(lo);
}

qint64 advance(qint64 from, quint64 by)
{
    return qint64(quint64(from) + by);
}

bool isReservedName(const QString &name)
{
    return name.startsWith(QLatin1String("sqlite_"), Qt::CaseInsensitive);
}

// Errors that say nothing about the file: they end the salvage instead of
// marking rows as unreadable.
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

struct SchemaEntry
{
    QString type;
    QString name;
    QString sql;
};

QList<SchemaEntry> readSchema(SqliteConnection &source)
{
    const QString context = QStringLiteral("Le schéma de la base endommagée est illisible, rien n'a été modifié");
    SqliteStatement statement(source,
                              QStringLiteral("SELECT type, name, sql FROM main.sqlite_master "
                                             "WHERE sql IS NOT NULL ORDER BY rowid"),
                              context);
    QList<SchemaEntry> entries;
    int rc;
    while ((rc = statement.step()) == SQLITE_ROW)
        entries.append({statement.text(0), statement.text(1), statement.text(2)});
    if (rc != SQLITE_DONE)
        source.fail(context);
    return entries;
}

// Copies the readable rows of one table.
class TableSalvage
{
public:
    TableSalvage(SqliteConnection &source, SqliteConnection &target, const QString &table, SalvageResult &result)
        : m_source(source), m_target(target), m_table(table), m_result(result)
    {
    }

    void run()
    {
        const QStringList columns = readColumns();
        const QString rowid = rowidName();
        if (rowid.isEmpty() || !hasRowid(rowid)) {
            copyInOneScan(columns);
            settleLoss();
            return;
        }

        const QString table = sqliteIdentifier(m_table);
        const QString selectList = rowid + QStringLiteral(", ") + columnList(columns);

        SqliteStatement range(m_source,
                              QStringLiteral("SELECT %1 FROM %2 WHERE %3 BETWEEN ?1 AND ?2 ORDER BY %3")
                                  .arg(selectList, table, rowid),
                              readContext());
        SqliteStatement seek(m_source,
                             QStringLiteral("SELECT %1 FROM %2 WHERE %1 >= ?1 ORDER BY %1 LIMIT 1").arg(rowid, table),
                             readContext());
        SqliteStatement insert(m_target, insertText(selectList, int(columns.size()) + 1), writeContext());
        m_range = &range;
        m_seek = &seek;
        m_insert = &insert;

        const std::optional<qint64> lo = bound(rowid, QStringLiteral("ASC"));
        const std::optional<qint64> hi = bound(rowid, QStringLiteral("DESC"));
        copyRange(lo.value_or(RowidMin), hi.value_or(RowidMax));

        m_range = m_seek = m_insert = nullptr;
        settleLoss();
    }

private:
    QString readContext() const
    {
        return QStringLiteral("Lecture de la table « %1 »").arg(m_table);
    }

    QString writeContext() const
    {
        return QStringLiteral("Copie des lignes de la table « %1 » dans la base reconstruite").arg(m_table);
    }

    static QString columnList(const QStringList &columns)
    {
        QStringList quoted;
        for (const QString &column : columns)
            quoted << sqliteIdentifier(column);
        return quoted.join(QStringLiteral(", "));
    }

    QString insertText(const QString &list, int count) const
    {
        QStringList parameters;
        for (int i = 1; i <= count; ++i)
            parameters << QStringLiteral("?%1").arg(i);
        return QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
            .arg(sqliteIdentifier(m_table), list, parameters.join(QStringLiteral(", ")));
    }

    // Stored columns in order (generated and hidden columns are computed,
    // not copied), and every column name to tell the rowid apart.
    QStringList readColumns()
    {
        SqliteStatement info(m_source,
                             QStringLiteral("SELECT name, hidden FROM pragma_table_xinfo(?1, 'main') ORDER BY cid"),
                             readContext());
        info.bind(1, m_table);
        QStringList stored;
        int rc;
        while ((rc = info.step()) == SQLITE_ROW) {
            m_allColumns << info.text(0).toLower();
            if (sqlite3_column_int(info.handle(), 1) == 0)
                stored << info.text(0);
        }
        if (rc != SQLITE_DONE || stored.isEmpty())
            m_source.fail(readContext());
        return stored;
    }

    // The name by which the rowid is reached: the first of SQLite's three
    // that no column has taken.
    QString rowidName() const
    {
        for (const QString &name : {QStringLiteral("rowid"), QStringLiteral("_rowid_"), QStringLiteral("oid")}) {
            if (!m_allColumns.contains(name))
                return name;
        }
        return {};
    }

    bool hasRowid(const QString &rowid) const
    {
        sqlite3_stmt *probe = nullptr;
        const QByteArray text = QStringLiteral("SELECT %1 FROM %2").arg(rowid, sqliteIdentifier(m_table)).toUtf8();
        const bool ok = sqlite3_prepare_v2(m_source.handle(), text.constData(), int(text.size()), &probe, nullptr)
            == SQLITE_OK;
        sqlite3_finalize(probe);
        return ok;
    }

    // The smallest or largest rowid, when the page that holds it reads.
    std::optional<qint64> bound(const QString &rowid, const QString &order)
    {
        SqliteStatement statement(m_source,
                                  QStringLiteral("SELECT %1 FROM %2 ORDER BY %1 %3 LIMIT 1")
                                      .arg(rowid, sqliteIdentifier(m_table), order),
                                  readContext());
        const int rc = statement.step();
        if (rc == SQLITE_ROW)
            return statement.int64(0);
        checkSoft(rc);
        return std::nullopt;
    }

    void checkSoft(int rc) const
    {
        if (rc != SQLITE_ROW && rc != SQLITE_DONE && isHardFailure(rc))
            m_source.fail(readContext());
    }

    // An index holds one entry per row, on pages of its own: when one
    // reads whole and counts more rows than were saved, the difference is
    // the exact number lost, whatever the rowids and wherever the damage.
    void settleLoss()
    {
        const bool unknown = m_result.tablesWithUnknownLoss.contains(m_table);
        if (!unknown && !m_result.rowsLost.contains(m_table))
            return;
        const std::optional<qint64> total = countByIndexes();
        if (!total || *total <= m_copied)
            return; // no index to trust: what the reading found stands
        m_result.tablesWithUnknownLoss.removeAll(m_table);
        m_result.rowsLost[m_table] = *total - m_copied;
    }

    std::optional<qint64> countByIndexes()
    {
        SqliteStatement list(m_source,
                             QStringLiteral("SELECT name FROM pragma_index_list(?1, 'main') WHERE partial = 0"),
                             readContext());
        list.bind(1, m_table);
        QStringList indexes;
        while (list.step() == SQLITE_ROW)
            indexes << list.text(0);

        std::optional<qint64> most;
        for (const QString &index : std::as_const(indexes)) {
            sqlite3_stmt *count = nullptr;
            const QByteArray text = QStringLiteral("SELECT count(*) FROM %1 INDEXED BY %2")
                                        .arg(sqliteIdentifier(m_table), sqliteIdentifier(index))
                                        .toUtf8();
            if (sqlite3_prepare_v2(m_source.handle(), text.constData(), int(text.size()), &count, nullptr) == SQLITE_OK
                && sqlite3_step(count) == SQLITE_ROW)
                most = std::max(most.value_or(0), qint64(sqlite3_column_int64(count, 0)));
            sqlite3_finalize(count);
        }
        return most;
    }

    void insertCurrent(const SqliteStatement &from)
    {
        const int count = sqlite3_column_count(from.handle());
        for (int i = 0; i < count; ++i)
            sqlite3_bind_value(m_insert->handle(), i + 1, sqlite3_column_value(from.handle(), i));
        const int rc = m_insert->step();
        const QString why = m_target.errorMessage();
        m_insert->reset();
        if (rc == SQLITE_DONE) {
            ++m_result.rowsCopied;
            ++m_copied;
        }
        else if ((rc & 0xff) == SQLITE_CONSTRAINT)
            ++m_result.rowsLost[m_table]; // the row stays in the copy of the original
        else
            throw EDatabaseError(writeContext() + QStringLiteral(" : ") + why);
    }

    // Reads [a, b] in order, copying each row. Returns where the reading
    // failed, nothing when the range was read to its end.
    std::optional<qint64> scan(qint64 a, qint64 b)
    {
        m_range->bind(1, a);
        m_range->bind(2, b);
        std::optional<qint64> last;
        int rc;
        while ((rc = m_range->step()) == SQLITE_ROW) {
            last = m_range->int64(0);
            insertCurrent(*m_range);
        }
        m_range->reset();
        if (rc == SQLITE_DONE)
            return std::nullopt;
        checkSoft(rc);
        if (!last)
            return a;
        if (*last >= b)
            return std::nullopt; // the failure lies past the range
        return *last + 1;
    }

    // True when reading from rowid x onwards gets its first row (or finds
    // the end) without an error.
    bool readsFrom(qint64 x)
    {
        m_seek->bind(1, x);
        const int rc = m_seek->step();
        m_seek->reset();
        checkSoft(rc);
        return rc == SQLITE_ROW || rc == SQLITE_DONE;
    }

    // The first rowid after `from` (which does not read) from which reading
    // works again, searched no further than `b`: steps of growing length,
    // then halving back to the edge.
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

    void copyRange(qint64 a, qint64 b)
    {
        for (;;) {
            const std::optional<qint64> failed = scan(a, b);
            if (!failed)
                return;
            const qint64 from = *failed;
            if (distance(from, b) < EnumerableRun) {
                split(from, b);
                return;
            }
            const std::optional<qint64> next = firstReadableAfter(from, b);
            const qint64 runEnd = next ? *next - 1 : b;
            if (distance(from, runEnd) < EnumerableRun)
                split(from, runEnd);
            else if (!m_result.tablesWithUnknownLoss.contains(m_table))
                m_result.tablesWithUnknownLoss << m_table;
            if (!next)
                return;
            a = *next;
        }
    }

    // [from, b] does not read at `from`: each half is read on its own, down
    // to single rowids, which are lost.
    void split(qint64 from, qint64 b)
    {
        if (from == b) {
            ++m_result.rowsLost[m_table];
            return;
        }
        const qint64 mid = advance(from, distance(from, b) / 2);
        copyRange(from, mid);
        copyRange(mid + 1, b);
    }

    // A table without rowid: read straight through; what follows the
    // first failure is lost, in a number nobody can know.
    void copyInOneScan(const QStringList &columns)
    {
        const QString list = columnList(columns);
        SqliteStatement all(m_source, QStringLiteral("SELECT %1 FROM %2").arg(list, sqliteIdentifier(m_table)),
                            readContext());
        SqliteStatement insert(m_target, insertText(list, int(columns.size())), writeContext());
        m_insert = &insert;
        int rc;
        while ((rc = all.step()) == SQLITE_ROW)
            insertCurrent(all);
        m_insert = nullptr;
        checkSoft(rc);
        if (rc != SQLITE_DONE)
            m_result.tablesWithUnknownLoss << m_table;
    }

    SqliteConnection &m_source;
    SqliteConnection &m_target;
    const QString m_table;
    SalvageResult &m_result;
    QStringList m_allColumns;
    qint64 m_copied = 0;
    SqliteStatement *m_range = nullptr;
    SqliteStatement *m_seek = nullptr;
    SqliteStatement *m_insert = nullptr;
};

// AUTOINCREMENT counters: the rebuilt tables set them from the rows they
// received; a readable original counter that went further wins, so that
// no number is ever handed out twice.
void restoreSequences(SqliteConnection &source, SqliteConnection &target)
{
    sqlite3_stmt *read = nullptr;
    if (sqlite3_prepare_v2(source.handle(), "SELECT name, seq FROM main.sqlite_sequence", -1, &read, nullptr)
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

qint64 SalvageResult::totalLost() const
{
    qint64 total = 0;
    for (const qint64 count : rowsLost)
        total += count;
    return total;
}

SalvageResult salvageDatabase(SqliteConnection &source, SqliteConnection &target)
{
    const QList<SchemaEntry> schema = readSchema(source);
    for (const SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("table")
            && entry.sql.simplified().startsWith(QLatin1String("CREATE VIRTUAL"), Qt::CaseInsensitive))
            throw EDatabaseError(QStringLiteral("La base contient la table virtuelle « %1 », que la réparation ne "
                                                "sait pas reconstruire ; rien n'a été modifié")
                                     .arg(entry.name));
    }

    const auto create = [&target](const SchemaEntry &entry) {
        target.exec(entry.sql, QStringLiteral("Création de « %1 » dans la base reconstruite").arg(entry.name));
    };

    SalvageResult result;
    target.exec(QStringLiteral("BEGIN"), QStringLiteral("Début de la reconstruction"));
    for (const SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("table") && !isReservedName(entry.name))
            create(entry);
    }
    for (const SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("table") && !isReservedName(entry.name))
            TableSalvage(source, target, entry.name, result).run();
    }
    restoreSequences(source, target);
    // Indexes are built once over the rows; triggers come last so that
    // none fires while rows are copied.
    for (const SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("index") || entry.type == QLatin1String("view"))
            create(entry);
    }
    for (const SchemaEntry &entry : schema) {
        if (entry.type == QLatin1String("trigger"))
            create(entry);
    }
    target.exec(QStringLiteral("COMMIT"), QStringLiteral("Fin de la reconstruction"));
    return result;
}
