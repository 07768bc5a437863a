#include "dashboard/groupedfigures.h"

#include "store/schema.h"
#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "store/taccount.h"

#include <QStringList>

#include <cmath>

namespace {

// Sum of doubles with a running compensation (Neumaier), so that adding up
// the group sums in memory loses nothing that the statement of one figure,
// summing the same rows in one go, would have kept.
class CompensatedSum
{
public:
    void add(double value)
    {
        const double t = m_sum + value;
        if (std::fabs(m_sum) >= std::fabs(value))
            m_compensation += (m_sum - t) + value;
        else
            m_compensation += (value - t) + m_sum;
        m_sum = t;
    }
    double value() const { return m_sum + m_compensation; }

private:
    double m_sum = 0.0;
    double m_compensation = 0.0;
};

QString quoted(const QString &code)
{
    return QLatin1Char('\'') + sqlEscape(code) + QLatin1Char('\'');
}

QString fieldText(const TABSQuery &query, const QString &name, bool *isNull)
{
    const TField field = query.FieldByName(name);
    *isNull = field.IsNull();
    return field.AsString();
}

} // namespace

QString GroupedFigureSource::passStatement(const Scope &scope)
{
    QStringList codes;
    for (const QString &code : Schema::accountCodes())
        codes << quoted(code);
    QString sql = QStringLiteral("SELECT code_account, dim_agence, dim_utilisateur, SUM(valeur) AS somme FROM data"
                                 " WHERE period_year = %1 AND period_month = %2 AND code_account IN (%3)")
                      .arg(scope.year)
                      .arg(scope.month)
                      .arg(codes.join(QStringLiteral(", ")));
    if (scope.supplier)
        sql += QStringLiteral(" AND dim_fournisseur = ") + quoted(*scope.supplier);
    if (scope.agency)
        sql += QStringLiteral(" AND dim_agence = ") + quoted(*scope.agency);
    // Account first: with the covering index the rows arrive in this order
    // and no sort is needed.
    sql += QStringLiteral(" GROUP BY code_account, dim_agence, dim_utilisateur");
    return sql;
}

QString GroupedFigureSource::linksStatement()
{
    return QStringLiteral("SELECT DISTINCT niveau, agence FROM niveau_agence");
}

void GroupedFigureSource::prepare(TABSDatabase *db, const DashboardSelection &selection, int drill)
{
    if (db != m_db)
        m_hasPass = false;
    m_db = db;
    m_levelAgencies.clear();
    m_linksRead = false;

    Scope wanted;
    wanted.year = selection.year;
    wanted.month = selection.month;
    if (!selection.supplierCode.isEmpty())
        wanted.supplier = selection.supplierCode;
    if (drill >= 2)
        wanted.agency = selection.agencyCode;

    const bool reusable = m_hasPass && m_scope.year == wanted.year && m_scope.month == wanted.month
        && m_scope.supplier == wanted.supplier && (!m_scope.agency || m_scope.agency == wanted.agency);
    if (!reusable || !stillValid())
        runPass(wanted);
}

bool GroupedFigureSource::stillValid()
{
    // Asked first: it opens the connection if it was closed.
    const qint64 version = dataVersion();
    return m_connection == m_db->connectionSerial() && version == m_dataVersion;
}

qint64 GroupedFigureSource::dataVersion()
{
    TABSQuery query(m_db);
    query.SetDatabaseName(m_db->DatabaseName());
    query.SQL().append(QStringLiteral("PRAGMA data_version"));
    query.Open();
    const qint64 version = query.Eof() ? -1 : query.FieldByName(QStringLiteral("data_version")).AsString().toLongLong();
    query.Close();
    return version;
}

void GroupedFigureSource::runPass(const Scope &scope)
{
    m_hasPass = false;
    m_groups.clear();
    m_agencies.clear();
    m_users.clear();
    m_levelAgencies.clear();
    m_linksRead = false;

    // Taken before the pass: a write that slips in between only makes the
    // next refresh read again.
    m_dataVersion = dataVersion();
    m_connection = m_db->connectionSerial();

    TABSQuery query(m_db);
    query.SetDatabaseName(m_db->DatabaseName());
    query.SQL().append(passStatement(scope));
    query.Open();
    ++m_passes;

    const QStringList codes = Schema::accountCodes();
    QHash<QPair<int, int>, int> groupOf;
    while (!query.Eof()) {
        const int account = codes.indexOf(query.FieldByName(QStringLiteral("code_account")).AsString());
        bool agencyNull = false, userNull = false;
        const QString agency = fieldText(query, QStringLiteral("dim_agence"), &agencyNull);
        const QString user = fieldText(query, QStringLiteral("dim_utilisateur"), &userNull);
        const int a = agencyNull ? -1 : intern(m_agencies, agency);
        const int u = userNull ? -1 : intern(m_users, user);
        auto found = groupOf.constFind({a, u});
        int g;
        if (found == groupOf.constEnd()) {
            g = int(m_groups.size());
            groupOf.insert({a, u}, g);
            m_groups.append(Group{a, u, {0, 0, 0, 0, 0, 0}});
        } else {
            g = *found;
        }
        if (account >= 0)
            m_groups[g].sums[account] = query.FieldByName(QStringLiteral("somme")).AsFloat();
        query.Next();
    }
    query.Close();

    m_scope = scope;
    m_hasPass = true;
}

int GroupedFigureSource::intern(QHash<QString, int> &table, const QString &code)
{
    auto found = table.constFind(code);
    if (found != table.constEnd())
        return *found;
    const int index = int(table.size());
    table.insert(code, index);
    return index;
}

void GroupedFigureSource::readLinks()
{
    m_levelAgencies.clear();
    TABSQuery query(m_db);
    query.SetDatabaseName(m_db->DatabaseName());
    query.SQL().append(linksStatement());
    query.Open();
    while (!query.Eof()) {
        bool levelNull = false, agencyNull = false;
        const QString level = fieldText(query, QStringLiteral("niveau"), &levelNull);
        const QString agency = fieldText(query, QStringLiteral("agence"), &agencyNull);
        query.Next();
        // A NULL on either side never matches a comparison.
        if (levelNull || agencyNull)
            continue;
        QVector<int> &agencies = m_levelAgencies[level];
        const int a = m_agencies.value(agency, -1);
        if (a >= 0 && !agencies.contains(a))
            agencies.append(a);
    }
    query.Close();
    m_linksRead = true;
}

bool GroupedFigureSource::covers(const Scope &pass, const TAccount &request) const
{
    if (pass.year != request.GetPeriodYear() || pass.month != request.GetPeriodMonth())
        return false;
    if (request.UsesSupplier() ? pass.supplier != request.GetSupplierCode() : pass.supplier.has_value())
        return false;
    return !pass.agency || (request.UsesAgency() && *pass.agency == request.GetAgencyCode());
}

AccountSums GroupedFigureSource::figures(TAccount &request)
{
    if (!m_hasPass || !covers(m_scope, request)) {
        Scope scope;
        scope.year = request.GetPeriodYear();
        scope.month = request.GetPeriodMonth();
        if (request.UsesSupplier())
            scope.supplier = request.GetSupplierCode();
        runPass(scope);
    }

    // Which agencies and users the request lets through. NULL (-1) passes
    // only where its dimension is not restricted.
    const bool byLevel = request.UsesLevel() && !request.GetLevelCode().isEmpty();
    QVector<char> levelAgencies;
    if (byLevel) {
        if (!m_linksRead)
            readLinks();
        levelAgencies.fill(0, m_agencies.size());
        for (int a : m_levelAgencies.value(request.GetLevelCode()))
            levelAgencies[a] = 1;
    }
    // -2 matches no group: a code without facts in the month.
    const int agency = request.UsesAgency() ? m_agencies.value(request.GetAgencyCode(), -2) : -1;
    const int user = request.UsesUser() ? m_users.value(request.GetUserCode(), -2) : -1;

    CompensatedSum sums[6];
    for (const Group &group : m_groups) {
        if (byLevel && (group.agency < 0 || !levelAgencies[group.agency]))
            continue;
        if (request.UsesAgency() && group.agency != agency)
            continue;
        if (request.UsesUser() && group.user != user)
            continue;
        for (int i = 0; i < 6; ++i)
            sums[i].add(group.sums[i]);
    }
    return {sums[0].value(), sums[1].value(), sums[2].value(),
            sums[3].value(), sums[4].value(), sums[5].value()};
}
