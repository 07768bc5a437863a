#include "charts/tfichetrend.h"
#include "ui_tfichetrend.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QLegend>
#include <QLineSeries>
#include <QPen>
#include <QValueAxis>

#include <cmath>

namespace {
const QString AmountsTitle = QStringLiteral("Montant HT et marge");
const QString CountsTitle = QStringLiteral("Devis et commandes");
} // namespace

TFicheTrend::TFicheTrend(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheTrend)
{
    m_ui->setupUi(this);
    SetUpPanel(FAmounts, m_ui->Chart1, AmountsTitle);
    SetUpPanel(FCounts, m_ui->Chart2, CountsTitle);

    auto *bars = new QBarSeries;
    FAmount = new QBarSet(QStringLiteral("Montant HT"));
    FMargin = new QBarSet(QStringLiteral("Marge €"));
    bars->append(FAmount);
    bars->append(FMargin);
    FAmounts.chart->addSeries(bars);
    bars->attachAxis(FAmounts.months);
    bars->attachAxis(FAmounts.values);
    FAmount->setColor(QColor(0, 0, 255));
    FMargin->setColor(QColor(0, 128, 0));

    FQuotes = new QLineSeries;
    FQuotes->setName(QStringLiteral("Nb Devis"));
    FOrders = new QLineSeries;
    FOrders->setName(QStringLiteral("Nb Commandes"));
    const QColor colours[] = {QColor(0, 0, 255), QColor(255, 0, 0)};
    int i = 0;
    for (QLineSeries *line : {FQuotes, FOrders}) {
        FCounts.chart->addSeries(line);
        line->attachAxis(FCounts.months);
        line->attachAxis(FCounts.values);
        line->setColor(colours[i++]);
        line->setPointsVisible(true);
    }
    connect(FCounts.chart, &QChart::plotAreaChanged, this, [this] { PlaceCountLabels(); });
    // A year earlier: the same colours, dashed, without labels (the
    // current year's carry them).
    const struct
    {
        const char *name;
        QColor colour;
        Panel *panel;
    } earlier[] = {{"Montant HT N-1", QColor(0, 0, 255), &FAmounts},
                   {"Marge € N-1", QColor(0, 128, 0), &FAmounts},
                   {"Nb Devis N-1", QColor(0, 0, 255), &FCounts},
                   {"Nb Commandes N-1", QColor(255, 0, 0), &FCounts}};
    for (int k = 0; k < 4; ++k) {
        auto *line = new QLineSeries;
        line->setName(QString::fromUtf8(earlier[k].name));
        earlier[k].panel->chart->addSeries(line);
        line->attachAxis(earlier[k].panel->months);
        line->attachAxis(earlier[k].panel->values);
        line->setPen(QPen(earlier[k].colour, 2, Qt::DashLine));
        line->setPointsVisible(true);
        FEarlier[k] = line;
    }
    // The counts' labels stand above their points: room for the highest.
    FCounts.headroom = 1.12;
    Widen(FAmounts, 0, 0);
    Widen(FCounts, 0, 0);
}

TFicheTrend::~TFicheTrend() = default;

void TFicheTrend::SetUpPanel(Panel &panel, QChartView *view, const QString &title)
{
    panel.chart = new QChart;
    panel.chart->setTitle(title);
    panel.chart->setAnimationOptions(QChart::NoAnimation);
    panel.chart->legend()->setAlignment(Qt::AlignBottom);
    // Axis ticks and point labels in the user's format: "1 000 000".
    panel.chart->setLocalizeNumbers(true);
    panel.chart->setLocale(QLocale());
    // The chart view comes with a chart of its own, which it gives up
    // without freeing.
    QChart *first = view->chart();
    view->setChart(panel.chart);
    delete first;
    view->setRenderHint(QPainter::Antialiasing);
    panel.months = new QBarCategoryAxis;
    panel.chart->addAxis(panel.months, Qt::AlignBottom);
    panel.values = new QValueAxis;
    panel.values->setLabelFormat(QStringLiteral("%.0f"));
    panel.chart->addAxis(panel.values, Qt::AlignLeft);
}

void TFicheTrend::SetChartTitle(const QString &title)
{
    setWindowTitle(QStringLiteral("Évolution – ") + title);
    // Chart titles are rich text: "<Tous>" must show as it reads.
    const QString shown = title.toHtmlEscaped();
    FAmounts.chart->setTitle(AmountsTitle + QStringLiteral(" – ") + shown);
    FCounts.chart->setTitle(CountsTitle + QStringLiteral(" – ") + shown);
}

// The value axis holds 0 and every value so far (the counts' with room for
// a label above the highest), on round ticks that are whole numbers: over
// a range of a few units (every value 0, counts of one or two) one tick a
// unit, never fractions that read as "0, 0, 1, 1".
void TFicheTrend::Widen(Panel &panel, double a, double b)
{
    panel.minimum = qMin(panel.minimum, qMin(a, b));
    panel.maximum = qMax(panel.maximum, qMax(a, b));
    const double top = panel.maximum > panel.minimum ? panel.maximum * panel.headroom : panel.minimum + 1;
    panel.values->setRange(panel.minimum, top);
    // Nice numbers start from the tick count: the axis's own, each time.
    panel.values->setTickCount(5);
    panel.values->applyNiceNumbers();
    const double step = (panel.values->max() - panel.values->min()) / qMax(1, panel.values->tickCount() - 1);
    if (step < 1) {
        const double low = std::floor(panel.values->min());
        const double high = qMax(std::ceil(panel.values->max()), low + 1);
        panel.values->setRange(low, high);
        panel.values->setTickCount(int(high - low) + 1);
    }
}

// Each month's two counts are written beside their points, the larger
// above its point and the smaller below its own: where the two lines run
// close, neither value is written over the other.
void TFicheTrend::PlaceCountLabels()
{
    qDeleteAll(FCountLabels);
    FCountLabels.clear();
    const QLocale locale;
    for (int position = 0; position < FQuotes->count() && position < FOrders->count(); ++position) {
        const double quotes = FQuotes->at(position).y();
        const double orders = FOrders->at(position).y();
        for (QLineSeries *line : {FQuotes, FOrders}) {
            const double value = line == FQuotes ? quotes : orders;
            const bool above = line == FQuotes ? quotes >= orders : orders > quotes;
            auto *label = new QGraphicsSimpleTextItem(locale.toString(value, 'f', 0), FCounts.chart);
            label->setBrush(line->color().darker(120));
            label->setZValue(10);
            const QRectF box = label->boundingRect();
            const QPointF point = FCounts.chart->mapToPosition(QPointF(position, value), line);
            label->setPos(point.x() - box.width() / 2, above ? point.y() - box.height() - 3 : point.y() + 3);
            // On a white ground, the chart's background, so that a line
            // passing under it (the other count's, or a year earlier's)
            // does not strike its digits through; within the plot only, so
            // that the title and the months' names stay whole.
            auto *ground = new QGraphicsRectItem(label->mapRectToParent(box) & FCounts.chart->plotArea(), FCounts.chart);
            ground->setPen(Qt::NoPen);
            ground->setBrush(QColor(255, 255, 255, 230));
            ground->setZValue(9);
            FCountLabels << label << ground;
        }
    }
}

void TFicheTrend::AddMonth(const QString &label, double amount, double margin, double quotes, double orders)
{
    const int position = int(FMonths.size());
    FMonths << label;
    FAmounts.months->append(label);
    FCounts.months->append(label);
    FAmount->append(amount);
    FMargin->append(margin);
    FQuotes->append(position, quotes);
    FOrders->append(position, orders);
    Widen(FAmounts, amount, margin);
    Widen(FCounts, quotes, orders);
    PlaceCountLabels();
}

void TFicheTrend::AddYearEarlier(double amount, double margin, double quotes, double orders)
{
    const int position = int(FMonths.size()) - 1;
    const double values[] = {amount, margin, quotes, orders};
    for (int k = 0; k < 4; ++k)
        FEarlier[k]->append(position, values[k]);
    Widen(FAmounts, amount, margin);
    Widen(FCounts, quotes, orders);
    PlaceCountLabels();
}
