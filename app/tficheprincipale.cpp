#include "app/tficheprincipale.h"
#include "ui_tficheprincipale.h"

#include "app/activation.h"
#include "app/guard.h"
#include "app/messages.h"
#include "charts/sampleindicators.h"
#include "charts/tfichebarchart2series.h"
#include "charts/tfichebarchartstack.h"
#include "dashboard/tfichetdb.h"
#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"

QString parameterMessage()
{
    return QStringLiteral("Veuillez renseigner les paramètres (1)chemin de la base de données (2)utilisateur");
}

TFichePrincipale::TFichePrincipale(QWidget *parent)
    : QWidget(parent), m_ui(new Ui::TFichePrincipale)
{
    m_ui->setupUi(this);
    FUser.clear();
    FAdmin = false;

    connect(m_ui->btnTableauSuivi, &QPushButton::clicked, this, &TFichePrincipale::btnTableauSuiviClick);
    connect(m_ui->btnParamNiveau, &QPushButton::clicked, this, &TFichePrincipale::btnParamNiveauClick);
    connect(m_ui->btnParamNiveauAgence, &QPushButton::clicked, this, &TFichePrincipale::btnParamNiveauAgenceClick);
    connect(m_ui->btnReparation, &QPushButton::clicked, this, &TFichePrincipale::btnReparationClick);
    connect(m_ui->Button1, &QPushButton::clicked, this, &TFichePrincipale::Button1Click);
    connect(m_ui->Button3, &QPushButton::clicked, this, &TFichePrincipale::Button3Click);
    connect(m_ui->Button4, &QPushButton::clicked, this, &TFichePrincipale::Button4Click);

    m_activation = new Activation(this, [this] { FormActivate(); });
}

TFichePrincipale::~TFichePrincipale() = default;

void TFichePrincipale::SetDatabasePath(const QString &path)
{
    ABSDatabase1.SetDatabaseFileName(path);
}

void TFichePrincipale::SetAdmin(bool admin)
{
    FAdmin = admin;
}

void TFichePrincipale::SetUser(const QString &user)
{
    FUser = user;
}

void TFichePrincipale::FormActivate()
{
    if (FAdmin) {
        m_ui->btnParamNiveau->setEnabled(true);
        m_ui->btnParamNiveauAgence->setEnabled(true);
        m_ui->btnReparation->setEnabled(true);
    }
}

void TFichePrincipale::btnTableauSuiviClick()
{
    guarded(this, [this] {
        TFicheTDB window(this);
        window.SetDatabase(&ABSDatabase1);
        window.SetAdmin(FAdmin);
        window.SetUser(FUser);
        window.exec();
        FocusHistory::returnFocusTo(this);
    });
}

void TFichePrincipale::btnParamNiveauClick()
{
    guarded(this, [this] {
        TFicheParamNiveau window(this);
        window.SetDatabase(&ABSDatabase1);
        window.SetLevelLabel(QStringLiteral("Chef de secteur"));
        window.exec();
        FocusHistory::returnFocusTo(this);
    });
}

void TFichePrincipale::btnParamNiveauAgenceClick()
{
    guarded(this, [this] {
        TFicheParamNiveauAgence window(this);
        window.SetDatabase(&ABSDatabase1);
        window.SetLevelLabel(QStringLiteral("Chef de secteur"));
        window.exec();
        FocusHistory::returnFocusTo(this);
    });
}

void TFichePrincipale::btnReparationClick()
{
    guarded(this, [this] {
        const QString question = QStringLiteral("Attention, vous allez lancer la réparation de la base de données.\n")
            + QStringLiteral("Veuillez vérifier qu'il n'y ai plus d'utilisateurs connectés.\n\n")
            + QStringLiteral("Souhaitez-vous continuer ?");
        if (Messages::MessageDlg(this, question, Messages::Icon::Warning, QMessageBox::Yes | QMessageBox::No)
            == QMessageBox::No)
            return;

        bool failed = false;
        {
            WaitCursor wait(this);
            try {
                ABSDatabase1.RepairDatabase();
            } catch (const EDatabaseError &e) {
                failed = true;
                Messages::ShowMessage(this, QStringLiteral("Erreur sur la réparation : ") + e.message());
            } catch (const std::exception &e) {
                failed = true;
                Messages::ShowMessage(this, QStringLiteral("Erreur sur la réparation : ") + QString::fromUtf8(e.what()));
            }
        }
        if (!failed)
            Messages::ShowMessage(this, QStringLiteral("Réparation s'est terminée avec succès !"));
    });
}

void TFichePrincipale::Button1Click()
{
    guarded(this, [this] {
        TFicheBarChartStack window(this);
        QRandomGenerator random = SampleIndicators::seededFromNow();
        SampleIndicators::fillNewClients(window, random);
        window.exec();
        FocusHistory::returnFocusTo(this);
    });
}

void TFichePrincipale::Button3Click()
{
    guarded(this, [this] {
        TFicheBarChartStack window(this);
        QRandomGenerator random = SampleIndicators::seededFromNow();
        SampleIndicators::fillNewDossiers(window, random);
        window.exec();
        FocusHistory::returnFocusTo(this);
    });
}

void TFichePrincipale::Button4Click()
{
    guarded(this, [this] {
        TFicheBarChart2Series window(this);
        QRandomGenerator random = SampleIndicators::seededFromNow();
        SampleIndicators::fillQuoteLines(window, random);
        window.exec();
        FocusHistory::returnFocusTo(this);
    });
}
