#include "levels/tficheparamniveauagence.h"
#include "ui_tficheparamniveauagence.h"

#include "ui/activation.h"
#include "ui/buttonkeys.h"
#include "ui/fitting.h"
#include "ui/guard.h"
#include "ui/messages.h"
#include "ui/presses.h"
#include "levels/levellists.h"
#include "levels/levelstatements.h"
#include "ui/itemcodes.h"

namespace {
// The form's widths of the list's columns: the least they get.
const QVector<int> FormWidths{380, 0};
} // namespace

TFicheParamNiveauAgence::TFicheParamNiveauAgence(QWidget *owner)
    : QDialog(owner), m_ui(new Ui::TFicheParamNiveauAgence)
{
    m_ui->setupUi(this);
    Fitting::fitColumns(m_ui->lvNiveau, FormWidths);
    Fitting::scrollWhenScreenIsSmall(this);

    connect(m_ui->cblNiveaux, &QComboBox::activated, this, &TFicheParamNiveauAgence::cblNiveauxChange);
    pressFocusedButtonOnEnter(this);
    // After the Enter filter, so that a held Enter meets the guard first.
    onClick(m_ui->btnAjouter, [this] { btnAjouterClick(); });
    onClick(m_ui->btnSupprimer, [this] { btnSupprimerClick(); });
    new Activation(this, [this] { FormActivate(); });
}

TFicheParamNiveauAgence::~TFicheParamNiveauAgence()
{
    guarded(this, [this] { FormDestroy(); });
}

QString TFicheParamNiveauAgence::SelectedLevel() const
{
    return GetItemCode(m_ui->cblNiveaux, m_ui->cblNiveaux->currentIndex());
}

void TFicheParamNiveauAgence::FormActivate()
{
    setWindowTitle(QStringLiteral("Paramétrage des agences par ") + FLevelLabel);
    m_ui->lblNiveau->setText(FLevelLabel);
    m_ui->lblAgences->setText(QStringLiteral("Agences"));
    // A screen reader names a list by its own name, not by a label beside it.
    m_ui->lvNiveau->setAccessibleName(m_ui->lblAgences->text());

    const WaitCursor wait(this);
    LoadLevelCombo();
    LoadFreeAgencies();
    LoadLevelAgencies();

    m_ui->gbAjouterAgence->update();
    m_ui->btnAjouter->update();
    m_ui->cblAgences->update();
    m_ui->cblNiveaux->update();
}

void TFicheParamNiveauAgence::FormDestroy()
{
    ClearComboItems(m_ui->cblNiveaux);
    ClearComboItems(m_ui->cblAgences);
    ClearAgencyList();
}

void TFicheParamNiveauAgence::LoadLevelCombo()
{
    LevelLists::FillCodeCombo(m_ui->cblNiveaux, FDatabase, LevelStatements::levelCombo());
}

void TFicheParamNiveauAgence::LoadFreeAgencies()
{
    if (m_ui->cblNiveaux->currentIndex() < 0) {
        ClearComboItems(m_ui->cblAgences);
        return;
    }
    LevelLists::FillCodeCombo(m_ui->cblAgences, FDatabase, LevelStatements::freeAgencies(SelectedLevel()));
}

void TFicheParamNiveauAgence::LoadLevelAgencies()
{
    ClearAgencyList();
    if (m_ui->cblNiveaux->currentIndex() < 0)
        return;
    LevelLists::AppendCodeRows(m_ui->lvNiveau, FDatabase, LevelStatements::levelAgencies(SelectedLevel()),
                                    {QStringLiteral("libelle"), QStringLiteral("code")});
    Fitting::fitColumns(m_ui->lvNiveau, FormWidths);
}

void TFicheParamNiveauAgence::ClearAgencyList()
{
    // Each row's code holder goes with its row.
    m_ui->lvNiveau->clear();
}

void TFicheParamNiveauAgence::cblNiveauxChange()
{
    guarded(this, [this] {
        const WaitCursor wait(this);
        LoadFreeAgencies();
        LoadLevelAgencies();
    });
}

void TFicheParamNiveauAgence::btnAjouterClick()
{
    guarded(this, [this] {
        if (m_ui->cblNiveaux->currentIndex() < 0) {
            Messages::ShowMessage(this, QStringLiteral("Il faut sélectionner un ") + FLevelLabel);
            return;
        }
        const int agency = m_ui->cblAgences->currentIndex();
        if (agency < 0) {
            Messages::ShowMessage(this, QStringLiteral("Il faut sélectionner une agence"));
            return;
        }
        const WaitCursor wait(this);
        LevelLists::ExecStatement(
            FDatabase, LevelStatements::insertLink(SelectedLevel(), GetItemCode(m_ui->cblAgences, agency)));

        LoadFreeAgencies();
        LoadLevelAgencies();
    });
}

void TFicheParamNiveauAgence::btnSupprimerClick()
{
    guarded(this, [this] {
        const std::optional<QString> agency = LevelLists::SelectedRowCode(this, m_ui->lvNiveau);
        if (!agency)
            return;
        const WaitCursor wait(this);
        // Only the link with the level on screen goes: the agency stays
        // linked to its other levels.
        LevelLists::ExecStatement(FDatabase, LevelStatements::deleteLink(SelectedLevel(), *agency));

        LoadFreeAgencies();
        LoadLevelAgencies();
    });
}
