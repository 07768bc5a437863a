#include "levels/levelstatements.h"

#include "store/sqltext.h"

namespace LevelStatements {

QString freeUsers()
{
    return QStringLiteral("SELECT code, libelle FROM dim_utilisateur")
        + QStringLiteral(" WHERE code not in( SELECT distinct code FROM dim_niveau)")
        + QStringLiteral(" ORDER BY libelle ASC");
}

QString levelList()
{
    return QStringLiteral("SELECT u.libelle as utilisateur, n.code as code, n.libelle FROM dim_niveau n, dim_utilisateur u")
        + QStringLiteral(" WHERE n.code = u.code")
        + QStringLiteral(" ORDER BY u.libelle ASC");
}

QString insertLevel(const QString &userCode, const QString &label)
{
    return QStringLiteral("INSERT INTO dim_niveau ( code , libelle ) values (")
        + QStringLiteral("'") + sqlEscape(userCode) + QStringLiteral("',")
        + QStringLiteral("'") + sqlEscape(label) + QStringLiteral("' )");
}

QString levelLinks(const QString &levelCode)
{
    return QStringLiteral("SELECT agence FROM niveau_agence")
        + QStringLiteral(" WHERE niveau = '") + sqlEscape(levelCode) + QStringLiteral("'");
}

QString deleteLevelLinks(const QString &levelCode)
{
    return QStringLiteral("DELETE FROM niveau_agence ")
        + QStringLiteral(" WHERE niveau = '") + sqlEscape(levelCode) + QStringLiteral("'");
}

QString deleteLevel(const QString &levelCode)
{
    return QStringLiteral("DELETE FROM dim_niveau ")
        + QStringLiteral(" WHERE code = '") + sqlEscape(levelCode) + QStringLiteral("'");
}

QString deletionQuestion(int linkCount)
{
    if (linkCount == 1)
        return QString::number(linkCount) + QStringLiteral(" agence est associée à ce niveau, confirmer la suppression ?");
    return QString::number(linkCount) + QStringLiteral(" agences sont associées à ce niveau, confirmer la suppression ?");
}

QString levelCombo()
{
    return QStringLiteral("SELECT code, libelle FROM dim_niveau") + QStringLiteral(" ORDER BY libelle ASC");
}

QString freeAgencies(const QString &levelCode)
{
    return QStringLiteral("SELECT code, libelle FROM dim_agence")
        + QStringLiteral(" WHERE code not in( ")
        + QStringLiteral(" SELECT distinct agence FROM niveau_agence WHERE niveau = '") + sqlEscape(levelCode)
        + QStringLiteral("'") + QStringLiteral(" )") + QStringLiteral(" ORDER BY libelle ASC");
}

QString levelAgencies(const QString &levelCode)
{
    return QStringLiteral("SELECT a.code, a.libelle FROM dim_agence a, niveau_agence na")
        + QStringLiteral(" WHERE a.code = na.agence")
        + QStringLiteral(" AND na.niveau = '") + sqlEscape(levelCode) + QStringLiteral("'")
        + QStringLiteral(" ORDER BY a.libelle ASC");
}

QString insertLink(const QString &levelCode, const QString &agencyCode)
{
    return QStringLiteral("INSERT INTO niveau_agence ( niveau , agence ) values (")
        + QStringLiteral("'") + sqlEscape(levelCode) + QStringLiteral("',")
        + QStringLiteral("'") + sqlEscape(agencyCode) + QStringLiteral("' )");
}

QString deleteLink(const QString &levelCode, const QString &agencyCode)
{
    return QStringLiteral("DELETE FROM niveau_agence ")
        + QStringLiteral(" WHERE agence = '") + sqlEscape(agencyCode) + QStringLiteral("'")
        + QStringLiteral(" AND niveau = '") + sqlEscape(levelCode) + QStringLiteral("'");
}

} // namespace LevelStatements
