#include "charts/tfichebarchartstack.h"
#include "ui_tfichebarchartstack.h"

#include <QStackedBarSeries>

TFicheBarChartStack::TFicheBarChartStack(QWidget *owner) : TFicheBarChart(owner), m_ui(new Ui::TFicheBarChartStack)
{
    m_ui->setupUi(this);
    auto *series = new QStackedBarSeries;
    SetUpChart(m_ui->Chart1, series, 1.2, QColor(0, 128, 0), QColor(255, 0, 0));
}

TFicheBarChartStack::~TFicheBarChartStack() = default;
