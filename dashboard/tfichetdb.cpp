#include "dashboard/tfichetdb.h"
#include "ui_tfichetdb.h"

#include "app/activation.h"
#include "app/guard.h"
#include "dashboard/dashboardstatements.h"
#include "dashboard/periods.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "store/tobjectcode.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QResizeEvent>

namespace {

struct ColumnLayout
{
    int width;
    Qt::Alignment alignment;
};

const ColumnLayout Columns[10] = {
    {150, Qt::AlignLeft},  {100, Qt::AlignRight}, {75, Qt::AlignRight},   {100, Qt::AlignRight},
    {75, Qt::AlignRight},  {75, Qt::AlignRight},  {90, Qt::AlignHCenter}, {100, Qt::AlignRight},
    {100, Qt::AlignRight}, {120, Qt::AlignRight},
};

} // namespace

TFicheTDB::TFicheTDB(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheTDB)
{
    m_ui->setupUi(this);
    QTreeWidget *table = m_ui->lvData;
    for (int i = 0; i < 10; ++i) {
        table->setColumnWidth(i, Columns[i].width);
        table->headerItem()->setTextAlignment(i, Columns[i].alignment | Qt::AlignVCenter);
    }
    table->header()->setStretchLastSection(false);
    m_sourceFactory = [] { return defaultFigureSource(); };

    FillPeriods();

    connect(m_ui->cblNiveau, &QComboBox::activated, this, [this] { guarded(this, [this] { cblNiveauChange(); }); });
    connect(m_ui->cblAgence, &QComboBox::activated, this, [this] { guarded(this, [this] { cblAgenceChange(); }); });
    connect(m_ui->cblUtilisateur, &QComboBox::activated, this,
            [this] { guarded(this, [this] { cblUtilisateurChange(); }); });
    connect(m_ui->cblFournisseur, &QComboBox::activated, this,
            [this] { guarded(this, [this] { cblFournisseurChange(); }); });
    connect(m_ui->cblPeriode, &QComboBox::activated, this, [this] { guarded(this, [this] { cblPeriodeChange(); }); });

    m_activation = new Activation(this, [this] { FormActivate(); });
}

TFicheTDB::~TFicheTDB()
{
    FormDestroy();
}

void TFicheTDB::FormDestroy()
{
    ClearComboItems(m_ui->cblNiveau);
    ClearComboItems(m_ui->cblAgence);
    ClearComboItems(m_ui->cblUtilisateur);
    ClearComboItems(m_ui->cblFournisseur);
}

void TFicheTDB::setFigureSourceFactory(std::function<std::unique_ptr<FigureSource>()> factory)
{
    m_sourceFactory = std::move(factory);
    m_source.reset();
}

void TFicheTDB::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    // The table keeps its margins and grows with the window.
    m_ui->lvData->setGeometry(16, 72, qMax(0, width() - 32), qMax(0, height() - 88));
}

void TFicheTDB::FillPeriods()
{
    FillPeriods(QDate::currentDate());
}

void TFicheTDB::FillPeriods(const QDate &today)
{
    QComboBox *combo = m_ui->cblPeriode;
    const QSignalBlocker blocker(combo);
    combo->clear();
    const QVector<Period> periods = monthList(today);
    for (int i = 0; i < 13; ++i) {
        FPeriodYears[i] = periods.at(i).year;
        FPeriodMonths[i] = periods.at(i).month;
        combo->addItem(periods.at(i).text);
    }
    combo->setCurrentIndex(0);
}

int TFicheTDB::GetSelectedYear() const
{
    const int i = m_ui->cblPeriode->currentIndex();
    return (i >= 1 && i <= 12) ? FPeriodYears[i] : FPeriodYears[0];
}

int TFicheTDB::GetSelectedMonth() const
{
    const int i = m_ui->cblPeriode->currentIndex();
    return (i >= 1 && i <= 12) ? FPeriodMonths[i] : FPeriodMonths[0];
}

int TFicheTDB::GetDrillLevel() const
{
    return drillLevel(m_ui->cblNiveau->currentIndex(), m_ui->cblAgence->currentIndex(),
                      m_ui->cblUtilisateur->currentIndex());
}

DashboardSelection TFicheTDB::selection() const
{
    DashboardSelection s;
    s.admin = FAdmin;
    s.user = FUser;
    s.levelIndex = m_ui->cblNiveau->currentIndex();
    s.agencyIndex = m_ui->cblAgence->currentIndex();
    s.userIndex = m_ui->cblUtilisateur->currentIndex();
    s.levelCode = FFilterLevel;
    s.agencyCode = FFilterAgency;
    s.userCode = FFilterUser;
    s.supplierCode = FFilterSupplier;
    s.year = GetSelectedYear();
    s.month = GetSelectedMonth();
    return s;
}

void TFicheTDB::FormActivate()
{
    LoadLevels();
    LoadSuppliers();
    RefreshData();
}

namespace {
QString selectedCode(const QComboBox *combo)
{
    const int index = combo->currentIndex();
    return index > 0 ? GetItemCode(combo, index) : QString();
}
} // namespace

void TFicheTDB::cblNiveauChange()
{
    FFilterLevel = selectedCode(m_ui->cblNiveau);
    LoadAgencies();
    RefreshData();
}

void TFicheTDB::cblAgenceChange()
{
    FFilterAgency = selectedCode(m_ui->cblAgence);
    LoadUsers();
    RefreshData();
}

void TFicheTDB::cblUtilisateurChange()
{
    FFilterUser = selectedCode(m_ui->cblUtilisateur);
    RefreshData();
}

void TFicheTDB::cblFournisseurChange()
{
    FFilterSupplier = selectedCode(m_ui->cblFournisseur);
    RefreshData();
}

void TFicheTDB::cblPeriodeChange()
{
    LoadUsers();
    RefreshData();
}

void TFicheTDB::loadList(QComboBox *combo, const QString &placeholder, const QString &sql)
{
    ClearComboItems(combo);
    const QSignalBlocker blocker(combo);
    AddComboPlaceholder(combo, placeholder);
    if (!sql.isEmpty()) {
        TABSQuery query(FDatabase);
        query.SetDatabaseName(FDatabase->DatabaseName());
        query.SQL().append(sql);
        query.Open();
        while (!query.Eof()) {
            AddComboItem(combo, query.FieldByName(QStringLiteral("libelle")).AsString(),
                         query.FieldByName(QStringLiteral("code")).AsString());
            query.Next();
        }
        query.Close();
    }
    combo->setCurrentIndex(0);
}

void TFicheTDB::LoadLevels()
{
    loadList(m_ui->cblNiveau, QStringLiteral("<Tous>"), DashboardStatements::levels(FAdmin, FUser));
    FFilterLevel.clear();
}

void TFicheTDB::LoadAgencies()
{
    const bool query = m_ui->cblNiveau->currentIndex() > 0;
    loadList(m_ui->cblAgence, QStringLiteral("<Toutes>"),
             query ? DashboardStatements::agencies(FFilterLevel) : QString());
    FFilterAgency.clear();
}

void TFicheTDB::LoadUsers()
{
    const bool query = m_ui->cblAgence->currentIndex() > 0;
    const int y = GetSelectedYear();
    const int m = GetSelectedMonth();
    loadList(m_ui->cblUtilisateur, QStringLiteral("<Tous>"),
             query ? DashboardStatements::usersOfAgency(FFilterAgency, y, m) : QString());
    FFilterUser.clear();
}

void TFicheTDB::LoadSuppliers()
{
    loadList(m_ui->cblFournisseur, QStringLiteral("<Tous>"), DashboardStatements::suppliers());
    FFilterSupplier.clear();
}

void TFicheTDB::appendRow(const DashboardRow &row)
{
    const QStringList cells = row.cells();
    auto *item = new QTreeWidgetItem(m_ui->lvData, cells);
    for (int i = 0; i < 10; ++i)
        item->setTextAlignment(i, Columns[i].alignment | Qt::AlignVCenter);
}

void TFicheTDB::RefreshData()
{
    {
        WaitCursor wait(this);
        QCoreApplication::processEvents();
        m_ui->lvData->clear();
        if (!m_source)
            m_source = m_sourceFactory();
        buildDashboard(FDatabase, selection(), *m_source, [this](const DashboardRow &row) { appendRow(row); });
    }
    QCoreApplication::processEvents();
}
