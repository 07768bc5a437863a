#include "dashboard/groupedfigures.h"

#include "store/dberror.h"
#include "store/schema.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "store/taccount.h"
#include "store/taccountsql.h"

#include <QSet>

#include <algorithm>

namespace {

// Codes in the order of an index on them (SQLite compares texts by their
// UTF-8 bytes), each once.
QStringList indexOrder(const QStringList &codes)
{
    std::vector<std::pair<QByteArray, QString>> keyed;
    keyed.reserve(size_t(codes.size()));
    for (const QString &code : codes)
        keyed.emplace_back(code.toUtf8(), code);
    std::sort(keyed.begin(), keyed.end());
    keyed.erase(std::unique(keyed.begin(), keyed.end()), keyed.end());
    QStringList out;
    out.reserve(qsizetype(keyed.size()));
    for (const auto &[bytes, code] : keyed)
        out << code;
    return out;
}

// The index of a code in a pass.
int intern(QHash<QString, int> &table, const QString &code)
{
    auto found = table.constFind(code);
    if (found != table.constEnd())
        return *found;
    const int index = int(table.size());
    table.insert(code, index);
    return index;
}

// NULL, and anything that is not a text, has none: it never equals a
// quoted code.
int intern(QHash<QString, int> &table, const QVariant &key)
{
    return key.typeId() == QMetaType::QString ? intern(table, key.toString()) : -1;
}

// The codes of a pass by their index.
QStringList codesByIndex(const QHash<QString, int> &table)
{
    QStringList codes(table.size());
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        codes[it.value()] = it.key();
    return codes;
}

// Months counted from year 0, so that consecutive months are consecutive
// numbers.
int monthNumber(int year, int month)
{
    return year * 12 + (month - 1);
}

// Whether a scope reads the month `offset` months after its first.
bool readsMonth(const GroupedFigureSource::Scope &scope, int offset)
{
    return offset >= 0 && offset < scope.months && (scope.only.isEmpty() || scope.only.contains(offset));
}

// "(2025, 11), (2025, 12), (2026, 1)": the months of a scope.
QString monthValues(const GroupedFigureSource::Scope &scope)
{
    QStringList out;
    for (int i = 0; i < scope.months; ++i) {
        if (!readsMonth(scope, i))
            continue;
        const int n = monthNumber(scope.year, scope.month) + i;
        out << QStringLiteral("(%1, %2)").arg(n / 12).arg(n % 12 + 1);
    }
    return out.join(QStringLiteral(", "));
}

// The condition on the months of a scope: one month, a range of months,
// or (where another column follows them in an index) the list of months.
QString monthCondition(const GroupedFigureSource::Scope &scope, bool list)
{
    if (scope.months == 1)
        return QStringLiteral("period_year = %1 AND period_month = %2").arg(scope.year).arg(scope.month);
    if (list || !scope.only.isEmpty())
        return QStringLiteral("(period_year, period_month) IN (VALUES %1)").arg(monthValues(scope));
    const int last = monthNumber(scope.year, scope.month) + scope.months - 1;
    return QStringLiteral("(period_year, period_month) >= (%1, %2) AND (period_year, period_month) <= (%3, %4)")
        .arg(scope.year)
        .arg(scope.month)
        .arg(last / 12)
        .arg(last % 12 + 1);
}

// The months of a scope as ranges within a year, which a server estimates
// from its statistics and reads from the index when they are few: "((period_year
// = 2025 AND period_month BETWEEN 11 AND 12) OR (period_year = 2026 AND
// period_month = 1))".
QString yearRanges(const GroupedFigureSource::Scope &scope)
{
    QStringList ranges;
    const int first = monthNumber(scope.year, scope.month);
    for (int i = 0; i < scope.months; ++i) {
        if (!readsMonth(scope, i))
            continue;
        const int from = first + i;
        while (i + 1 < scope.months && readsMonth(scope, i + 1) && (first + i + 1) / 12 == from / 12)
            ++i;
        const int to = first + i;
        ranges << (from == to ? QStringLiteral("(period_year = %1 AND period_month = %2)").arg(from / 12).arg(from % 12 + 1)
                              : QStringLiteral("(period_year = %1 AND period_month BETWEEN %2 AND %3)")
                                    .arg(from / 12)
                                    .arg(from % 12 + 1)
                                    .arg(to % 12 + 1));
    }
    return QStringLiteral("(%1)").arg(ranges.join(QStringLiteral(" OR ")));
}

// The passes kept at most, the least recently used going first: a few
// months by agency and by user, a few hundred sums each.
constexpr size_t KeptPasses = 8;

// A code that no group of the pass has.
constexpr int NoMatch = -2;

// Which of a pass's agencies (or users) the codes name.
template <class Codes>
QVector<char> maskOf(const QHash<QString, int> &positions, const Codes &codes)
{
    QVector<char> in(positions.size(), 0);
    for (const QString &code : codes) {
        const int at = positions.value(code, NoMatch);
        if (at >= 0)
            in[at] = 1;
    }
    return in;
}

// The six sums of the groups of `months` months from `month` (counted
// from the pass's first) that `keep` lets through.
template <class Pass, class Keep>
void sumGroups(const Pass &pass, int month, int months, SumOfValues (&sums)[6], const Keep &keep)
{
    for (const auto &group : pass.groups) {
        if (group.month < month || group.month >= month + months || !keep(group))
            continue;
        for (int i = 0; i < 6; ++i)
            sums[i].merge(group.sums[i]);
    }
}

} // namespace

BoundStatement GroupedFigureSource::passStatement(const Scope &scope, const Reading &reading)
{
    BoundStatement statement;
    const auto supplier = [&scope, &statement](const QString &column) {
        return scope.supplier ? QStringLiteral(" AND %1 = %2").arg(column, statement.bind(*scope.supplier)) : QString();
    };
    const auto valueRows = [&statement](const QStringList &codes) {
        return statement.bindList(codes, QStringLiteral("("), QStringLiteral(")"));
    };

    if (reading.kind == Reading::Ranges) {
        // One range of the index for each month, agency and account, summed
        // in the order of the index.
        QStringList with, from;
        QString year = QString::number(scope.year), month = QString::number(scope.month);
        for (const QString &part : reading.order) {
            if (part == QLatin1String("mois")) {
                if (scope.months == 1)
                    continue;
                with << QStringLiteral("mois(period_year, period_month) AS (VALUES %1)").arg(monthValues(scope));
                from << QStringLiteral("mois");
                year = QStringLiteral("mois.period_year");
                month = QStringLiteral("mois.period_month");
            } else if (part == QLatin1String("dim_agence")) {
                with << QStringLiteral("agences(dim_agence) AS (VALUES %1)").arg(valueRows(*scope.agencies));
                from << QStringLiteral("agences");
            } else {
                with << QStringLiteral("comptes(code_account) AS (VALUES %1)")
                            .arg(valueRows(indexOrder(Schema::accountCodes())));
                from << QStringLiteral("comptes");
            }
        }
        QStringList outer;
        if (scope.months > 1)
            outer << QStringLiteral("mois.period_year") << QStringLiteral("mois.period_month");
        outer << QStringLiteral("agences.dim_agence") << QStringLiteral("comptes.code_account");
        // The supplier's value comes after those of the lists.
        const QString supplierCondition = supplier(QStringLiteral("d.dim_fournisseur"));
        statement.text =
            QStringLiteral("WITH %1 SELECT orvalis_groupes(%2, (SELECT orvalis_somme(d.valeur) FROM data d"
                           " WHERE d.period_year = %3 AND d.period_month = %4 AND d.dim_agence = agences.dim_agence"
                           " AND d.code_account = comptes.code_account%5)) AS groupes FROM %6")
                .arg(with.join(QStringLiteral(", ")), outer.join(QStringLiteral(", ")), year, month, supplierCondition,
                     from.join(QStringLiteral(" CROSS JOIN ")));
        return statement;
    }

    QStringList keys;
    if (scope.months > 1)
        keys << QStringLiteral("period_year") << QStringLiteral("period_month");
    keys << QStringLiteral("dim_agence") << QStringLiteral("code_account");
    if (scope.byUser)
        keys << QStringLiteral("dim_utilisateur");
    const QString columns = keys.join(QStringLiteral(", "));
    QString sql = reading.kind == Reading::Server
        ? QStringLiteral("SELECT %1, SUM(valeur) AS somme FROM data").arg(columns)
        : QStringLiteral("SELECT orvalis_sommes(%1, valeur) AS groupes FROM data").arg(columns);
    // The agencies of a pass by user are found directly by any index that
    // has the month, the agency and the account before the user; a pass
    // over every agency reads the months whole, and testing the account of
    // each row would cost more than summing the few rows of other accounts.
    sql += QStringLiteral(" WHERE ")
        + (reading.kind == Reading::Server ? yearRanges(scope) : monthCondition(scope, bool(scope.agencies)));
    sql += supplier(QStringLiteral("dim_fournisseur"));
    if (scope.agencies) {
        sql += QStringLiteral(" AND dim_agence IN (%1)").arg(statement.bindList(*scope.agencies));
        sql += QStringLiteral(" AND code_account IN (%1)").arg(statement.bindList(indexOrder(Schema::accountCodes())));
    }
    if (reading.kind == Reading::Server)
        sql += QStringLiteral(" GROUP BY ") + columns;
    statement.text = sql;
    return statement;
}

QString GroupedFigureSource::linksStatement()
{
    return QStringLiteral("SELECT DISTINCT niveau, agence FROM niveau_agence");
}

QString GroupedFigureSource::indexesStatement()
{
    return QStringLiteral("SELECT l.name AS index_name, l.partial AS partial, x.name AS column_name, x.coll AS coll, "
                          "x.key AS is_key FROM pragma_index_list('data') AS l, pragma_index_xinfo(l.name) AS x "
                          "ORDER BY l.seq, x.seqno");
}

std::optional<QStringList> GroupedFigureSource::rangeOrder(const QStringList &keys, const QStringList &collations,
                                                           const QStringList &columns, bool supplier)
{
    if (keys.size() < 4)
        return std::nullopt;
    auto has = [&columns](const char *name) {
        return columns.contains(QLatin1String(name), Qt::CaseInsensitive);
    };
    if (!has("valeur") || (supplier && !has("dim_fournisseur")))
        return std::nullopt;
    QStringList order;
    QSet<QString> seen;
    for (int i = 0; i < 4; ++i) {
        const QString key = keys.at(i).toLower();
        if (seen.contains(key))
            return std::nullopt;
        seen.insert(key);
        if (key == QLatin1String("period_year") || key == QLatin1String("period_month")) {
            if (!order.contains(QStringLiteral("mois")))
                order << QStringLiteral("mois");
        } else if (key == QLatin1String("dim_agence") || key == QLatin1String("code_account")) {
            // Equal in the index as in the statement: bytes compared.
            if (collations.at(i).compare(QLatin1String("BINARY"), Qt::CaseInsensitive) != 0)
                return std::nullopt;
            order << key;
        } else {
            return std::nullopt;
        }
    }
    return order;
}

void GroupedFigureSource::start(TABSDatabase *db)
{
    if (db != m_db) {
        m_kept.clear();
        m_indexes.reset();
    }
    m_db = db;
    m_levelAgencies.reset();
    forgetIfChanged();
}

GroupedFigureSource::Scope GroupedFigureSource::scopeFor(const DashboardSelection &selection, int drill)
{
    // Level and agency rows need sums by agency: of the agencies linked to
    // a level (as the rows stand for them); user rows, by user of the
    // selected agency.
    Scope wanted;
    const MonthSpan span = selection.span();
    wanted.year = span.year;
    wanted.month = span.first;
    wanted.months = span.months();
    if (!selection.supplierCode.isEmpty())
        wanted.supplier = selection.supplierCode;
    if (drill >= 2) {
        wanted.agencies = QStringList{selection.agencyCode};
        wanted.byUser = true;
    } else if (readingFor(wanted).kind == Reading::Ranges) {
        wanted.agencies = linkedAgencies();
    }
    return wanted;
}

void GroupedFigureSource::prepare(TABSDatabase *db, const DashboardSelection &selection, int drill)
{
    start(db);
    passFor(scopeFor(selection, drill));
}

void GroupedFigureSource::prepareMonths(TABSDatabase *db, const DashboardSelection &selection, int drill,
                                        const QVector<Period> &months)
{
    if (months.isEmpty())
        return;
    start(db);
    Scope wanted = scopeFor(selection, drill);
    QVector<int> numbers;
    for (const Period &period : months)
        numbers << monthNumber(period.year, period.month);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    const int first = numbers.first();
    wanted.year = first / 12;
    wanted.month = first % 12 + 1;
    wanted.months = numbers.last() - first + 1;
    // Months apart (a month and the same a year earlier): those alone.
    if (numbers.size() < wanted.months)
        for (const int n : std::as_const(numbers))
            wanted.only << n - first;
    passFor(wanted);
}

void GroupedFigureSource::forgetIfChanged()
{
    // Asked first: it opens the connection if it was closed.
    const QString version = dataVersion();
    if (m_connection != m_db->connectionSerial() || version != m_dataVersion || version.isEmpty()) {
        m_kept.clear();
        m_indexes.reset();
    }
    m_connection = m_db->connectionSerial();
    m_dataVersion = version;
}

QString GroupedFigureSource::dataVersion()
{
    // A file counts the commits of other connections. On a server, two
    // equal snapshots see the same rows: no transaction that wrote ended
    // between them, in any database of the server (one still running is
    // seen by neither).
    const bool server = m_db->isServer();
    const QString column = server ? QStringLiteral("instantane") : QStringLiteral("data_version");
    TABSQuery query(m_db);
    query.SetDatabaseName(m_db->DatabaseName());
    query.SQL().append(server ? QStringLiteral("SELECT pg_current_snapshot()::text AS instantane")
                              : QStringLiteral("PRAGMA data_version"));
    query.Open();
    const QString version = query.Eof() ? QString() : query.FieldByName(column).AsString();
    query.Close();
    return version;
}

GroupedFigureSource::Reading GroupedFigureSource::readingFor(const Scope &scope)
{
    if (m_db->isServer())
        return {Reading::Server, {}};
    if (scope.byUser)
        return {Reading::Rows, {}};
    if (!m_indexes) {
        std::vector<Index> indexes;
        TABSQuery query(m_db);
        query.SetDatabaseName(m_db->DatabaseName());
        query.SQL().append(indexesStatement());
        query.Open();
        QString current;
        for (; !query.Eof(); query.Next()) {
            const QString name = query.FieldByName(QStringLiteral("index_name")).AsString();
            if (indexes.empty() || name != current) {
                indexes.emplace_back();
                current = name;
            }
            Index &index = indexes.back();
            index.partial = query.FieldByName(QStringLiteral("partial")).AsString() == QLatin1String("1");
            // An expression has no name, and matches no column.
            const QString column = query.FieldByName(QStringLiteral("column_name")).AsString();
            index.columns << column;
            if (query.FieldByName(QStringLiteral("is_key")).AsString() == QLatin1String("1")) {
                index.keys << column;
                index.collations << query.FieldByName(QStringLiteral("coll")).AsString();
            }
        }
        query.Close();
        m_indexes = std::move(indexes);
    }
    for (const Index &index : *m_indexes) {
        if (index.partial)
            continue;
        if (const std::optional<QStringList> order =
                rangeOrder(index.keys, index.collations, index.columns, bool(scope.supplier)))
            return {Reading::Ranges, *order};
    }
    return {Reading::Rows, {}};
}

bool GroupedFigureSource::coversMonths(const Scope &pass, const Scope &wanted)
{
    if (pass.supplier != wanted.supplier)
        return false;
    const int first = monthNumber(pass.year, pass.month);
    const int from = monthNumber(wanted.year, wanted.month);
    for (int i = 0; i < wanted.months; ++i)
        if (readsMonth(wanted, i) && !readsMonth(pass, from + i - first))
            return false;
    return true;
}

bool GroupedFigureSource::covers(const Pass &pass, const Scope &wanted)
{
    if (!coversMonths(pass.scope, wanted) || (wanted.byUser && !pass.scope.byUser))
        return false;
    if (!pass.scope.agencies)
        return true;
    if (!wanted.agencies)
        return false;
    for (const QString &agency : *wanted.agencies)
        if (!pass.agencySet.contains(agency))
            return false;
    return true;
}

// A kept pass that read the month `month` (counted from the pass's first)
// for the same supplier, the same split by user and every agency of the
// pass.
const GroupedFigureSource::Pass *GroupedFigureSource::keptMonth(const std::vector<Pass> &kept, const Pass &pass,
                                                                int month)
{
    const int wanted = monthNumber(pass.scope.year, pass.scope.month) + month;
    for (auto it = kept.crbegin(); it != kept.crend(); ++it) {
        const Pass &from = *it;
        if (from.scope.supplier != pass.scope.supplier || from.scope.byUser != pass.scope.byUser
            || !readsMonth(from.scope, wanted - monthNumber(from.scope.year, from.scope.month)))
            continue;
        if (!from.scope.agencies)
            return &from;
        if (pass.scope.agencies
            && std::all_of(pass.scope.agencies->cbegin(), pass.scope.agencies->cend(),
                           [&from](const QString &agency) { return from.agencySet.contains(agency); }))
            return &from;
    }
    return nullptr;
}

// The groups of one month of a kept pass, for the agencies of the pass.
void GroupedFigureSource::copyMonth(const Pass &from, Pass &to, int month)
{
    const int offset = monthNumber(to.scope.year, to.scope.month) + month
        - monthNumber(from.scope.year, from.scope.month);
    const QStringList agencies = codesByIndex(from.agencies);
    const QStringList users = codesByIndex(from.users);
    for (const Group &group : from.groups) {
        if (group.month != offset)
            continue;
        if (to.scope.agencies && (group.agency < 0 || !to.agencySet.contains(agencies.at(group.agency))))
            continue;
        Group copy = group;
        copy.month = month;
        copy.agency = group.agency < 0 ? group.agency : intern(to.agencies, agencies.at(group.agency));
        copy.user = group.user < 0 ? group.user : intern(to.users, users.at(group.user));
        to.groups.append(copy);
    }
}

// The group of a month, an agency and a user in a pass, added at its first
// sum.
int GroupedFigureSource::GroupIndex::of(Pass &pass, int month, int agency, int user)
{
    const Key key{month, {agency, user}};
    const auto found = m_index.constFind(key);
    if (found != m_index.constEnd())
        return *found;
    const int g = int(pass.groups.size());
    m_index.insert(key, g);
    pass.groups.append(Group{month, agency, user, {}});
    return g;
}

const GroupedFigureSource::Pass &GroupedFigureSource::passFor(const Scope &wanted)
{
    // The last used stays longest.
    for (auto kept = m_kept.rbegin(); kept != m_kept.rend(); ++kept) {
        if (covers(*kept, wanted)) {
            std::rotate(kept.base() - 1, kept.base(), m_kept.end());
            return m_kept.back();
        }
    }

    Pass pass;
    pass.scope = wanted;
    // Within the months of a trend, a pass covers them all.
    for (const Pass &kept : m_kept) {
        if (kept.scope.months > 1 && coversMonths(kept.scope, wanted)) {
            pass.scope.year = kept.scope.year;
            pass.scope.month = kept.scope.month;
            pass.scope.months = kept.scope.months;
            pass.scope.only = kept.scope.only;
        }
    }
    if (pass.scope.agencies) {
        pass.scope.agencies = indexOrder(*pass.scope.agencies);
        pass.agencySet = QSet<QString>(pass.scope.agencies->cbegin(), pass.scope.agencies->cend());
    }
    Reading reading = readingFor(pass.scope);
    // Ranges for the agencies asked for; every agency is one pass over the
    // rows, and such a pass by agency serves every agency of the month.
    if (reading.kind == Reading::Ranges && !pass.scope.agencies)
        reading = {Reading::Rows, {}};
    if (!pass.scope.byUser && reading.kind != Reading::Ranges)
        pass.scope.agencies.reset();
    // The months a kept pass read for the same groups are taken from it;
    // the others are read, in one pass. No agency: nothing to read.
    Scope read = pass.scope;
    QVector<int> unread;
    for (int i = 0; i < pass.scope.months; ++i) {
        if (!readsMonth(pass.scope, i))
            continue;
        if (const Pass *from = keptMonth(m_kept, pass, i))
            copyMonth(*from, pass, i);
        else
            unread << i;
    }
    if (unread.size() < pass.scope.months)
        read.only = unread;
    if (!unread.isEmpty() && (!pass.scope.agencies || !pass.scope.agencies->isEmpty())) {
        if (reading.kind == Reading::Server)
            readServerGroups(pass, read);
        else
            readFileGroups(pass, read, reading);
        ++m_passes;
        m_monthsRead += int(unread.size());
    }

    if (m_kept.size() >= KeptPasses)
        m_kept.erase(m_kept.begin());
    m_kept.push_back(std::move(pass));
    return m_kept.back();
}

void GroupedFigureSource::readFileGroups(Pass &pass, const Scope &read, const Reading &reading)
{
    TABSQuery query(m_db);
    query.SetDatabaseName(m_db->DatabaseName());
    passStatement(read, reading).setOn(query);
    query.Open();
    const std::optional<QVector<GroupSums::Group>> groups =
        GroupSums::decode(query.Eof() ? QByteArray() : query.FieldByName(QStringLiteral("groupes")).AsBytes());
    query.Close();
    if (!groups)
        throw EDatabaseError(QStringLiteral("Les sommes du mois n'ont pas pu être lues."));

    const QStringList codes = Schema::accountCodes();
    const int byMonth = pass.scope.months > 1 ? 2 : 0;
    const int first = monthNumber(pass.scope.year, pass.scope.month);
    GroupIndex groupOf;
    for (const GroupSums::Group &group : *groups) {
        const QVariantList &keys = group.keys;
        const QVariant &account = keys.value(byMonth + 1);
        const int a = account.typeId() == QMetaType::QString ? int(codes.indexOf(account.toString())) : -1;
        if (a < 0)
            continue;
        int month = 0;
        if (byMonth) {
            // Integers, as the engine compared them with the months.
            if (keys.at(0).typeId() != QMetaType::LongLong || keys.at(1).typeId() != QMetaType::LongLong)
                continue;
            month = monthNumber(int(keys.at(0).toLongLong()), int(keys.at(1).toLongLong())) - first;
        }
        const int agency = intern(pass.agencies, keys.value(byMonth));
        const int user = pass.scope.byUser ? intern(pass.users, keys.value(byMonth + 2)) : AnyUser;
        pass.groups[groupOf.of(pass, month, agency, user)].sums[a].merge(group.sum);
    }
}

void GroupedFigureSource::readServerGroups(Pass &pass, const Scope &read)
{
    TABSQuery query(m_db);
    query.SetDatabaseName(m_db->DatabaseName());
    passStatement(read, {Reading::Server, {}}).setOn(query);
    query.Open();

    const QStringList codes = Schema::accountCodes();
    const bool byMonth = pass.scope.months > 1;
    const int first = monthNumber(pass.scope.year, pass.scope.month);
    GroupIndex groupOf;
    for (; !query.Eof(); query.Next()) {
        const int account = codes.indexOf(query.FieldByName(QStringLiteral("code_account")).AsString());
        if (account < 0)
            continue;
        const int month = byMonth ? monthNumber(query.FieldByName(QStringLiteral("period_year")).AsString().toInt(),
                                                query.FieldByName(QStringLiteral("period_month")).AsString().toInt())
                - first
                                  : 0;
        const int agency = intern(pass.agencies, query.FieldByName(QStringLiteral("dim_agence")).AsKey());
        const int user =
            pass.scope.byUser ? intern(pass.users, query.FieldByName(QStringLiteral("dim_utilisateur")).AsKey()) : AnyUser;
        const TField sum = query.FieldByName(QStringLiteral("somme"));
        const int g = groupOf.of(pass, month, agency, user);
        if (!sum.IsNull())
            pass.groups[g].sums[account].addServerSum(sum.AsFloat());
    }
    query.Close();
}

void GroupedFigureSource::readLinks()
{
    QHash<QString, QStringList> links;
    TABSQuery query(m_db);
    query.SetDatabaseName(m_db->DatabaseName());
    query.SQL().append(linksStatement());
    query.Open();
    while (!query.Eof()) {
        const TField level = query.FieldByName(QStringLiteral("niveau"));
        const TField agency = query.FieldByName(QStringLiteral("agence"));
        // A NULL on either side never matches a comparison.
        if (!level.IsNull() && !agency.IsNull())
            links[level.AsString()] << agency.AsString();
        query.Next();
    }
    query.Close();
    for (QStringList &agencies : links)
        agencies = indexOrder(agencies);
    m_levelAgencies = std::move(links);
}

const QStringList &GroupedFigureSource::levelAgencies(const QString &level)
{
    if (!m_levelAgencies)
        readLinks();
    static const QStringList none;
    const auto found = m_levelAgencies->constFind(level);
    return found == m_levelAgencies->constEnd() ? none : *found;
}

QStringList GroupedFigureSource::linkedAgencies()
{
    if (!m_levelAgencies)
        readLinks();
    QStringList all;
    for (const QStringList &agencies : std::as_const(*m_levelAgencies))
        all += agencies;
    return indexOrder(all);
}

AccountSums GroupedFigureSource::figures(TAccount &request)
{
    Scope wanted;
    wanted.year = request.GetPeriodYear();
    wanted.month = request.GetPeriodFirstMonth();
    wanted.months = request.GetPeriodMonth() - request.GetPeriodFirstMonth() + 1;
    if (request.UsesSupplier())
        wanted.supplier = request.GetSupplierCode();
    wanted.byUser = request.UsesUser();
    const bool byLevel = request.UsesLevel() && !request.GetLevelCode().isEmpty();
    if (request.UsesAgency())
        wanted.agencies = QStringList{request.GetAgencyCode()};
    else if (byLevel)
        wanted.agencies = levelAgencies(request.GetLevelCode());
    const Pass &pass = passFor(wanted);
    const int month = monthNumber(wanted.year, wanted.month) - monthNumber(pass.scope.year, pass.scope.month);

    // Which agencies and users the request lets through. NULL passes only
    // where its dimension is not restricted; a code without facts matches
    // nothing.
    const QVector<char> inLevel = byLevel ? maskOf(pass.agencies, levelAgencies(request.GetLevelCode())) : QVector<char>();
    const int agency = request.UsesAgency() ? pass.agencies.value(request.GetAgencyCode(), NoMatch) : NoMatch;
    const int user = request.UsesUser() ? pass.users.value(request.GetUserCode(), NoMatch) : NoMatch;

    SumOfValues sums[6];
    sumGroups(pass, month, wanted.months, sums, [&](const Group &group) {
        return !(byLevel && (group.agency == Null || !inLevel[group.agency]))
            && !(request.UsesAgency() && group.agency != agency) && !(request.UsesUser() && group.user != user);
    });

    AccountSums out;
    const QStringList codes = Schema::accountCodes();
    for (int i = 0; i < 6; ++i) {
        const std::optional<double> value = sums[i].result();
        if (value) {
            out.at(i) = *value;
            continue;
        }
        // Only the engine can tell: its own statement for this figure.
        TAccountSQL statement;
        statement.SetDatabase(m_db);
        statement.SetAccount(&request);
        request.SetAccountCode(codes.at(i));
        ++m_figureStatements;
        out.at(i) = statement.GetValue();
    }
    return out;
}

AccountSums GroupedFigureSource::totals(TABSDatabase *db, const DashboardSelection &selection, const TotalsScope &scope)
{
    if (scope.rowCodes.isEmpty())
        return AccountSums();
    // Within the refresh that prepared this source: its pass and links
    // stand.
    if (db != m_db)
        start(db);
    Scope wanted = scopeFor(selection, scope.drill);
    // The agencies the rows stand for, each once; none listed: every
    // agency (a level of empty code restricts nothing).
    std::optional<QSet<QString>> agencies;
    if (scope.drill == 0 && !scope.rowCodes.contains(QString())) {
        agencies.emplace();
        for (const QString &level : scope.rowCodes)
            for (const QString &agency : levelAgencies(level))
                agencies->insert(agency);
    } else if (scope.drill == 1) {
        agencies = QSet<QString>(scope.rowCodes.cbegin(), scope.rowCodes.cend());
    } else if (scope.drill >= 2) {
        agencies = QSet<QString>{selection.agencyCode};
    }
    // Every agency counts: the pass must hold them all, not only the linked.
    if (!agencies)
        wanted.agencies.reset();
    const Pass &pass = passFor(wanted);
    const int month = monthNumber(wanted.year, wanted.month) - monthNumber(pass.scope.year, pass.scope.month);

    const QVector<char> agencyIn = agencies ? maskOf(pass.agencies, *agencies) : QVector<char>();
    const QVector<char> userIn = scope.drill >= 2 ? maskOf(pass.users, scope.rowCodes) : QVector<char>();

    SumOfValues sums[6];
    sumGroups(pass, month, wanted.months, sums, [&](const Group &group) {
        return !(agencies && (group.agency == Null || !agencyIn[group.agency]))
            && !(scope.drill >= 2 && (group.user < 0 || !userIn[group.user]));
    });
    AccountSums out;
    for (int i = 0; i < 6; ++i) {
        const std::optional<double> value = sums[i].result();
        if (!value)
            return FigureSource::totals(db, selection, scope); // only the engine can tell
        out.at(i) = *value;
    }
    return out;
}
