#include "charts/tfichebarchart2series.h"
#include "ui_tfichebarchart2series.h"

#include <QBarSeries>

TFicheBarChart2Series::TFicheBarChart2Series(QWidget *owner)
    : TFicheBarChart(owner), m_ui(new Ui::TFicheBarChart2Series)
{
    m_ui->setupUi(this);
    auto *series = new QBarSeries;
    SetUpChart(m_ui->Chart1, series, 1.3, QColor(0, 0, 255), QColor(0, 128, 0));
}

TFicheBarChart2Series::~TFicheBarChart2Series() = default;
