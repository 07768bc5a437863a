#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class TFicheParamNiveau;
}
class TABSDatabase;

class TFicheParamNiveau : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheParamNiveau(QWidget *owner);
    ~TFicheParamNiveau() override;

    void SetDatabase(TABSDatabase *database) { FDatabase = database; }
    void SetLevelLabel(const QString &label) { FLevelLabel = label; }

private:
    const QScopedPointer<Ui::TFicheParamNiveau> m_ui;
    TABSDatabase *FDatabase = nullptr;
    QString FLevelLabel = QStringLiteral("Niveau");
};
