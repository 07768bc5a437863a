#pragma once

#include "dashboard/dashboardfigures.h"
#include "dashboard/periods.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

class TABSDatabase;

// The tracking table against another period: each row's figures for the
// chosen period and for the period it is compared with, and the change.

// The change of one of the nine figures (0 Montant HT ... 8
// Transformation %, in the order of the table's columns after the label):
// in percent of the comparison value for the amounts and the counts, of
// its magnitude so that the sign tells better from worse (nothing when
// that value is 0), in points for the two rates (nothing when either
// period has no amount or no quote to take the rate of). Nothing where the
// change has no value (both values infinite). Format::change (ui/numbertext.h)
// writes it.
std::optional<double> figureChange(int figure, const DashboardRow &chosen, const DashboardRow &compared);
// The margin rate and the conversion rate change in points.
bool isRate(int figure);

// One row of a compared table.
struct ComparedRow
{
    DashboardRow chosen; // zero figures for a row listed only in the comparison period
    std::optional<DashboardRow> compared; // the same row in the comparison period, if any

    // None without a comparison.
    std::array<std::optional<double>, 9> changes() const;
    // The nine changes as the table shows them.
    QStringList changeCells(const QLocale &locale = QLocale()) const;
    // The ten cells as the tracking table shows them: each figure on its
    // line, under it its value in the comparison period and its change,
    // marked "▲" rising, "▼" falling, "=" unchanged, so that the direction
    // reads without colour ("1250.00" over "1000.00 ▲ +25.00%"); the
    // comparison value alone where the change has no value. Without a
    // comparison, the cells of `chosen`.
    QStringList shownCells(const QLocale &locale = QLocale()) const;
};

// Builds the table of `selection` (its month: the chosen month) for the
// span of `choice`, each row with its figures for the comparison period.
// The rows are those the selection lists for the chosen period, in their
// order; a row listed only for the comparison period (users of an agency)
// comes in at its place by label when one of its comparison figures is
// not 0. Every month involved is read in one pass of `source`, and both
// periods in one read transaction. Given `totals`, the totals of both
// periods: each fact the rows cover counted once. Without a comparison it
// is the table buildDashboard gives for the chosen span.
void buildComparedDashboard(TABSDatabase *db, const DashboardSelection &selection, const PeriodChoice &choice,
                            FigureSource &source, const std::function<void(const ComparedRow &)> &onRow,
                            ComparedRow *totals = nullptr);
