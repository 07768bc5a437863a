#include "charts/sampleindicators.h"

#include "charts/tfichebarchart2series.h"
#include "charts/tfichebarchartstack.h"

#include <QDateTime>
#include <QStringList>

namespace SampleIndicators {

namespace {

const QStringList &months()
{
    static const QStringList labels{
        QStringLiteral("2015-07"), QStringLiteral("2015-08"), QStringLiteral("2015-09"), QStringLiteral("2015-10"),
        QStringLiteral("2015-11"), QStringLiteral("2015-12"), QStringLiteral("2016-01"), QStringLiteral("2016-02"),
        QStringLiteral("2016-03"), QStringLiteral("2016-04"), QStringLiteral("2016-05"), QStringLiteral("2016-06"),
    };
    return labels;
}

// A whole number drawn uniformly from 0 to n - 1; 0 when n is 0.
int draw(QRandomGenerator &random, int n)
{
    return n > 0 ? int(random.bounded(quint32(n))) : 0;
}

void setTitles(TFicheBarChart &chart, const QString &title, const QString &series0, const QString &series1)
{
    chart.SetChartTitle(title);
    chart.SetSeriesTitle(0, series0);
    chart.SetSeriesTitle(1, series1);
}

// Series 0 from 0 to added - 1, then series 1 from -(removed - 1) to 0.
void fillAddedRemoved(TFicheBarChart &chart, QRandomGenerator &random, int added, int removed)
{
    for (const QString &month : months())
        chart.AddSeriesValue(0, month, draw(random, added));
    for (const QString &month : months())
        chart.AddSeriesValue(1, month, -draw(random, removed));
}

} // namespace

QRandomGenerator seededFromNow()
{
    return QRandomGenerator(quint32(QDateTime::currentSecsSinceEpoch()));
}

void fillNewClients(TFicheBarChartStack &chart, QRandomGenerator &random)
{
    setTitles(chart, QStringLiteral("Nouveaux clients vs Clients supprimés"), QStringLiteral("Nouveaux clients"),
              QStringLiteral("Clients supprimés"));
    fillAddedRemoved(chart, random, 1000, 200);
}

void fillNewDossiers(TFicheBarChartStack &chart, QRandomGenerator &random)
{
    setTitles(chart, QStringLiteral("Nouveaux dossiers vs Dossiers supprimés"), QStringLiteral("Nouveaux dossiers"),
              QStringLiteral("Dossiers supprimés"));
    fillAddedRemoved(chart, random, 100, 20);
}

void fillQuoteLines(TFicheBarChart2Series &chart, QRandomGenerator &random)
{
    setTitles(chart, QStringLiteral("Nb lignes Devis vs Nb lignes Commandes"), QStringLiteral("Nb lignes devis"),
              QStringLiteral("Nb Lignes commandes"));
    for (const QString &month : months()) {
        const int quotes = draw(random, 100);
        const int orders = draw(random, quotes);
        chart.AddSeriesValue(0, month, quotes);
        chart.AddSeriesValue(1, month, orders);
    }
}

} // namespace SampleIndicators
