#include "dashboard/tfichetdb.h"
#include "ui_tfichetdb.h"

TFicheTDB::TFicheTDB(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheTDB)
{
    m_ui->setupUi(this);
}

TFicheTDB::~TFicheTDB() = default;
