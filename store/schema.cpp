#include "store/schema.h"

namespace Schema {

QStringList createTables()
{
    return {
        QStringLiteral("CREATE TABLE data (code_account TEXT, period_year INTEGER, period_month INTEGER, "
                       "valeur DOUBLE PRECISION, dim_agence TEXT, dim_utilisateur TEXT, "
                       "dim_fournisseur TEXT, dim_dossier TEXT)"),
        QStringLiteral("CREATE TABLE dim_utilisateur (code TEXT, libelle TEXT)"),
        QStringLiteral("CREATE TABLE dim_agence (code TEXT, libelle TEXT)"),
        QStringLiteral("CREATE TABLE dim_fournisseur (code TEXT, libelle TEXT)"),
        QStringLiteral("CREATE TABLE dim_niveau (code TEXT, libelle TEXT)"),
        QStringLiteral("CREATE TABLE niveau_agence (niveau TEXT, agence TEXT)"),
    };
}

QStringList tableNames()
{
    return {
        QStringLiteral("data"),       QStringLiteral("dim_utilisateur"), QStringLiteral("dim_agence"),
        QStringLiteral("dim_fournisseur"), QStringLiteral("dim_niveau"), QStringLiteral("niveau_agence"),
    };
}

QString recommendedIndexName()
{
    return QStringLiteral("data_mois_compte");
}

QString recommendedIndex()
{
    return QStringLiteral("CREATE INDEX %1 ON data (period_year, period_month, dim_agence, "
                          "code_account, dim_utilisateur, dim_fournisseur, valeur)")
        .arg(recommendedIndexName());
}

QStringList accountCodes()
{
    return {
        QStringLiteral("MONTANT_DEVIS_VENTE_HT"), QStringLiteral("MONTANT_DEVIS_TVA"),
        QStringLiteral("MARGE_DEVIS_VENTE_HT"),   QStringLiteral("NB_RELANCES"),
        QStringLiteral("NB_DOSSIERS_TRAITES"),    QStringLiteral("NB_COMMANDES_TRAITES"),
    };
}

} // namespace Schema
