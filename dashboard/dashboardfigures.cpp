#include "dashboard/dashboardfigures.h"

#include "dashboard/dashboardstatements.h"
#include "dashboard/groupedfigures.h"
#include "store/schema.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "store/taccount.h"
#include "store/taccountsql.h"

#include <QLocale>

#include <cmath>
#include <limits>

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

namespace Format {

QString amount(double value)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    if (std::isfinite(value) && std::fabs(value) >= 1e15) {
        // Past fifteen integer digits: 15 significant digits and an exponent
        // of at least three digits, as fixed-point output of this precision
        // has always written it.
        QString text = locale.toString(value, 'E', 14);
        const int e = text.indexOf(QLatin1Char('E'));
        if (e >= 0 && e + 2 < text.size()) {
            QString digits = text.mid(e + 2);
            while (digits.size() < 3)
                digits.prepend(QLatin1Char('0'));
            text = text.left(e + 2) + digits;
        }
        return text;
    }
    QString text = locale.toString(value, 'f', 2);
    // A value that rounds to zero is 0.00, whatever its sign.
    if (text.startsWith(locale.negativeSign())) {
        bool allZero = true;
        for (QChar c : text)
            if (c.isDigit() && c != QLatin1Char('0'))
                allZero = false;
        if (allZero)
            text.remove(0, locale.negativeSign().size());
    }
    return text;
}

QString count(int value)
{
    return QString::number(value);
}

int truncated(double value)
{
    const double t = std::trunc(value);
    if (std::isnan(t))
        return 0;
    if (t >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (t <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(t);
}

} // namespace Format

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
    row.NbRelances = Format::truncated(sums.relances);
    row.NbDevis = Format::truncated(sums.devis);
    row.NbCommandes = Format::truncated(sums.commandes);
    row.Transformation = row.NbDevis == 0 ? 0 : double(row.NbCommandes) / double(row.NbDevis) * 100;
    return row;
}

QStringList DashboardRow::cells() const
{
    return {
        libelle,
        Format::amount(HT),
        Format::amount(TVA),
        Format::amount(TTC),
        Format::amount(Marge),
        Format::amount(MargePct) + QLatin1Char('%'),
        Format::count(NbRelances),
        Format::count(NbDevis),
        Format::count(NbCommandes),
        Format::amount(Transformation) + QLatin1Char('%'),
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
    double values[6];
    for (int i = 0; i < 6; ++i) {
        request.SetAccountCode(codes.at(i));
        values[i] = accountSql.GetValue();
    }
    return {values[0], values[1], values[2], values[3], values[4], values[5]};
}

QString rowStatement(const DashboardSelection &selection, int drill)
{
    switch (drill) {
    case 1:
        return DashboardStatements::agencies(selection.levelCode);
    case 2:
        return DashboardStatements::usersOfAgency(selection.agencyCode, selection.year, selection.month);
    case 3:
        return DashboardStatements::oneUser(selection.agencyCode, selection.userCode);
    default:
        return DashboardStatements::levels(selection.admin, selection.user);
    }
}

void buildDashboard(TABSDatabase *db, const DashboardSelection &selection, FigureSource &source,
                    const std::function<void(const DashboardRow &)> &onRow)
{
    const int drill = drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex);
    TReadTransaction snapshot(db);

    TABSQuery query(db);
    query.SetDatabaseName(db->DatabaseName());
    query.SQL().append(rowStatement(selection, drill));
    query.Open();

    TAccount account;
    account.SetPeriod(selection.year, selection.month);
    source.prepare(db, selection, drill);
    if (selection.supplierCode.isEmpty())
        account.ClearSupplierCode();
    else
        account.SetSupplierCode(selection.supplierCode);

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
        query.Next();
    }
    query.Close();
}

std::unique_ptr<FigureSource> defaultFigureSource()
{
    return std::make_unique<GroupedFigureSource>();
}
