#pragma once

#include <QRandomGenerator>

class TFicheBarChart2Series;
class TFicheBarChartStack;

// The three sample indicators of the main window: titles and twelve months
// of pseudo-random bars.
namespace SampleIndicators {

// A generator seeded from the current time in seconds.
QRandomGenerator seededFromNow();

void fillNewClients(TFicheBarChartStack &chart, QRandomGenerator &random);
void fillNewDossiers(TFicheBarChartStack &chart, QRandomGenerator &random);
void fillQuoteLines(TFicheBarChart2Series &chart, QRandomGenerator &random);

} // namespace SampleIndicators
