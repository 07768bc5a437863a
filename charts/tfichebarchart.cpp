#include "charts/tfichebarchart.h"

#include <QAbstractBarSeries>
#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QLegend>
#include <QSet>
#include <QValueAxis>

#include <cmath>

namespace {

// The category axis needs one distinct, non-null text per position, or it
// drops the category and the labels no longer line up with their bars. A
// label already used at an earlier position gets zero-width spaces, so it
// still reads the same.
QStringList distinctCategories(const QStringList &labels)
{
    QStringList categories;
    QSet<QString> used;
    for (QString text : labels) {
        if (text.isNull())
            text = QLatin1String("");
        while (used.contains(text))
            text += QChar(0x200B);
        used.insert(text);
        categories << text;
    }
    return categories;
}

// A round tick interval (1, 2 or 5 times a power of ten) giving about five
// ticks over the span.
double roundTickInterval(double span)
{
    if (!(span > 0))
        return 1.0;
    const double raw = span / 5;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double fraction = raw / magnitude;
    return (fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10) * magnitude;
}

} // namespace

TFicheBarChart::TFicheBarChart(QWidget *owner) : QDialog(owner)
{
}

TFicheBarChart::~TFicheBarChart() = default;

void TFicheBarChart::SetUpChart(QChartView *view, QAbstractBarSeries *series, double axisFactor,
                                const QColor &color0, const QColor &color1)
{
    FAxisFactor = axisFactor;

    FChart = new QChart;
    FChart->setTitle(QStringLiteral("TChart"));
    FChart->setAnimationOptions(QChart::NoAnimation);
    FChart->setDropShadowEnabled(false);
    FChart->legend()->setAlignment(Qt::AlignBottom);
    view->setChart(FChart);

    // Series1 is the chart's series 0, Series2 its series 1.
    for (int index = 0; index < SeriesCount; ++index) {
        FSeries[index] = new QBarSet(QString());
        FSeries[index]->setObjectName(QStringLiteral("Series%1").arg(index + 1));
        series->append(FSeries[index]);
    }
    series->setLabelsVisible(true);
    series->setLabelsFormat(QStringLiteral("@value"));
    FChart->addSeries(series);

    FCategoryAxis = new QBarCategoryAxis;
    FChart->addAxis(FCategoryAxis, Qt::AlignBottom);
    series->attachAxis(FCategoryAxis);
    FValueAxis = new QValueAxis;
    FChart->addAxis(FValueAxis, Qt::AlignLeft);
    series->attachAxis(FValueAxis);

    // After the chart's theme has been applied, so that it does not repaint
    // the series.
    FSeries[0]->setColor(color0);
    FSeries[1]->setColor(color1);
    // Values written above the bars stand on the chart background.
    if (series->labelsPosition() == QAbstractBarSeries::LabelsOutsideEnd) {
        for (QBarSet *set : FSeries)
            set->setLabelColor(palette().color(QPalette::WindowText));
    }
    FValueAxis->setTickType(QValueAxis::TicksDynamic);
    FValueAxis->setTickAnchor(0);
}

void TFicheBarChart::SetChartTitle(const QString &title)
{
    setWindowTitle(title);
    FChart->setTitle(title);
}

void TFicheBarChart::SetSeriesTitle(int index, const QString &title)
{
    if (index < 0 || index >= SeriesCount)
        return;
    FSeries[index]->setLabel(title);
}

void TFicheBarChart::AddSeriesValue(int index, const QString &label, double value)
{
    if (index >= 0 && index < SeriesCount) {
        if (value < FMinValue)
            FMinValue = value;
        if (value > FMaxValue)
            FMaxValue = value;
        FSeries[index]->append(value);
        FLabels[index] << label;
        UpdateCategories();
    }
    UpdateValueAxis();
}

QStringList TFicheBarChart::SeriesLabels(int index) const
{
    if (index < 0 || index >= SeriesCount)
        return {};
    return FLabels[index];
}

// Bars of the two series at the same position are drawn together; the text
// under a position is the label of the n-th bar (series 0 first, series 1
// where series 0 is shorter).
void TFicheBarChart::UpdateCategories()
{
    QStringList labels = FLabels[0];
    for (qsizetype position = labels.size(); position < FLabels[1].size(); ++position)
        labels << FLabels[1].at(position);
    FCategoryAxis->setCategories(distinctCategories(labels));
}

// The range follows the single values, not stacked totals, and always holds
// 0; the ticks fall on round values from 0 inside it.
void TFicheBarChart::UpdateValueAxis()
{
    const double minimum = FMinValue * FAxisFactor;
    const double maximum = FMaxValue * FAxisFactor;
    const double interval = roundTickInterval(maximum - minimum);
    FValueAxis->setTickInterval(interval);
    FValueAxis->setLabelFormat(interval >= 1 ? QStringLiteral("%.0f") : QStringLiteral("%g"));
    FValueAxis->setRange(minimum, maximum);
}
