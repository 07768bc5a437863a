#include "charts/tfichebarchart.h"

#include "ui/numbertext.h"

#include <QAbstractBarSeries>
#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QGraphicsSimpleTextItem>
#include <QLocale>
#include <QMap>
#include <QLegend>
#include <QSet>
#include <QValueAxis>

#include <algorithm>
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

// Black or white, whichever contrasts more with the colour.
QColor readableOn(const QColor &colour)
{
    const auto light = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    const double luminance =
        0.2126 * light(colour.redF()) + 0.7152 * light(colour.greenF()) + 0.0722 * light(colour.blueF());
    return (luminance + 0.05) / 0.05 >= 1.05 / (luminance + 0.05) ? QColor(Qt::black) : QColor(Qt::white);
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

    FStacked = series->type() == QAbstractSeries::SeriesTypeStackedBar;
    FChart = new QChart;
    FChart->setTitle(QStringLiteral("TChart"));
    FChart->setAnimationOptions(QChart::NoAnimation);
    FChart->setDropShadowEnabled(false);
    FChart->legend()->setAlignment(Qt::AlignBottom);
    // The chart view comes with a chart of its own, which it gives up
    // without freeing.
    QChart *first = view->chart();
    view->setChart(FChart);
    delete first;

    // Series1 is the chart's series 0, Series2 its series 1.
    for (int index = 0; index < SeriesCount; ++index) {
        FSeries[index] = new QBarSet(QString());
        FSeries[index]->setObjectName(QStringLiteral("Series%1").arg(index + 1));
        series->append(FSeries[index]);
    }
    // The value marks are the window's own (see PlaceMarks): the series'
    // labels overprint each other on short bars and skip bars of 0.
    series->setLabelsVisible(false);
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
    FValueAxis->setTickType(QValueAxis::TicksDynamic);
    FValueAxis->setTickAnchor(0);
    FValueAxis->setLabelFormat(QStringLiteral("%.0f"));
    FChart->setLocalizeNumbers(true);
    FChart->setLocale(QLocale());
    connect(FChart, &QChart::plotAreaChanged, this, [this] { PlaceMarks(); });
}

void TFicheBarChart::PlaceMarks()
{
    qDeleteAll(FMarks);
    FMarks.clear();
    const QList<QAbstractSeries *> all = FChart->series();
    if (all.isEmpty())
        return;
    auto *series = static_cast<QAbstractBarSeries *>(all.first());
    const qreal barWidth = series->barWidth();
    const QRectF plot = FChart->plotArea();
    QFont font = FChart->font();
    QList<QRectF> taken;
    // In a stack, every mark stands beyond the whole stack on its side of
    // 0, so that none lies on another bar.
    QMap<int, qreal> stackUp, stackDown;
    if (FStacked) {
        for (QBarSet *set : FSeries) {
            for (int position = 0; position < set->count(); ++position)
                (set->at(position) < 0 ? stackDown[position] : stackUp[position]) += set->at(position);
        }
    }
    // The series whose bar holds the value at a position, or -1; in a stack
    // the bars of one side follow each other outwards in series order.
    const auto barAt = [this](int index, int position, qreal value) {
        qreal from = 0;
        for (int other = 0; other < SeriesCount; ++other) {
            if (!FStacked && other != index)
                continue;
            if (position >= FSeries[other]->count())
                continue;
            const qreal height = FSeries[other]->at(position);
            if ((height < 0) != (value < 0))
                continue;
            if (std::abs(value) >= std::abs(from) && std::abs(value) <= std::abs(from + height))
                return other;
            from += height;
        }
        return -1;
    };
    const auto fits = [&plot](const QRectF &at) { return at.top() >= plot.top() && at.bottom() <= plot.bottom(); };
    const auto clear = [&taken](const QRectF &at) {
        return std::none_of(taken.cbegin(), taken.cend(), [&at](const QRectF &other) { return other.intersects(at); });
    };
    for (int index = 0; index < SeriesCount; ++index) {
        for (int position = 0; position < FSeries[index]->count(); ++position) {
            const qreal value = FSeries[index]->at(position);
            const bool down = value < 0;
            qreal x = position;
            qreal reach = value;
            if (FStacked) {
                reach = down ? stackDown.value(position) : stackUp.value(position);
            } else {
                // The two bars of a position stand side by side.
                x = position - barWidth / 2 + barWidth / (2 * SeriesCount) + index * barWidth / SeriesCount;
            }
            QPointF end = FChart->mapToPosition(QPointF(x, reach), series);
            // A stack may reach beyond the axis; it is drawn cut at the plot's edge.
            end.setY(qBound(plot.top(), end.y(), plot.bottom()));
            auto *mark = new QGraphicsSimpleTextItem(Format::mark(value), FChart);
            mark->setData(0, QStringLiteral("mark"));
            mark->setFont(font);
            mark->setZValue(10);
            const QRectF box = mark->boundingRect();
            const qreal outwards = down ? box.height() : -box.height();
            // Outside the bar's end: above a bar going up (or of 0), below
            // one going down, in the series' colour on the background;
            // moved outwards while it would overprint another mark.
            const qreal left = qMax(plot.left(), qMin(end.x() - box.width() / 2, plot.right() - box.width()));
            QRectF at(QPointF(left, down ? end.y() + 1 : end.y() - box.height() - 1), box.size());
            while (!clear(at) && fits(at))
                at.translate(0, outwards);
            QColor ink = FSeries[index]->color().darker(120);
            if (!fits(at)) {
                // No room left before the plot's edge (the axis is set from
                // the single values): inside the bar's end instead, moved
                // towards 0 while it would overprint, in black or white,
                // whichever reads better on the bar under it.
                at.moveTop(down ? end.y() - box.height() - 1 : end.y() + 1);
                for (int tries = 0; tries < 8 && !clear(at); ++tries)
                    at.translate(0, -outwards);
                const int under = barAt(index, position, FChart->mapToValue(at.center(), series).y());
                if (under >= 0)
                    ink = readableOn(FSeries[under]->color());
            }
            mark->setBrush(ink);
            mark->setPos(at.topLeft());
            taken << at;
            FMarks << mark;
        }
    }
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
    PlaceMarks();
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
    FValueAxis->setLabelFormat(interval >= 1 ? QStringLiteral("%.0f") : QStringLiteral("%.2f"));
    FValueAxis->setRange(minimum, maximum);
}
