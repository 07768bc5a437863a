#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class TFicheParamNiveauAgence;
}
class TABSDatabase;

// Level-agency assignment: shows the agencies linked to the chosen level,
// links another agency to it, removes a link.
class TFicheParamNiveauAgence : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheParamNiveauAgence(QWidget *owner);
    ~TFicheParamNiveauAgence() override;

    void SetDatabase(TABSDatabase *database) { FDatabase = database; }
    void SetLevelLabel(const QString &label) { FLevelLabel = label; }

private:
    void FormActivate();
    void FormDestroy();
    void cblNiveauxChange();
    void btnAjouterClick();
    void btnSupprimerClick();

    void LoadLevelCombo();
    void LoadFreeAgencies();
    void LoadLevelAgencies();
    void ClearAgencyList();
    // The code of the level chosen in cblNiveaux; empty when none is.
    QString SelectedLevel() const;

    const QScopedPointer<Ui::TFicheParamNiveauAgence> m_ui;
    TABSDatabase *FDatabase = nullptr;
    QString FLevelLabel = QStringLiteral("Niveau");
};
