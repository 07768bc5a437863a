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
// the group sums in memory adds no rounding of its own to what the engine
// summed.
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

// The index of a code in a pass; NULL has none.
int intern(QHash<QString, int> &table, const TField &field)
{
    if (field.IsNull())
        return -1;
    const QString code = field.AsString();
    auto found = table.constFind(code);
    if (found != table.constEnd())
        return *found;
    const int index = int(table.size());
    table.insert(code, index);
    return index;
}

} // namespace

QString GroupedFigureSource::passStatement(const Scope &scope)
{
    // Every account of the month: testing the account of each row costs
    // more than summing the few rows of other accounts, whose sums are left
    // out when they are read.
    const QString columns = scope.byUser ? QStringLiteral("dim_agence, code_account, dim_utilisateur")
                                         : QStringLiteral("dim_agence, code_account");
    QString sql = QStringLiteral("SELECT %1, SUM(valeur) AS somme FROM data WHERE period_year = %2 AND period_month = %3")
                      .arg(columns)
                      .arg(scope.year)
                      .arg(scope.month);
    if (scope.supplier)
        sql += QStringLiteral(" AND dim_fournisseur = ") + quoted(*scope.supplier);
    if (scope.agency)
        sql += QStringLiteral(" AND dim_agence = ") + quoted(*scope.agency);
    // The order of the recommended index: with it the rows arrive grouped
    // and nothing is sorted.
    sql += QStringLiteral(" GROUP BY ") + columns;
    return sql;
}

QString GroupedFigureSource::linksStatement()
{
    return QStringLiteral("SELECT DISTINCT niveau, agence FROM niveau_agence");
}

void GroupedFigureSource::prepare(TABSDatabase *db, const DashboardSelection &selection, int drill)
{
    if (db != m_db) {
        m_byAgency.reset();
        m_byUser.reset();
    }
    m_db = db;
    m_levelAgencies.reset();
    forgetIfChanged();

    // Level and agency rows need sums by agency; user rows, by user of the
    // selected agency.
    Scope wanted;
    wanted.year = selection.year;
    wanted.month = selection.month;
    if (!selection.supplierCode.isEmpty())
        wanted.supplier = selection.supplierCode;
    if (drill >= 2) {
        wanted.agency = selection.agencyCode;
        wanted.byUser = true;
    }
    passFor(wanted);
}

void GroupedFigureSource::forgetIfChanged()
{
    // A server says nothing cheap about other sessions' writes: every
    // refresh reads afresh there.
    if (m_db->isServer()) {
        m_byAgency.reset();
        m_byUser.reset();
        return;
    }
    // Asked first: it opens the connection if it was closed.
    const qint64 version = dataVersion();
    if (m_connection != m_db->connectionSerial() || version != m_dataVersion) {
        m_byAgency.reset();
        m_byUser.reset();
    }
    m_connection = m_db->connectionSerial();
    m_dataVersion = version;
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

bool GroupedFigureSource::covers(const Scope &pass, const Scope &wanted)
{
    return pass.year == wanted.year && pass.month == wanted.month && pass.supplier == wanted.supplier
        && (pass.byUser || !wanted.byUser) && (!pass.agency || pass.agency == wanted.agency);
}

const GroupedFigureSource::Pass &GroupedFigureSource::passFor(const Scope &wanted)
{
    for (const std::optional<Pass> *kept : {&m_byAgency, &m_byUser})
        if (*kept && covers((*kept)->scope, wanted))
            return **kept;

    Pass pass;
    pass.scope = wanted;
    // Sums by agency serve every agency of the month.
    if (!wanted.byUser)
        pass.scope.agency.reset();

    TABSQuery query(m_db);
    query.SetDatabaseName(m_db->DatabaseName());
    query.SQL().append(passStatement(pass.scope));
    query.Open();
    ++m_passes;

    const QStringList codes = Schema::accountCodes();
    QHash<QPair<int, int>, int> groupOf;
    while (!query.Eof()) {
        const int account = codes.indexOf(query.FieldByName(QStringLiteral("code_account")).AsString());
        if (account < 0) {
            query.Next();
            continue;
        }
        const int agency = intern(pass.agencies, query.FieldByName(QStringLiteral("dim_agence")));
        const int user =
            pass.scope.byUser ? intern(pass.users, query.FieldByName(QStringLiteral("dim_utilisateur"))) : AnyUser;
        auto found = groupOf.constFind({agency, user});
        int g;
        if (found == groupOf.constEnd()) {
            g = int(pass.groups.size());
            groupOf.insert({agency, user}, g);
            pass.groups.append(Group{agency, user, {0, 0, 0, 0, 0, 0}});
        } else {
            g = *found;
        }
        pass.groups[g].sums[account] = query.FieldByName(QStringLiteral("somme")).AsFloat();
        query.Next();
    }
    query.Close();

    std::optional<Pass> &slot = pass.scope.byUser ? m_byUser : m_byAgency;
    slot = std::move(pass);
    return *slot;
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
    m_levelAgencies = std::move(links);
}

AccountSums GroupedFigureSource::figures(TAccount &request)
{
    Scope wanted;
    wanted.year = request.GetPeriodYear();
    wanted.month = request.GetPeriodMonth();
    if (request.UsesSupplier())
        wanted.supplier = request.GetSupplierCode();
    if (request.UsesAgency())
        wanted.agency = request.GetAgencyCode();
    wanted.byUser = request.UsesUser();
    const Pass &pass = passFor(wanted);

    // Which agencies and users the request lets through. NULL passes only
    // where its dimension is not restricted; NoMatch is a code without facts.
    constexpr int NoMatch = -2;
    const bool byLevel = request.UsesLevel() && !request.GetLevelCode().isEmpty();
    QVector<char> inLevel;
    if (byLevel) {
        if (!m_levelAgencies)
            readLinks();
        inLevel.fill(0, pass.agencies.size());
        for (const QString &code : m_levelAgencies->value(request.GetLevelCode())) {
            const int a = pass.agencies.value(code, NoMatch);
            if (a >= 0)
                inLevel[a] = 1;
        }
    }
    const int agency = request.UsesAgency() ? pass.agencies.value(request.GetAgencyCode(), NoMatch) : NoMatch;
    const int user = request.UsesUser() ? pass.users.value(request.GetUserCode(), NoMatch) : NoMatch;

    CompensatedSum sums[6];
    for (const Group &group : pass.groups) {
        if (byLevel && (group.agency == Null || !inLevel[group.agency]))
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
