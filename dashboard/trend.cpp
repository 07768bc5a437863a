#include "dashboard/trend.h"

#include "store/tabsdatabase.h"

QVector<MonthTotals> monthlyTotals(TABSDatabase *db, const DashboardSelection &selection,
                                   const QVector<Period> &months, const FigureSourceFactory &sources)
{
    TReadTransaction snapshot(db);
    QVector<MonthTotals> out;
    out.reserve(months.size());
    const std::unique_ptr<FigureSource> source = sources();
    source->prepareMonths(db, selection, drillLevel(selection.levelIndex, selection.agencyIndex, selection.userIndex),
                          months);
    for (const Period &period : months) {
        DashboardSelection month = selection;
        month.year = period.year;
        month.month = period.month;
        MonthTotals totals;
        totals.period = period;
        buildDashboard(db, month, *source, [&totals](const DashboardRow &row) {
            totals.HT += row.HT;
            totals.Marge += row.Marge;
            totals.NbDevis += row.NbDevis;
            totals.NbCommandes += row.NbCommandes;
        });
        out << totals;
    }
    return out;
}
