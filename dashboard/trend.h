#pragma once

#include "dashboard/dashboardfigures.h"
#include "dashboard/periods.h"

#include <QVector>

// One month of the trend: the sums of the rows of that month's table.
struct MonthTotals
{
    Period period;
    double HT = 0;
    double Marge = 0;
    double NbDevis = 0;
    double NbCommandes = 0;
};

// The table of `selection` (drill level and filters) built for each of
// `months`, in the order given, all from one source made by `sources`,
// which may read every month at once (one grouped pass for the thirteen
// months); every month's totals add up the rows as that table shows them
// (counts truncated row by row). All months are read in one read
// transaction, so they show one state of the database.
QVector<MonthTotals> monthlyTotals(TABSDatabase *db, const DashboardSelection &selection,
                                   const QVector<Period> &months,
                                   const FigureSourceFactory &sources = defaultFigureSource);
