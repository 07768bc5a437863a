#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class TFicheBarChartStack;
}

class TFicheBarChartStack : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheBarChartStack(QWidget *owner);
    ~TFicheBarChartStack() override;

    void SetChartTitle(const QString &title);
    void SetSeriesTitle(int index, const QString &title);
    void AddSeriesValue(int index, const QString &label, double value);

private:
    const QScopedPointer<Ui::TFicheBarChartStack> m_ui;
};
