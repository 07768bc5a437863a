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

namespace {

// The covering index of the figures, with `first` and `second` (the agency
// and the account) in that order after the month.
QString coveringIndex(const QString &name, const char *first, const char *second)
{
    return QStringLiteral("CREATE INDEX %1 ON data (period_year, period_month, %2, %3, dim_utilisateur, "
                          "dim_fournisseur, valeur)")
        .arg(name, QLatin1String(first), QLatin1String(second));
}

} // namespace

QString recommendedIndexName()
{
    return QStringLiteral("data_mois_compte");
}

QString recommendedIndex()
{
    return coveringIndex(recommendedIndexName(), "dim_agence", "code_account");
}

QString accountFirstIndexName()
{
    return QStringLiteral("data_mois_compte_agence");
}

QString accountFirstIndex()
{
    return coveringIndex(accountFirstIndexName(), "code_account", "dim_agence");
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
