#pragma once

#include <QRandomGenerator>

class TFicheBarChart2Series;
class TFicheBarChartStack;

// The three sample indicators of the main window: a chart title, two series
// titles and twelve months of pseudo-random whole numbers per series.
namespace SampleIndicators {

// A generator seeded from the current time in seconds.
QRandomGenerator seededFromNow();

// New clients (0..999) stacked over deleted clients (-199..0).
void fillNewClients(TFicheBarChartStack &chart, QRandomGenerator &random);
// New dossiers (0..99) stacked over deleted dossiers (-19..0).
void fillNewDossiers(TFicheBarChartStack &chart, QRandomGenerator &random);
// Quote lines (0..99) beside order lines, always fewer than the quote lines
// of the month (or 0 when there are none).
void fillQuoteLines(TFicheBarChart2Series &chart, QRandomGenerator &random);

} // namespace SampleIndicators
