#include "levels/tficheparamniveau.h"
#include "ui_tficheparamniveau.h"

TFicheParamNiveau::TFicheParamNiveau(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheParamNiveau)
{
    m_ui->setupUi(this);
}

TFicheParamNiveau::~TFicheParamNiveau() = default;
