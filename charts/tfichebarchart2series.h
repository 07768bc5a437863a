#pragma once

#include "charts/tfichebarchart.h"

#include <QScopedPointer>

namespace Ui {
class TFicheBarChart2Series;
}

// A bar chart of two series drawn side by side: series 0 blue, series 1
// green, value axis 1.3 times the extreme values.
class TFicheBarChart2Series : public TFicheBarChart
{
    Q_OBJECT
public:
    explicit TFicheBarChart2Series(QWidget *owner);
    ~TFicheBarChart2Series() override;

private:
    const QScopedPointer<Ui::TFicheBarChart2Series> m_ui;
};
