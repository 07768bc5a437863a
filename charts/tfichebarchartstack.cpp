#include "charts/tfichebarchartstack.h"
#include "ui_tfichebarchartstack.h"

TFicheBarChartStack::TFicheBarChartStack(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheBarChartStack)
{
    m_ui->setupUi(this);
}

TFicheBarChartStack::~TFicheBarChartStack() = default;

void TFicheBarChartStack::SetChartTitle(const QString &title)
{
    setWindowTitle(title);
}

void TFicheBarChartStack::SetSeriesTitle(int, const QString &)
{
}

void TFicheBarChartStack::AddSeriesValue(int, const QString &, double)
{
}
