#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class TFicheParamNiveau;
}
class TABSDatabase;

// Level management: lists the levels, adds a level for a user who has
// none yet, deletes a level together with its agency links.
class TFicheParamNiveau : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheParamNiveau(QWidget *owner);
    ~TFicheParamNiveau() override;

    // The longest label a level may have. The field itself takes any
    // length, so that a longer text pasted into it is refused with a
    // message instead of being cut without a word.
    static constexpr int MaxLabelLength = 32767;

    void SetDatabase(TABSDatabase *database) { FDatabase = database; }
    void SetLevelLabel(const QString &label) { FLevelLabel = label; }

private:
    void FormActivate();
    void FormDestroy();
    void btnAjouterClick();
    void btnSupprimerClick();

    void LoadFreeUsers();
    void LoadLevelList();
    void ClearLevelList();

    const QScopedPointer<Ui::TFicheParamNiveau> m_ui;
    TABSDatabase *FDatabase = nullptr;
    QString FLevelLabel = QStringLiteral("Niveau");
};
