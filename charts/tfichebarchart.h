#pragma once

#include <QColor>
#include <QDialog>
#include <QStringList>

class QAbstractBarSeries;
class QBarCategoryAxis;
class QBarSet;
class QChart;
class QChartView;
class QGraphicsSimpleTextItem;
class QValueAxis;

// What both bar-chart windows share: one chart with exactly two bar series
// (Series1 at index 0, Series2 at index 1) that share their category labels,
// a category axis below, and a value axis on the left whose range the window
// computes from the values it receives.
class TFicheBarChart : public QDialog
{
    Q_OBJECT
public:
    ~TFicheBarChart() override;

    // Window caption and chart title.
    void SetChartTitle(const QString &title);
    // The legend name of series 0 or 1; any other index changes nothing.
    void SetSeriesTitle(int index, const QString &title);
    // Appends one bar to series 0 or 1, then sets the value axis from the
    // smallest and largest values so far (an index naming no series adds
    // nothing but still sets the axis).
    void AddSeriesValue(int index, const QString &label, double value);

    // The labels of the bars of one series, in order; empty for an index
    // naming no series.
    QStringList SeriesLabels(int index) const;

protected:
    explicit TFicheBarChart(QWidget *owner);

    // Builds the chart into the form's chart view; the derived constructor
    // calls it once its form is set up. The window takes the series.
    void SetUpChart(QChartView *view, QAbstractBarSeries *series, double axisFactor, const QColor &color0,
                    const QColor &color1);

private:
    static constexpr int SeriesCount = 2;

    void UpdateCategories();
    void UpdateValueAxis();
    // Places a mark on every bar, always inside the plot: outside the bar's
    // end, in its series' colour on the chart's background, moved outwards
    // where it would overprint another mark; inside the bar's end where
    // the plot leaves no room beyond it.
    void PlaceMarks();

    QChart *FChart = nullptr;
    bool FStacked = false;
    QList<QGraphicsSimpleTextItem *> FMarks;
    QBarSet *FSeries[SeriesCount] = {};
    QStringList FLabels[SeriesCount];
    QBarCategoryAxis *FCategoryAxis = nullptr;
    QValueAxis *FValueAxis = nullptr;
    double FAxisFactor = 1.0;
    double FMinValue = 0.0;
    double FMaxValue = 0.0;
};
