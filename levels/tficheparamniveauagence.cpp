#include "levels/tficheparamniveauagence.h"
#include "ui_tficheparamniveauagence.h"

TFicheParamNiveauAgence::TFicheParamNiveauAgence(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheParamNiveauAgence)
{
    m_ui->setupUi(this);
}

TFicheParamNiveauAgence::~TFicheParamNiveauAgence() = default;
