#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class TFicheParamNiveauAgence;
}
class TABSDatabase;

class TFicheParamNiveauAgence : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheParamNiveauAgence(QWidget *owner);
    ~TFicheParamNiveauAgence() override;

    void SetDatabase(TABSDatabase *database) { FDatabase = database; }
    void SetLevelLabel(const QString &label) { FLevelLabel = label; }

private:
    const QScopedPointer<Ui::TFicheParamNiveauAgence> m_ui;
    TABSDatabase *FDatabase = nullptr;
    QString FLevelLabel = QStringLiteral("Niveau");
};
