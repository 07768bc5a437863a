#include "store/taccountsql.h"

#include "store/sqltext.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "store/taccount.h"

QString TAccountSQL::statementFor(const TAccount &account)
{
    QString sql;
    sql += QStringLiteral("SELECT SUM(valeur) as somme");
    sql += QStringLiteral(" FROM data");
    sql += QStringLiteral(" WHERE code_account  = '") + sqlEscape(account.GetAccountCode()) + QStringLiteral("'");
    sql += QStringLiteral(" AND period_year  = ") + QString::number(account.GetPeriodYear());
    if (account.GetPeriodFirstMonth() == account.GetPeriodMonth()) {
        sql += QStringLiteral(" AND period_month = ") + QString::number(account.GetPeriodMonth());
    } else {
        sql += QStringLiteral(" AND period_month >= ") + QString::number(account.GetPeriodFirstMonth());
        sql += QStringLiteral(" AND period_month <= ") + QString::number(account.GetPeriodMonth());
    }
    if (account.UsesLevel() && !account.GetLevelCode().isEmpty()) {
        sql += QStringLiteral(" AND dim_agence  in ");
        sql += QStringLiteral(" ( select distinct agence ");
        sql += QStringLiteral("   from niveau_agence ");
        sql += QStringLiteral("   where niveau = '") + sqlEscape(account.GetLevelCode()) + QStringLiteral("'");
        sql += QStringLiteral(" )");
    }
    if (account.UsesAgency())
        sql += QStringLiteral(" AND dim_agence  = '") + sqlEscape(account.GetAgencyCode()) + QStringLiteral("'");
    if (account.UsesUser())
        sql += QStringLiteral(" AND dim_utilisateur  = '") + sqlEscape(account.GetUserCode()) + QStringLiteral("'");
    if (account.UsesSupplier())
        sql += QStringLiteral(" AND dim_fournisseur  = '") + sqlEscape(account.GetSupplierCode()) + QStringLiteral("'");
    return sql;
}

QString TAccountSQL::BuildStatement() const
{
    return statementFor(*FAccount);
}

double TAccountSQL::GetValue() const
{
    TABSQuery query(FDatabase);
    query.SetDatabaseName(FDatabase->DatabaseName());
    query.SQL().append(BuildStatement());
    query.Open();
    double result = 0.0;
    if (!query.Eof())
        result = query.FieldByName(QStringLiteral("somme")).AsFloat();
    query.Close();
    return result;
}
