#pragma once

#include "store/tabsdatabase.h"

#include <QScopedPointer>
#include <QWidget>

namespace Ui {
class TFichePrincipale;
}
class Activation;

// The main window: a launcher. It owns the program's one database
// connection; every window it opens gets a pointer to it.
class TFichePrincipale : public QWidget
{
    Q_OBJECT
public:
    explicit TFichePrincipale(QWidget *parent = nullptr);
    ~TFichePrincipale() override;

    void SetDatabasePath(const QString &path);
    void SetAdmin(bool admin);
    void SetUser(const QString &user);

    bool IsAdmin() const { return FAdmin; }
    QString User() const { return FUser; }
    TABSDatabase *Database() { return &ABSDatabase1; }
    const Activation *activation() const { return m_activation; }

public slots:
    void FormActivate();
    void btnTableauSuiviClick();
    void btnParamNiveauClick();
    void btnParamNiveauAgenceClick();
    void btnReparationClick();
    void Button1Click();
    void Button3Click();
    void Button4Click();

private:
    const QScopedPointer<Ui::TFichePrincipale> m_ui;
    TABSDatabase ABSDatabase1;
    QString FUser;
    bool FAdmin = false;
    Activation *m_activation = nullptr;
    QWidget *m_page = nullptr; // what holds the buttons
};

// The text shown when the command line does not give exactly two
// arguments.
QString parameterMessage();
