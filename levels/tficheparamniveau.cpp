#include "levels/tficheparamniveau.h"
#include "ui_tficheparamniveau.h"

#include "ui/activation.h"
#include "ui/buttonkeys.h"
#include "ui/fitting.h"
#include "ui/guard.h"
#include "ui/messages.h"
#include "ui/presses.h"
#include "levels/levellists.h"
#include "levels/levelstatements.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "ui/itemcodes.h"

#include <QLocale>

#include <limits>
#include <optional>

namespace {
// The form's widths of the list's columns: the least they get.
const QVector<int> FormWidths{200, 0, 200};
} // namespace

TFicheParamNiveau::TFicheParamNiveau(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheParamNiveau)
{
    m_ui->setupUi(this);
    m_ui->edtNiveau->setMaxLength(std::numeric_limits<int>::max());
    Fitting::fitColumns(m_ui->lvNiveau, FormWidths);
    Fitting::scrollWhenScreenIsSmall(this);

    pressFocusedButtonOnEnter(this);
    // After the Enter filter, so that a held Enter meets the guard first.
    onClick(m_ui->btnAjouter, [this] { btnAjouterClick(); });
    onClick(m_ui->btnSupprimer, [this] { btnSupprimerClick(); });
    new Activation(this, [this] { FormActivate(); });
}

TFicheParamNiveau::~TFicheParamNiveau()
{
    guarded(this, [this] { FormDestroy(); });
}

void TFicheParamNiveau::FormActivate()
{
    setWindowTitle(QStringLiteral("Paramétrage : ") + FLevelLabel);
    m_ui->lblNiveau->setText(FLevelLabel);
    m_ui->gbAjouterNiveau->setTitle(QStringLiteral("Ajouter un ") + FLevelLabel);
    m_ui->lvNiveau->headerItem()->setText(2, FLevelLabel);
    m_ui->lblNiveauLibelle->setText(FLevelLabel + QStringLiteral(" Libellé"));
    // A screen reader names a control by a label beside it; these two
    // stand apart from theirs (another frame; a list names no label).
    m_ui->edtNiveau->setAccessibleName(m_ui->lblNiveauLibelle->text());
    m_ui->lvNiveau->setAccessibleName(m_ui->lblNiveau->text());

    const WaitCursor wait(this);
    LoadFreeUsers();
    LoadLevelList();

    m_ui->btnAjouter->update();
    m_ui->cblUtilisateurs->update();
    m_ui->edtNiveau->update();
}

void TFicheParamNiveau::FormDestroy()
{
    ClearComboItems(m_ui->cblUtilisateurs);
    ClearLevelList();
}

void TFicheParamNiveau::LoadFreeUsers()
{
    LevelLists::FillCodeCombo(m_ui->cblUtilisateurs, FDatabase, LevelStatements::freeUsers());
}

void TFicheParamNiveau::LoadLevelList()
{
    ClearLevelList();
    LevelLists::AppendCodeRows(m_ui->lvNiveau, FDatabase, LevelStatements::levelList(),
                                    {QStringLiteral("utilisateur"), QStringLiteral("code"), QStringLiteral("libelle")});
    // The form's widths, and "Code" as wide as the codes.
    Fitting::fitColumns(m_ui->lvNiveau, FormWidths);
}

void TFicheParamNiveau::ClearLevelList()
{
    // Each row's code holder goes with its row.
    m_ui->lvNiveau->clear();
}

void TFicheParamNiveau::btnAjouterClick()
{
    guarded(this, [this] {
        const QString label = m_ui->edtNiveau->text();
        if (label.isEmpty()) {
            Messages::ShowMessage(this, QStringLiteral("Le libellé du niveau doit être renseigné"));
            return;
        }
        const int index = m_ui->cblUtilisateurs->currentIndex();
        if (index < 0) {
            Messages::ShowMessage(this, QStringLiteral("Il faut sélectionner un utilisateur"));
            return;
        }
        if (label.size() > MaxLabelLength) {
            Messages::ShowMessage(this, QStringLiteral("Le libellé du niveau est trop long : %1 caractères, pour %2 au plus.")
                                            .arg(QLocale(QLocale::French).toString(label.size()),
                                                 QLocale(QLocale::French).toString(MaxLabelLength)));
            return;
        }
        const QString user = GetItemCode(m_ui->cblUtilisateurs, index);
        const WaitCursor wait(this);
        LevelLists::ExecStatement(FDatabase, LevelStatements::insertLevel(user, label));

        LoadFreeUsers();
        LoadLevelList();
    });
}

void TFicheParamNiveau::btnSupprimerClick()
{
    guarded(this, [this] {
        const std::optional<QString> selected = LevelLists::SelectedRowCode(this, m_ui->lvNiveau);
        if (!selected)
            return;
        const QString level = *selected;

        {
            TABSQuery query(FDatabase);
            LevelLists::BindQuery(query, FDatabase);
            query.SQL().append(LevelStatements::levelLinks(level));
            std::optional<WaitCursor> wait(std::in_place, this);
            query.Open();
            const int links = query.RecordCount();
            query.Close();
            query.SQL().clear();
            wait.reset(); // not over the question

            const bool confirmed = links == 0
                || Messages::MessageDlg(this, LevelStatements::deletionQuestion(links), Messages::Icon::Question,
                                        QMessageBox::Yes | QMessageBox::No)
                    == QMessageBox::Yes;
            if (confirmed) {
                wait.emplace(this);
                // The links and the level go together or not at all.
                TWriteTransaction transaction(FDatabase);
                if (links > 0) {
                    query.SQL().append(LevelStatements::deleteLevelLinks(level));
                    query.ExecSQL();
                    query.Close();
                    query.SQL().clear();
                }
                query.SQL().append(LevelStatements::deleteLevel(level));
                query.ExecSQL();
                transaction.commit();
            }
        }

        const WaitCursor wait(this);
        LoadFreeUsers();
        LoadLevelList();
    });
}
