#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class TFicheBarChart2Series;
}

class TFicheBarChart2Series : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheBarChart2Series(QWidget *owner);
    ~TFicheBarChart2Series() override;

    void SetChartTitle(const QString &title);
    void SetSeriesTitle(int index, const QString &title);
    void AddSeriesValue(int index, const QString &label, double value);

private:
    const QScopedPointer<Ui::TFicheBarChart2Series> m_ui;
};
