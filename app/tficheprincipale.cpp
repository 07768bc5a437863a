#include "app/tficheprincipale.h"
#include "ui_tficheprincipale.h"

#include "ui/activation.h"
#include "ui/buttonkeys.h"
#include "ui/fitting.h"
#include "ui/guard.h"
#include "ui/messages.h"
#include "charts/sampleindicators.h"
#include "charts/tfichebarchart2series.h"
#include "charts/tfichebarchartstack.h"
#include "dashboard/tfichetdb.h"
#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"

namespace {

// Opens a window of ours over the main window, set up by `setUp`, and gives
// the focus back to the main window once it is closed.
template <typename Window, typename SetUp>
void showModal(QWidget *owner, SetUp &&setUp)
{
    guarded(owner, [owner, &setUp] {
        Window window(owner);
        setUp(window);
        window.exec();
        FocusHistory::returnFocusTo(owner);
    });
}

} // namespace

QString parameterMessage()
{
    return QStringLiteral("Veuillez renseigner les paramètres (1)chemin de la base de données (2)utilisateur");
}

TFichePrincipale::TFichePrincipale(QWidget *parent)
    : QWidget(parent), m_ui(new Ui::TFichePrincipale)
{
    m_ui->setupUi(this);

    connect(m_ui->btnTableauSuivi, &QPushButton::clicked, this, &TFichePrincipale::btnTableauSuiviClick);
    connect(m_ui->btnParamNiveau, &QPushButton::clicked, this, &TFichePrincipale::btnParamNiveauClick);
    connect(m_ui->btnParamNiveauAgence, &QPushButton::clicked, this, &TFichePrincipale::btnParamNiveauAgenceClick);
    connect(m_ui->btnReparation, &QPushButton::clicked, this, &TFichePrincipale::btnReparationClick);
    connect(m_ui->Button1, &QPushButton::clicked, this, &TFichePrincipale::Button1Click);
    connect(m_ui->Button3, &QPushButton::clicked, this, &TFichePrincipale::Button3Click);
    connect(m_ui->Button4, &QPushButton::clicked, this, &TFichePrincipale::Button4Click);

    pressFocusedButtonOnEnter(this);
    m_page = Fitting::scrollWhenScreenIsSmall(this);
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
    showModal<TFicheTDB>(this, [this](TFicheTDB &window) {
        window.SetDatabase(&ABSDatabase1);
        window.SetAdmin(FAdmin);
        window.SetUser(FUser);
    });
}

void TFichePrincipale::btnParamNiveauClick()
{
    showModal<TFicheParamNiveau>(this, [this](TFicheParamNiveau &window) {
        window.SetDatabase(&ABSDatabase1);
        window.SetLevelLabel(QStringLiteral("Chef de secteur"));
    });
}

void TFichePrincipale::btnParamNiveauAgenceClick()
{
    showModal<TFicheParamNiveauAgence>(this, [this](TFicheParamNiveauAgence &window) {
        window.SetDatabase(&ABSDatabase1);
        window.SetLevelLabel(QStringLiteral("Chef de secteur"));
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

        // The question's box is gone: the window draws itself again where
        // the box stood before the repair keeps the event loop waiting.
        m_page->repaint();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

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
    showModal<TFicheBarChartStack>(this, [](TFicheBarChartStack &window) {
        QRandomGenerator random = SampleIndicators::seededFromNow();
        SampleIndicators::fillNewClients(window, random);
    });
}

void TFichePrincipale::Button3Click()
{
    showModal<TFicheBarChartStack>(this, [](TFicheBarChartStack &window) {
        QRandomGenerator random = SampleIndicators::seededFromNow();
        SampleIndicators::fillNewDossiers(window, random);
    });
}

void TFichePrincipale::Button4Click()
{
    showModal<TFicheBarChart2Series>(this, [](TFicheBarChart2Series &window) {
        QRandomGenerator random = SampleIndicators::seededFromNow();
        SampleIndicators::fillQuoteLines(window, random);
    });
}
