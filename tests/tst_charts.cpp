#include "charts/sampleindicators.h"
#include "charts/tfichebarchart2series.h"
#include "charts/tfichebarchartstack.h"
#include "support/windowdriver.h"
#include "ui/numbertext.h"

#include <QAbstractBarSeries>
#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QLegend>
#include <QLegendMarker>
#include <QValueAxis>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

namespace {

enum class Kind { SideBySide, Stacked };

std::unique_ptr<TFicheBarChart> makeChart(Kind kind)
{
    if (kind == Kind::Stacked)
        return std::make_unique<TFicheBarChartStack>(nullptr);
    return std::make_unique<TFicheBarChart2Series>(nullptr);
}

double axisFactor(Kind kind)
{
    return kind == Kind::Stacked ? 1.2 : 1.3;
}

QChart *chartOf(QWidget *window)
{
    auto *view = window->findChild<QChartView *>(QStringLiteral("Chart1"));
    return view ? view->chart() : nullptr;
}

QAbstractBarSeries *seriesOf(QWidget *window)
{
    return qobject_cast<QAbstractBarSeries *>(chartOf(window)->series().value(0));
}

QBarSet *barSet(QWidget *window, int index)
{
    return seriesOf(window)->barSets().value(index);
}

QValueAxis *valueAxis(QWidget *window)
{
    return qobject_cast<QValueAxis *>(chartOf(window)->axes(Qt::Vertical).value(0));
}

QBarCategoryAxis *categoryAxis(QWidget *window)
{
    return qobject_cast<QBarCategoryAxis *>(chartOf(window)->axes(Qt::Horizontal).value(0));
}

QList<double> barValues(QWidget *window, int index)
{
    QList<double> values;
    const QBarSet *set = barSet(window, index);
    for (int i = 0; i < set->count(); ++i)
        values << set->at(i);
    return values;
}

QStringList legendNames(QWidget *window)
{
    QStringList names;
    const auto markers = chartOf(window)->legend()->markers();
    for (const QLegendMarker *marker : markers)
        names << marker->label();
    return names;
}

const QStringList months{"2015-07", "2015-08", "2015-09", "2015-10", "2015-11", "2015-12",
                         "2016-01", "2016-02", "2016-03", "2016-04", "2016-05", "2016-06"};

enum class Sample { Clients, Dossiers, QuoteLines };

std::unique_ptr<TFicheBarChart> filledSample(Sample sample, quint32 seed)
{
    QRandomGenerator random(seed);
    if (sample == Sample::QuoteLines) {
        auto window = std::make_unique<TFicheBarChart2Series>(nullptr);
        SampleIndicators::fillQuoteLines(*window, random);
        return window;
    }
    auto window = std::make_unique<TFicheBarChartStack>(nullptr);
    if (sample == Sample::Clients)
        SampleIndicators::fillNewClients(*window, random);
    else
        SampleIndicators::fillNewDossiers(*window, random);
    return window;
}

// One row per window class for each case.
void addKinds(const char *name, const std::function<void(QTestData &)> &row = [](QTestData &) {})
{
    row(QTest::addRow("side by side, %s", name) << Kind::SideBySide);
    row(QTest::addRow("stacked, %s", name) << Kind::Stacked);
}

} // namespace

Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(Sample)

class TestCharts : public QObject
{
    Q_OBJECT

private slots:
    // --- Chart windows ------------------------------------------------------

    void seriesTitleNamesTheLegend_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("index");
        QTest::addColumn<QStringList>("legend");
        addKinds("index 0", [](QTestData &row) { row << 0 << QStringList{"Devis", "before 1"}; });
        addKinds("index 1", [](QTestData &row) { row << 1 << QStringList{"before 0", "Devis"}; });
        addKinds("index 2", [](QTestData &row) { row << 2 << QStringList{"before 0", "before 1"}; });
        addKinds("index -1", [](QTestData &row) { row << -1 << QStringList{"before 0", "before 1"}; });
    }

    void seriesTitleNamesTheLegend()
    {
        QFETCH(Kind, kind);
        QFETCH(int, index);
        QFETCH(QStringList, legend);
        const auto window = makeChart(kind);
        window->SetSeriesTitle(0, QStringLiteral("before 0"));
        window->SetSeriesTitle(1, QStringLiteral("before 1"));

        window->SetSeriesTitle(index, QStringLiteral("Devis"));

        QCOMPARE(legendNames(window.get()), legend);
    }

    void axisFollowsExtremeValues_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<double>("smallest");
        QTest::addColumn<double>("largest");

        // Values go alternately to series 0 and 1: both feed the same range.
        const auto rows = [](const char *name, const QList<double> &values, double smallest, double largest) {
            addKinds(name, [&](QTestData &row) { row << values << smallest << largest; });
        };
        rows("all positive", {3, 10, 7, 2}, 0, 10);
        rows("all negative", {-5, -20, -1}, -20, 0);
        rows("mixed signs", {-10, 4, 25, -3}, -10, 25);
        rows("all zero", {0, 0, 0}, 0, 0);
        rows("one bar", {-7.5}, -7.5, 0);
    }

    void axisFollowsExtremeValues()
    {
        QFETCH(Kind, kind);
        QFETCH(QList<double>, values);
        QFETCH(double, smallest);
        QFETCH(double, largest);
        const auto window = makeChart(kind);

        for (int i = 0; i < values.size(); ++i)
            window->AddSeriesValue(i % 2, QString::number(i / 2), values.at(i));

        QCOMPARE(valueAxis(window.get())->min(), smallest * axisFactor(kind));
        QCOMPARE(valueAxis(window.get())->max(), largest * axisFactor(kind));
        QCOMPARE(barValues(window.get(), 0).size() + barValues(window.get(), 1).size(), values.size());
    }

    void indexNamingNoSeriesOnlySetsTheAxis_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("index");
        addKinds("index -1", [](QTestData &row) { row << -1; });
        addKinds("index 2", [](QTestData &row) { row << 2; });
        addKinds("index 7", [](QTestData &row) { row << 7; });
    }

    void indexNamingNoSeriesOnlySetsTheAxis()
    {
        QFETCH(Kind, kind);
        QFETCH(int, index);
        const auto window = makeChart(kind);
        QWidget *w = window.get();
        const double factor = axisFactor(kind);

        // Before any bar: the axis is set to 0 .. 0.
        valueAxis(w)->setRange(-1, 1);
        window->AddSeriesValue(index, QStringLiteral("x"), 50);
        QCOMPARE(valueAxis(w)->min(), 0.0);
        QCOMPARE(valueAxis(w)->max(), 0.0);

        window->AddSeriesValue(0, QStringLiteral("a"), 10);
        window->AddSeriesValue(1, QStringLiteral("a"), -4);
        valueAxis(w)->setRange(-1, 1);
        window->AddSeriesValue(index, QStringLiteral("b"), 1000);
        window->AddSeriesValue(index, QStringLiteral("c"), -1000);

        QCOMPARE(barValues(w, 0), QList<double>{10});
        QCOMPARE(barValues(w, 1), QList<double>{-4});
        QCOMPARE(categoryAxis(w)->categories(), QStringList{"a"});
        QCOMPARE(valueAxis(w)->min(), -4 * factor);
        QCOMPARE(valueAxis(w)->max(), 10 * factor);

        // Neither extreme moved: smaller values leave the range as it was.
        window->AddSeriesValue(0, QStringLiteral("d"), 9);
        QCOMPARE(valueAxis(w)->min(), -4 * factor);
        QCOMPARE(valueAxis(w)->max(), 10 * factor);
    }

    void categoriesFollowTheBars_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QStringList>("labels0");
        QTest::addColumn<QStringList>("labels1");
        QTest::addColumn<QStringList>("categories");
        const auto rows = [](const char *name, const QStringList &labels0, const QStringList &labels1,
                             const QStringList &categories) {
            addKinds(name, [&](QTestData &row) { row << labels0 << labels1 << categories; });
        };
        rows("same labels", {"a", "b", "c"}, {"a", "b", "c"}, {"a", "b", "c"});
        rows("series 1 longer", {"a"}, {"a", "b", "c"}, {"a", "b", "c"});
        rows("only series 1", {}, {"x", "y"}, {"x", "y"});
        // Still one category per position when a label repeats or is empty.
        rows("repeated label", {"a", "a", "", ""}, {}, {"a", "a", "", ""});
    }

    void categoriesFollowTheBars()
    {
        QFETCH(Kind, kind);
        QFETCH(QStringList, labels0);
        QFETCH(QStringList, labels1);
        QFETCH(QStringList, categories);
        const auto window = makeChart(kind);

        for (int i = 0; i < labels0.size(); ++i)
            window->AddSeriesValue(0, labels0.at(i), i + 1);
        for (int i = 0; i < labels1.size(); ++i)
            window->AddSeriesValue(1, labels1.at(i), -(i + 1));

        QStringList shown = categoryAxis(window.get())->categories();
        for (QString &text : shown)
            text.remove(QChar(0x200B));
        QCOMPARE(shown, categories);
        QCOMPARE(window->SeriesLabels(0), labels0);
        QCOMPARE(window->SeriesLabels(1), labels1);
        QCOMPARE(barValues(window.get(), 0).size(), labels0.size());
        if (!labels1.isEmpty())
            QCOMPARE(barValues(window.get(), 1).last(), -double(labels1.size()));
    }

    void displayKeepsRangeAndChartGrows_data()
    {
        QTest::addColumn<Kind>("kind");
        addKinds("display");
    }

    void displayKeepsRangeAndChartGrows()
    {
        QFETCH(Kind, kind);
        const auto window = makeChart(kind);
        window->AddSeriesValue(0, QStringLiteral("2015-07"), 40);
        window->AddSeriesValue(1, QStringLiteral("2015-07"), -12);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        auto *view = window->findChild<QChartView *>(QStringLiteral("Chart1"));
        const QSize margins = window->size() - view->size();
        window->resize(1200, 600);
        QTRY_COMPARE(view->size(), QSize(1200, 600) - margins);
        QTest::qWait(50);
        QCOMPARE(valueAxis(window.get())->min(), -12 * axisFactor(kind));
        QCOMPARE(valueAxis(window.get())->max(), 40 * axisFactor(kind));
    }

    // --- Sample indicators --------------------------------------------------

    void sampleChart_data()
    {
        QTest::addColumn<Sample>("sample");
        QTest::addColumn<double>("factor");
        QTest::addColumn<double>("low0");
        QTest::addColumn<double>("high0");
        QTest::addColumn<double>("low1");
        QTest::addColumn<double>("high1");
        // How close to each end of its range the draws of a series must come
        // (0: the end itself).
        QTest::addColumn<double>("reach0");
        QTest::addColumn<double>("reach1");
        QTest::newRow("clients") << Sample::Clients << 1.2 << 0.0 << 999.0 << -199.0 << 0.0 << 10.0 << 0.0;
        QTest::newRow("dossiers") << Sample::Dossiers << 1.2 << 0.0 << 99.0 << -19.0 << 0.0 << 0.0 << 0.0;
        // Order lines are drawn below the quote lines: high ones are rare.
        QTest::newRow("quote lines") << Sample::QuoteLines << 1.3 << 0.0 << 99.0 << 0.0 << 98.0 << 0.0 << 10.0;
    }

    // Over many draws: twelve months in order in both series, whole values
    // inside their bounds that reach both ends, and the axis rule.
    void sampleChart()
    {
        QFETCH(Sample, sample);
        QFETCH(double, factor);
        QFETCH(double, low0);
        QFETCH(double, high0);
        QFETCH(double, low1);
        QFETCH(double, high1);
        QFETCH(double, reach0);
        QFETCH(double, reach1);
        const double lows[] = {low0, low1};
        const double highs[] = {high0, high1};
        double seenLow[] = {high0, high1};
        double seenHigh[] = {low0, low1};
        int monthsWithoutQuotes = 0;

        for (quint32 seed = 1; seed <= 200; ++seed) {
            const auto window = filledSample(sample, seed);
            QWidget *w = window.get();
            QCOMPARE(categoryAxis(w)->categories(), months);
            QCOMPARE(window->SeriesLabels(0), months);
            QCOMPARE(window->SeriesLabels(1), months);

            double smallest = 0, largest = 0;
            for (int index = 0; index < 2; ++index) {
                const QList<double> values = barValues(w, index);
                QCOMPARE(values.size(), 12);
                for (double value : values) {
                    QCOMPARE(value, std::trunc(value));
                    QVERIFY2(value >= lows[index] && value <= highs[index], qPrintable(QString::number(value)));
                    seenLow[index] = std::min(seenLow[index], value);
                    seenHigh[index] = std::max(seenHigh[index], value);
                    smallest = std::min(smallest, value);
                    largest = std::max(largest, value);
                }
            }
            QCOMPARE(valueAxis(w)->min(), smallest * factor);
            QCOMPARE(valueAxis(w)->max(), largest * factor);
            // Fewer order lines than quote lines, none without a quote.
            if (sample == Sample::QuoteLines) {
                const QList<double> quotes = barValues(w, 0), orders = barValues(w, 1);
                for (int month = 0; month < 12; ++month) {
                    monthsWithoutQuotes += quotes.at(month) == 0;
                    QVERIFY(quotes.at(month) == 0 ? orders.at(month) == 0 : orders.at(month) < quotes.at(month));
                }
            }
        }

        // 2400 draws per series: the whole range comes up.
        QVERIFY(seenLow[0] <= low0 + reach0 && seenHigh[0] >= high0 - reach0);
        QVERIFY(seenLow[1] <= low1 + reach1 && seenHigh[1] >= high1 - reach1);
        QVERIFY(sample != Sample::QuoteLines || monthsWithoutQuotes > 0); // the case did come up
    }

    // --- Value marks --------------------------------------------------------

    void valueMarks_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QList<double>>("values0");
        QTest::addColumn<QList<double>>("values1");
        QTest::addColumn<QString>("locale");
        const QList<double> large{1234567, 3, 0, 998877, 55, 2};
        const QList<double> small{-2, -5, 0, -13, -1500000, -4};
        addKinds("small and large, French", [&](QTestData &row) { row << large << small << "fr_FR"; });
        addKinds("small and large, C", [&](QTestData &row) { row << large << small << "C"; });
        addKinds("the sample's shape", [&](QTestData &row) {
            row << QList<double>{4, 0, 78, 81, 2, 3} << QList<double>{-19, -3, -5, 0, -2, -2} << "fr_FR";
        });
        addKinds("decimals", [&](QTestData &row) { row << QList<double>{0.5, 12.25} << QList<double>{-0.75, 1.5} << "fr_FR"; });
        // Stacks beyond the axis, which follows the single values.
        addKinds("stacks past the axis", [&](QTestData &row) {
            row << QList<double>{100, 90, -80} << QList<double>{100, 95, -80} << "fr_FR";
        });
    }

    // Every bar has one mark with its value, in the locale's format without
    // exponent, inside the plot; no mark overprints another, and each reads
    // on what lies under its middle: the background or a bar.
    void valueMarks()
    {
        QFETCH(Kind, kind);
        QFETCH(QList<double>, values0);
        QFETCH(QList<double>, values1);
        QFETCH(QString, locale);
        QLocale::setDefault(QLocale(locale));
        const auto window = makeChart(kind);
        for (int i = 0; i < values0.size(); ++i) {
            window->AddSeriesValue(0, QStringLiteral("m%1").arg(i), values0.at(i));
            window->AddSeriesValue(1, QStringLiteral("m%1").arg(i), values1.at(i));
        }
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTest::qWait(50);
        QLocale::setDefault(QLocale::c());

        QGraphicsScene *scene = chartOf(window.get())->scene();
        const QRectF plot = chartOf(window.get())->plotArea();
        QList<QGraphicsSimpleTextItem *> marks;
        QList<QPair<QRectF, QColor>> bars;
        const QList<QColor> colours{barSet(window.get(), 0)->color(), barSet(window.get(), 1)->color()};
        for (QGraphicsItem *item : scene->items()) {
            if (auto *mark = dynamic_cast<QGraphicsSimpleTextItem *>(item); mark && mark->data(0) == "mark")
                marks << mark;
            if (auto *bar = dynamic_cast<QGraphicsRectItem *>(item); bar && colours.contains(bar->brush().color()))
                bars << qMakePair(bar->sceneBoundingRect().intersected(plot), bar->brush().color());
        }
        // The bars themselves are found (those of 0 are flat).
        QVERIFY2(bars.size() >= values0.size(), qPrintable(QString::number(bars.size())));
        QStringList expected, shown;
        for (const QList<double> &values : {values0, values1})
            for (double value : values)
                expected << Format::mark(value, QLocale(locale));
        for (QGraphicsSimpleTextItem *mark : marks)
            shown << mark->text();
        expected.sort();
        shown.sort();
        QCOMPARE(shown, expected);
        for (const QString &text : shown)
            QVERIFY2(!text.contains(QLatin1Char('e')), qPrintable(text));
        for (int i = 0; i < marks.size(); ++i) {
            const QRectF box = marks.at(i)->sceneBoundingRect();
            const QString text = marks.at(i)->text();
            QVERIFY2(plot.adjusted(-0.5, -0.5, 0.5, 0.5).contains(box), qPrintable(text));
            for (int j = i + 1; j < marks.size(); ++j)
                QVERIFY2(!box.intersects(marks.at(j)->sceneBoundingRect()), qPrintable(text + " / " + marks.at(j)->text()));
            QColor under = Qt::white;
            for (const auto &[bar, colour] : bars) {
                if (bar.contains(box.center()))
                    under = colour;
            }
            // Off the bars, or standing on one.
            if (under == Qt::white) {
                for (const auto &[bar, colour] : bars)
                    QVERIFY2(!box.intersects(bar.adjusted(0.5, 0.5, -0.5, -0.5)), qPrintable(text));
            }
            // A contrast ratio of at least 4.5 with what lies under it.
            QVERIFY2(contrastRatio(marks.at(i)->brush().color(), under) >= 4.5, qPrintable(text));
        }
    }
};

QTEST_MAIN(TestCharts)
#include "tst_charts.moc"
