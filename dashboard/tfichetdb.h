#pragma once

#include <QDialog>
#include <QScopedPointer>

namespace Ui {
class TFicheTDB;
}
class TABSDatabase;

// The tracking table ("Tableau de suivi").
class TFicheTDB : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheTDB(QWidget *owner);
    ~TFicheTDB() override;

    void SetDatabase(TABSDatabase *database) { FDatabase = database; }
    void SetAdmin(bool admin) { FAdmin = admin; }
    void SetUser(const QString &user) { FUser = user; }

private:
    const QScopedPointer<Ui::TFicheTDB> m_ui;
    TABSDatabase *FDatabase = nullptr;
    QString FUser;
    bool FAdmin = false;
};
