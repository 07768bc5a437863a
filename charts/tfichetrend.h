#pragma once

#include <QDialog>
#include <QList>
#include <QScopedPointer>
#include <QStringList>

namespace Ui {
class TFicheTrend;
}
class QBarCategoryAxis;
class QBarSet;
class QChart;
class QChartView;
class QGraphicsItem;
class QLineSeries;
class QValueAxis;

// The months of a selection side by side: the amount excluding tax and the
// margin as bars in the upper chart ("Chart1"), the numbers of quotes and
// of orders as lines in the lower one ("Chart2"). The caller adds the
// months, oldest first, and shows the window modally.
class TFicheTrend : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheTrend(QWidget *owner);
    ~TFicheTrend() override;

    // What the months are of (plain text): the caption and both chart
    // titles name it.
    void SetChartTitle(const QString &title);
    void AddMonth(const QString &label, double amount, double margin, double quotes, double orders);
    // The same month a year earlier, for the month last added: dashed
    // lines beside its bars and lines, "N-1" in the legend.
    void AddYearEarlier(double amount, double margin, double quotes, double orders);

private:
    struct Panel
    {
        QChart *chart = nullptr;
        QBarCategoryAxis *months = nullptr;
        QValueAxis *values = nullptr;
        double minimum = 0;
        double maximum = 0;
        double headroom = 1.0; // the top of the axis, times the largest value
    };
    void SetUpPanel(Panel &panel, QChartView *view, const QString &title);
    static void Widen(Panel &panel, double a, double b);
    void PlaceCountLabels();

    const QScopedPointer<Ui::TFicheTrend> m_ui;
    Panel FAmounts;
    Panel FCounts;
    QBarSet *FAmount = nullptr;
    QBarSet *FMargin = nullptr;
    QLineSeries *FQuotes = nullptr;
    QLineSeries *FOrders = nullptr;
    // A year earlier: amount, margin, quotes, orders.
    QLineSeries *FEarlier[4] = {};
    QStringList FMonths;
    // The values of the two count lines, the window's own (see
    // PlaceCountLabels).
    QList<QGraphicsItem *> FCountLabels; // the labels and their grounds
};
