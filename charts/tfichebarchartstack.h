#pragma once

#include "charts/tfichebarchart.h"

#include <QScopedPointer>

namespace Ui {
class TFicheBarChartStack;
}

// A bar chart of two stacked series: series 0 green, series 1 red, value
// axis 1.2 times the extreme single values.
class TFicheBarChartStack : public TFicheBarChart
{
    Q_OBJECT
public:
    explicit TFicheBarChartStack(QWidget *owner);
    ~TFicheBarChartStack() override;

private:
    const QScopedPointer<Ui::TFicheBarChartStack> m_ui;
};
