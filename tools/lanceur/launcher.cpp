#include "tools/lanceur/launcher.h"
#include "store/serveraddress.h"
#include "ui/filedialogs.h"
#include "ui/messages.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>

namespace {
// Where the last choice is kept (~/.config/Orvalis/lanceur.conf).
QSettings settings()
{
    return QSettings(QStringLiteral("Orvalis"), QStringLiteral("lanceur"));
}
const QString databaseKey = QStringLiteral("base");
const QString userKey = QStringLiteral("utilisateur");
} // namespace

Launcher::Launcher(Start start, QWidget *parent)
    : QDialog(parent)
    , m_start(std::move(start))
    , m_database(new QLineEdit(this))
    , m_user(new QLineEdit(this))
    , m_open(new QPushButton(QStringLiteral("&Ouvrir"), this))
{
    setWindowTitle(QStringLiteral("Orvalis"));
    m_database->setAccessibleName(QStringLiteral("Base de données"));
    m_database->setPlaceholderText(QStringLiteral("Fichier, ou adresse d'un serveur (postgresql://…)"));
    m_database->setMinimumWidth(420);
    m_user->setAccessibleName(QStringLiteral("Code utilisateur"));
    auto *browse = new QPushButton(QStringLiteral("&Parcourir…"), this);
    browse->setAccessibleName(QStringLiteral("Parcourir"));
    browse->setAutoDefault(false);

    // Tab goes down the form: the database, its chooser, the user code.
    setTabOrder(m_database, browse);
    setTabOrder(browse, m_user);

    auto *databaseRow = new QHBoxLayout;
    databaseRow->addWidget(m_database);
    databaseRow->addWidget(browse);
    auto *databaseLabel = new QLabel(QStringLiteral("&Base de données :"), this);
    databaseLabel->setBuddy(m_database);
    auto *userLabel = new QLabel(QStringLiteral("Code &utilisateur :"), this);
    userLabel->setBuddy(m_user);
    auto *form = new QFormLayout;
    form->addRow(databaseLabel, databaseRow);
    form->addRow(userLabel, m_user);

    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(m_open, QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("&Annuler"), QDialogButtonBox::RejectRole);
    m_open->setDefault(true);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);

    connect(browse, &QPushButton::clicked, this, &Launcher::browse);
    connect(buttons, &QDialogButtonBox::accepted, this, &Launcher::open);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_database, &QLineEdit::textChanged, this, &Launcher::updateOpen);
    connect(m_user, &QLineEdit::textChanged, this, &Launcher::updateOpen);

    const QSettings last = settings();
    m_database->setText(last.value(databaseKey).toString());
    m_user->setText(last.value(userKey).toString());
    updateOpen();
    (m_database->text().isEmpty() ? m_database : m_user)->setFocus();
}

bool Launcher::startDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}

void Launcher::browse()
{
    // The chooser opens in the folder of the file named, when it is one.
    const QString current = m_database->text().trimmed();
    const QString folder =
        current.isEmpty() || ServerAddress::isServerName(current) ? QString() : QFileInfo(current).absolutePath();
    const QString chosen = FileDialogs::getOpenFileName(this, QStringLiteral("Base de données"), folder,
                                                        QStringLiteral("Bases SQLite (*.db *.sqlite *.sqlite3);;"
                                                                       "Tous les fichiers (*)"));
    if (!chosen.isEmpty())
        m_database->setText(chosen);
}

void Launcher::updateOpen()
{
    m_open->setEnabled(!m_database->text().trimmed().isEmpty() && !m_user->text().trimmed().isEmpty());
}

void Launcher::open()
{
    if (!m_open->isEnabled())
        return;
    const QStringList arguments{m_database->text().trimmed(), m_user->text().trimmed()};
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/orvalis");
    // Once: the rest of a double click, or a held Enter, finds it off.
    m_open->setEnabled(false);
    if (!m_start(program, arguments)) {
        Messages::ShowMessage(this, QStringLiteral("Le programme %1 n'a pas pu être démarré.").arg(program));
        updateOpen();
        return;
    }
    QSettings last = settings();
    last.setValue(databaseKey, arguments.at(0));
    last.setValue(userKey, arguments.at(1));
    accept();
}
