#include "charts/sampleindicators.h"

#include "charts/tfichebarchart2series.h"
#include "charts/tfichebarchartstack.h"

#include <QDateTime>

namespace SampleIndicators {

QRandomGenerator seededFromNow()
{
    return QRandomGenerator(quint32(QDateTime::currentSecsSinceEpoch()));
}

void fillNewClients(TFicheBarChartStack &, QRandomGenerator &)
{
}

void fillNewDossiers(TFicheBarChartStack &, QRandomGenerator &)
{
}

void fillQuoteLines(TFicheBarChart2Series &, QRandomGenerator &)
{
}

} // namespace SampleIndicators
