#include "dashboard/dashboardstatements.h"

#include "store/sqltext.h"

namespace DashboardStatements {

QString levels(bool admin, const QString &user)
{
    QString sql = QStringLiteral("SELECT code, libelle FROM dim_niveau");
    if (!admin)
        sql += QStringLiteral(" WHERE code = '") + sqlEscape(user) + QStringLiteral("'");
    sql += QStringLiteral(" ORDER BY libelle ASC");
    return sql;
}

QString agencies(const QString &level)
{
    return QStringLiteral("SELECT a.code as code, a.libelle as libelle")
        + QStringLiteral(" FROM dim_agence a, niveau_agence n")
        + QStringLiteral(" WHERE a.code = n.agence")
        + QStringLiteral(" AND n.niveau = '") + sqlEscape(level) + QStringLiteral("'")
        + QStringLiteral(" ORDER BY libelle ASC");
}

QString usersOfAgency(const QString &agency, int year, int month, int firstMonth)
{
    const QString months = firstMonth <= 0 || firstMonth == month
        ? QStringLiteral(" AND d.period_month\t= ") + QString::number(month)
        : QStringLiteral(" AND d.period_month >= ") + QString::number(firstMonth)
            + QStringLiteral(" AND d.period_month <= ") + QString::number(month);
    return QStringLiteral("SELECT distinct u.code, u.libelle")
        + QStringLiteral(" FROM dim_utilisateur u, data d")
        + QStringLiteral(" WHERE d.dim_agence = '") + sqlEscape(agency) + QStringLiteral("'")
        + QStringLiteral(" AND u.code  = d.dim_utilisateur")
        + QStringLiteral(" AND d.period_year \t= ") + QString::number(year)
        + months
        + QStringLiteral(" ORDER BY u.libelle ASC");
}

QString oneUser(const QString &agency, const QString &user)
{
    return QStringLiteral("SELECT distinct u.code, u.libelle")
        + QStringLiteral(" FROM dim_utilisateur u, data d")
        + QStringLiteral(" WHERE d.dim_agence = '") + sqlEscape(agency) + QStringLiteral("'")
        + QStringLiteral(" AND u.code  = d.dim_utilisateur")
        + QStringLiteral(" AND u.code = '") + sqlEscape(user) + QStringLiteral("'")
        + QStringLiteral(" ORDER BY u.libelle ASC");
}

QString suppliers()
{
    return QStringLiteral("SELECT code, libelle") + QStringLiteral(" FROM dim_fournisseur")
        + QStringLiteral(" ORDER BY libelle ASC");
}

QString unlinkedAgencies()
{
    return QStringLiteral("SELECT DISTINCT code, libelle FROM dim_agence WHERE code IS NOT NULL"
                          " AND code NOT IN (SELECT agence FROM niveau_agence WHERE agence IS NOT NULL)"
                          " ORDER BY libelle, code");
}

} // namespace DashboardStatements
