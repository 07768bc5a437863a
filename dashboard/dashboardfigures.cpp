#include "dashboard/dashboardfigures.h"

#include "dashboard/dashboardstatements.h"
#include "dashboard/groupedfigures.h"
#include "dashboard/tableexport.h"
#include "store/boundstatement.h"
#include "store/schema.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "store/taccount.h"
#include "store/taccountsql.h"
#include "ui/numbertext.h"

#include <QLocale>

#include <cmath>
#include <optional>

int drillLevel(int levelIndex, int agencyIndex, int userIndex)
{
    const int n = levelIndex, a = agencyIndex, u = userIndex;
    if (n == 0 && a == 0 && u == 0)
        return 0;
    if (n > 0 && a == 0 && u == 0)
        return 1;
    if (n > 0 && a > 0 && u == 0)
        return 2;
    if (n > 0 && a > 0 && u > 0)
        return 3;
    return 0;
}

namespace {

// A count sum truncated toward zero; infinities keep their sign, and NaN (a
// sum of infinities of both signs) counts nothing.
double truncated(double value)
{
    return std::isnan(value) ? 0.0 : std::trunc(value);
}

} // namespace

DashboardRow DashboardRow::from(const QString &code, const QString &libelle, const AccountSums &sums)
{
    DashboardRow row;
    row.code = code;
    row.libelle = libelle;
    row.HT = sums.ht;
    row.TVA = sums.tva;
    row.TTC = sums.ht + sums.tva;
    row.Marge = sums.marge;
    row.MargePct = row.HT == 0 ? 0 : row.Marge / row.HT * 100;
    row.NbRelances = truncated(sums.relances);
    row.NbDevis = truncated(sums.devis);
    row.NbCommandes = truncated(sums.commandes);
    row.Transformation = row.NbDevis == 0 ? 0 : row.NbCommandes / row.NbDevis * 100;
    return row;
}

QStringList DashboardRow::cells(const QLocale &locale) const
{
    return {
        libelle,
        Format::amount(HT, locale),
        Format::amount(TVA, locale),
        Format::amount(TTC, locale),
        Format::amount(Marge, locale),
        Format::amount(MargePct, locale) + QLatin1Char('%'),
        Format::count(NbRelances, locale),
        Format::count(NbDevis, locale),
        Format::count(NbCommandes, locale),
        Format::amount(Transformation, locale) + QLatin1Char('%'),
    };
}

QStringList dashboardCaptions()
{
    return {
        QStringLiteral("Niveau"),        QStringLiteral("Montant HT"),    QStringLiteral("TVA"),
        QStringLiteral("Montant TTC"),   QStringLiteral("Marge €"),       QStringLiteral("Marge %"),
        QStringLiteral("Nb Relance(s)"), QStringLiteral("Nb Devis"),      QStringLiteral("Nb Commandes"),
        QStringLiteral("Transformation %"),
    };
}

QString noLevelNotice(bool admin, const QString &user)
{
    if (admin)
        return QStringLiteral("Aucun niveau n'est défini : la table dim_niveau est vide. Le tableau est vide.");
    return QStringLiteral("L'utilisateur « %1 » n'a pas de niveau : aucune ligne de dim_niveau n'a ce code. "
                          "Le tableau est vide.")
        .arg(user);
}

namespace {
// The first row of a statement's answer, or nothing.
std::optional<QStringList> firstRow(TABSDatabase *database, const BoundStatement &statement, const QStringList &columns)
{
    TABSQuery query(database);
    query.SetDatabaseName(database->DatabaseName());
    statement.setOn(query);
    query.Open();
    std::optional<QStringList> row;
    if (!query.Eof()) {
        row.emplace();
        for (const QString &column : columns)
            *row << query.FieldByName(column).AsString();
    }
    query.Close();
    return row;
}
} // namespace

QString emptyPeriodNotice(TABSDatabase *database, const MonthSpan &span)
{
    BoundStatement inSpan;
    inSpan.text = QStringLiteral("SELECT period_year FROM data WHERE period_year = %1 AND period_month >= %2"
                                 " AND period_month <= %3 AND code_account IN (%4) LIMIT 1")
                      .arg(span.year)
                      .arg(span.first)
                      .arg(span.last)
                      .arg(inSpan.bindList(Schema::accountCodes()));
    if (firstRow(database, inSpan, {QStringLiteral("period_year")}))
        return {};
    BoundStatement latest;
    latest.text = QStringLiteral("SELECT period_year, period_month FROM data WHERE code_account IN (%1)"
                                 " ORDER BY period_year DESC, period_month DESC LIMIT 1")
                      .arg(latest.bindList(Schema::accountCodes()));
    const std::optional<QStringList> last =
        firstRow(database, latest, {QStringLiteral("period_year"), QStringLiteral("period_month")});
    const QString period = span.text();
    if (!last)
        return QStringLiteral("La base ne contient aucun chiffre : tous les montants sont à 0 en %1.").arg(period);
    const int month = last->at(1).toInt();
    return QStringLiteral("Aucun chiffre en %1 dans la base : le dernier mois qui en a est %2.")
        .arg(period, MonthSpan{last->at(0).toInt(), month, month}.text());
}

UnlinkedAgencies unlinkedAgencies(TABSDatabase *database)
{
    TABSQuery query(database);
    query.SetDatabaseName(database->DatabaseName());
    query.SQL().append(DashboardStatements::unlinkedAgencies());
    query.Open();
    UnlinkedAgencies found;
    QStringList labels;
    for (; !query.Eof(); query.Next()) {
        QString label = TableExport::singleLine(query.FieldByName(QStringLiteral("libelle")).AsString()).trimmed();
        labels << (label.isEmpty() ? TableExport::singleLine(query.FieldByName(QStringLiteral("code")).AsString()) : label);
    }
    query.Close();
    if (labels.isEmpty())
        return found;
    found.notice = labels.size() == 1
        ? QStringLiteral("Une agence n'est rattachée à aucun niveau : ses chiffres ne comptent dans aucune ligne "
                         "ni dans le total.")
        : QStringLiteral("%1 agences ne sont rattachées à aucun niveau : leurs chiffres ne comptent dans aucune "
                         "ligne ni dans le total.")
              .arg(labels.size());
    // A first line of ours: a tooltip whose first line looks like a tag is
    // read as rich text, and a label's "<b>" must show as it is written.
    constexpr int Named = 20;
    found.labels = QStringLiteral("Agences sans niveau :\n") + labels.mid(0, Named).join(QLatin1Char('\n'));
    if (labels.size() > Named)
        found.labels += QStringLiteral("\n…");
    return found;
}

void FigureSource::prepare(TABSDatabase *, const DashboardSelection &, int)
{
}

void FigureSource::prepareMonths(TABSDatabase *, const DashboardSelection &, int, const QVector<Period> &)
{
}

void PerFigureSource::prepare(TABSDatabase *db, const DashboardSelection &, int)
{
    m_db = db;
}

AccountSums PerFigureSource::figures(TAccount &request)
{
    TAccountSQL accountSql;
    accountSql.SetDatabase(m_db);
    accountSql.SetAccount(&request);
    const QStringList codes = Schema::accountCodes();
    AccountSums sums;
    for (int i = 0; i < 6; ++i) {
        request.SetAccountCode(codes.at(i));
        sums.at(i) = accountSql.GetValue();
    }
    return sums;
}

QString rowStatement(const DashboardSelection &selection, int drill)
{
    switch (drill) {
    case 1:
        return DashboardStatements::agencies(selection.levelCode);
    case 2:
        return DashboardStatements::usersOfAgency(selection.agencyCode, selection.year, selection.month,
                                                  selection.span().first);
    case 3:
        return DashboardStatements::oneUser(selection.agencyCode, selection.userCode);
    default:
        return DashboardStatements::levels(selection.admin, selection.user);
    }
}

QString totalsLabel()
{
    return QStringLiteral("Total");
}

BoundStatement totalsStatement(const DashboardSelection &selection, const TotalsScope &scope)
{
    BoundStatement statement;
    if (scope.rowCodes.isEmpty())
        return statement;
    const MonthSpan span = selection.span();
    const QString months = span.months() == 1
        ? QStringLiteral("period_month = %1").arg(span.last)
        : QStringLiteral("period_month >= %1 AND period_month <= %2").arg(span.first).arg(span.last);
    QString sql = QStringLiteral("SELECT code_account, SUM(valeur) AS somme FROM data WHERE period_year = %1 AND "
                                 "%2 AND code_account IN (%3)")
                      .arg(span.year)
                      .arg(months, statement.bindList(Schema::accountCodes()));
    if (!selection.supplierCode.isEmpty())
        sql += QStringLiteral(" AND dim_fournisseur = ") + statement.bind(selection.supplierCode);
    switch (scope.drill) {
    case 0:
        // A level of empty code restricts nothing: its row covers every
        // fact, and so does the total.
        if (!scope.rowCodes.contains(QString()))
            sql += QStringLiteral(" AND dim_agence IN (SELECT agence FROM niveau_agence WHERE niveau IN (%1))")
                       .arg(statement.bindList(scope.rowCodes));
        break;
    case 1:
        sql += QStringLiteral(" AND dim_agence IN (%1)").arg(statement.bindList(scope.rowCodes));
        break;
    default: {
        const QString agency = statement.bind(selection.agencyCode);
        sql += QStringLiteral(" AND dim_agence = %1 AND dim_utilisateur IN (%2)")
                   .arg(agency, statement.bindList(scope.rowCodes));
        break;
    }
    }
    statement.text = sql + QStringLiteral(" GROUP BY code_account");
    return statement;
}

AccountSums FigureSource::totals(TABSDatabase *db, const DashboardSelection &selection, const TotalsScope &scope)
{
    AccountSums sums;
    const BoundStatement statement = totalsStatement(selection, scope);
    if (statement.isEmpty())
        return sums;
    const QStringList codes = Schema::accountCodes();
    TABSQuery query(db);
    query.SetDatabaseName(db->DatabaseName());
    statement.setOn(query);
    query.Open();
    for (; !query.Eof(); query.Next()) {
        const int account = codes.indexOf(query.FieldByName(QStringLiteral("code_account")).AsString());
        if (account >= 0)
            sums.at(account) = query.FieldByName(QStringLiteral("somme")).AsFloat();
    }
    query.Close();
    return sums;
}

void buildDashboard(TABSDatabase *db, const DashboardSelection &selection, FigureSource &source,
                    const std::function<void(const DashboardRow &)> &onRow, DashboardRow *totals)
{
    const int drill = drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex);
    TReadTransaction snapshot(db);

    TABSQuery query(db);
    query.SetDatabaseName(db->DatabaseName());
    query.SQL().append(rowStatement(selection, drill));
    query.Open();

    TAccount account;
    account.SetPeriodSpan(selection.year, selection.span().first, selection.month);
    source.prepare(db, selection, drill);
    if (selection.supplierCode.isEmpty())
        account.ClearSupplierCode();
    else
        account.SetSupplierCode(selection.supplierCode);

    TotalsScope scope;
    scope.drill = drill;
    while (!query.Eof()) {
        const QString code = query.FieldByName(QStringLiteral("code")).AsString();
        const QString libelle = query.FieldByName(QStringLiteral("libelle")).AsString();

        if (drill == 0)
            account.SetLevelCode(code);
        else
            account.ClearLevelCode();

        if (drill == 0)
            account.ClearAgencyCode();
        else if (drill == 1)
            account.SetAgencyCode(code);
        else
            account.SetAgencyCode(selection.agencyCode);

        if (drill <= 1)
            account.ClearUserCode();
        else if (drill == 2)
            account.SetUserCode(code);
        else
            account.SetUserCode(selection.userCode);

        onRow(DashboardRow::from(code, libelle, source.figures(account)));
        scope.rowCodes << code;
        query.Next();
    }
    query.Close();
    if (totals)
        *totals = DashboardRow::from(QString(), totalsLabel(), source.totals(db, selection, scope));
}

std::unique_ptr<FigureSource> defaultFigureSource()
{
    return std::make_unique<GroupedFigureSource>();
}
