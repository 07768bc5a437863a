#include "charts/tfichebarchart2series.h"
#include "ui_tfichebarchart2series.h"

TFicheBarChart2Series::TFicheBarChart2Series(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheBarChart2Series)
{
    m_ui->setupUi(this);
}

TFicheBarChart2Series::~TFicheBarChart2Series() = default;

void TFicheBarChart2Series::SetChartTitle(const QString &title)
{
    setWindowTitle(title);
}

void TFicheBarChart2Series::SetSeriesTitle(int, const QString &)
{
}

void TFicheBarChart2Series::AddSeriesValue(int, const QString &, double)
{
}
