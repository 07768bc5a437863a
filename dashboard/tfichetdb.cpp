#include "dashboard/tfichetdb.h"
#include "ui_tfichetdb.h"

#include "ui/activation.h"
#include "ui/buttonkeys.h"
#include "ui/fitting.h"
#include "ui/filedialogs.h"
#include "ui/guard.h"
#include "charts/tfichetrend.h"
#include "dashboard/dashboarditem.h"
#include "dashboard/dashboardstatements.h"
#include "dashboard/periods.h"
#include "dashboard/tableprint.h"
#include "dashboard/totalsline.h"
#include "dashboard/trend.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "ui/itemcodes.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QPrinter>
#include <QResizeEvent>
#include <QStandardPaths>

namespace {

const int ColumnWidths[10] = {150, 100, 75, 100, 75, 75, 90, 100, 100, 120};

// Room under the table for the row of buttons: the gap above them, their
// height and the bottom margin.
constexpr int ButtonGap = 8;
constexpr int ButtonHeight = 25;
constexpr int BottomMargin = 16;
// The least height the table keeps on a small screen.
constexpr int SmallestTableHeight = 160;

const QString XlsxFilter = QStringLiteral("Classeur Excel (*.xlsx)");
const QString CsvFilter = QStringLiteral("CSV, séparateur point-virgule (*.csv)");

} // namespace

TFicheTDB::TFicheTDB(QWidget *owner) : QDialog(owner), m_ui(new Ui::TFicheTDB)
{
    m_ui->setupUi(this);
    QTreeWidget *table = m_ui->lvData;
    for (int i = 0; i < 10; ++i) {
        table->setColumnWidth(i, ColumnWidths[i]);
        table->headerItem()->setTextAlignment(i, TableExport::columnAlignment(i) | Qt::AlignVCenter);
    }
    table->header()->setStretchLastSection(false);
    table->setItemDelegate(new ComparedCellDelegate(table));
    table->installEventFilter(this);
    m_totalsLine = new TotalsLine(m_ui->lvData);
    // On a small screen the table gives up height first, down to a few
    // rows, so that the buttons under it stay in view; the lists keep the
    // width they need.
    m_page = Fitting::scrollWhenScreenIsSmall(this, QSize(width(), SmallestTableHeight + 72 + ButtonGap + ButtonHeight + BottomMargin));
    m_page->installEventFilter(this);
    // A sorted column makes room for its arrow.
    connect(table->header(), &QHeaderView::sortIndicatorChanged, this, [this] { fitColumns(); });
    resetSort();
    table->setSortingEnabled(true);
    m_sourceFactory = [] { return defaultFigureSource(); };
    m_exportFolder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);

    FillPeriods();
    m_ui->cblEtendue->setCurrentIndex(0);
    FillComparisons();

    connect(m_ui->cblNiveau, &QComboBox::activated, this, [this] { guarded(this, [this] { cblNiveauChange(); }); });
    connect(m_ui->cblAgence, &QComboBox::activated, this, [this] { guarded(this, [this] { cblAgenceChange(); }); });
    connect(m_ui->cblUtilisateur, &QComboBox::activated, this,
            [this] { guarded(this, [this] { cblUtilisateurChange(); }); });
    connect(m_ui->cblFournisseur, &QComboBox::activated, this,
            [this] { guarded(this, [this] { cblFournisseurChange(); }); });
    connect(m_ui->cblPeriode, &QComboBox::activated, this, [this] { guarded(this, [this] { cblPeriodeChange(); }); });
    connect(m_ui->cblEtendue, &QComboBox::activated, this, [this] { guarded(this, [this] { cblEtendueChange(); }); });
    connect(m_ui->cblComparaison, &QComboBox::activated, this,
            [this] { guarded(this, [this] { cblComparaisonChange(); }); });
    connect(m_ui->lvData, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem *item) { guarded(this, [this, item] { lvDataDblClick(item); }); });
    connect(m_ui->btnExporter, &QPushButton::clicked, this, [this] { guarded(this, [this] { btnExporterClick(); }); });
    connect(m_ui->btnEvolution, &QPushButton::clicked, this,
            [this] { guarded(this, [this] { btnEvolutionClick(); }); });
    connect(m_ui->btnImprimer, &QPushButton::clicked, this, [this] { guarded(this, [this] { btnImprimerClick(); }); });

    pressFocusedButtonOnEnter(this);
    m_activation = new Activation(this, [this] { FormActivate(); });
}

TFicheTDB::~TFicheTDB()
{
    if (FDatabase)
        FDatabase->setWaitNotice({});
    FormDestroy();
}

void TFicheTDB::SetDatabase(TABSDatabase *database)
{
    if (FDatabase)
        FDatabase->setWaitNotice({});
    FDatabase = database;
    if (!FDatabase)
        return;
    FDatabase->setWaitNotice([this](const QString &text) {
        // The window waits for the server: painted at once, and put back
        // as it was once the answer came.
        if (!text.isEmpty())
            m_statusBeforeWait = m_ui->lblStatut->text();
        m_ui->lblStatut->setText(text.isEmpty() ? m_statusBeforeWait : text);
        m_ui->lblStatut->repaint();
    });
}

void TFicheTDB::FormDestroy()
{
    ClearComboItems(m_ui->cblNiveau);
    ClearComboItems(m_ui->cblAgence);
    ClearComboItems(m_ui->cblUtilisateur);
    ClearComboItems(m_ui->cblFournisseur);
}

void TFicheTDB::setFigureSourceFactory(FigureSourceFactory factory)
{
    m_sourceFactory = std::move(factory);
    m_source.reset();
}

void TFicheTDB::layOut(QSize size)
{
    // The table keeps its margins and grows with the window; the buttons
    // stay under its bottom right corner.
    const int buttonsTop = size.height() - BottomMargin - ButtonHeight;
    m_ui->lvData->setGeometry(16, 72, qMax(0, size.width() - 32), qMax(0, buttonsTop - ButtonGap - 72));
    const int right = size.width() - 16;
    m_ui->btnExporter->move(right - m_ui->btnExporter->width(), buttonsTop);
    m_ui->btnImprimer->move(m_ui->btnExporter->x() - 8 - m_ui->btnImprimer->width(), buttonsTop);
    m_ui->btnEvolution->move(m_ui->btnImprimer->x() - 8 - m_ui->btnEvolution->width(), buttonsTop);
    m_ui->lblStatut->setGeometry(16, buttonsTop, qMax(0, m_ui->btnEvolution->x() - 8 - 16), ButtonHeight);
}

bool TFicheTDB::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_page && event->type() == QEvent::Resize)
        layOut(static_cast<QResizeEvent *>(event)->size());
    // A wider or narrower table: the columns take their room again.
    if (watched == m_ui->lvData && event->type() == QEvent::Resize)
        fitColumns();
    if (watched == m_ui->lvData && (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->matches(QKeySequence::Copy)) {
            // The whole rows, not the current cell alone.
            event->accept();
            if (event->type() == QEvent::KeyPress)
                guarded(this, [this] { copyRows(); });
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
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
    Fitting::fitPopup(combo);
}

namespace {

QString comparisonText(PeriodChoice::Comparison comparison)
{
    switch (comparison) {
    case PeriodChoice::None:
        return QStringLiteral("—");
    case PeriodChoice::PreviousMonth:
        return QStringLiteral("Mois précédent");
    case PeriodChoice::YearEarlier:
        return QStringLiteral("Même période N-1");
    }
    return QString();
}


} // namespace

void TFicheTDB::FillComparisons()
{
    QComboBox *combo = m_ui->cblComparaison;
    const QSignalBlocker blocker(combo);
    const QVariant kept = combo->currentData();
    combo->clear();
    for (const PeriodChoice::Comparison comparison : PeriodChoice::comparisonsFor(periodChoice().span))
        combo->addItem(comparisonText(comparison), int(comparison));
    combo->setCurrentIndex(qMax(0, combo->findData(kept)));
    Fitting::fitPopup(combo);
}

PeriodChoice TFicheTDB::periodChoice() const
{
    PeriodChoice choice;
    choice.span = m_ui->cblEtendue->currentIndex() == 1 ? PeriodChoice::YearToDate : PeriodChoice::Month;
    const QVariant comparison = m_ui->cblComparaison->currentData();
    if (comparison.isValid())
        choice.comparison = PeriodChoice::Comparison(comparison.toInt());
    return choice;
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

void TFicheTDB::cblEtendueChange()
{
    FillComparisons();
    RefreshData();
}

void TFicheTDB::cblComparaisonChange()
{
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
    Fitting::fitPopup(combo);
}

void TFicheTDB::LoadLevels()
{
    loadList(m_ui->cblNiveau, QStringLiteral("<Tous>"), DashboardStatements::levels(FAdmin, FUser));
    FFilterLevel.clear();
    // Agencies of no level count in no row: said while the rows are the
    // levels. An ordinary user's table is his level alone, and so is a
    // reader's on a server, who sees no other level's links.
    m_unlinked = FAdmin && !FDatabase->readsOwnLevelOnly() && m_ui->cblNiveau->count() > 1 ? unlinkedAgencies(FDatabase)
                                                                                           : UnlinkedAgencies();
    m_ui->lblStatut->setText(m_ui->cblNiveau->count() > 1 ? QString()
                                                           : TableExport::singleLine(noLevelNotice(FAdmin, FUser)));
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

void TFicheTDB::appendRow(const ComparedRow &row)
{
    auto *item = new DashboardItem(m_ui->lvData, row.chosen, int(m_rows.size()));
    m_rows << row.chosen;
    if (m_comparison)
        m_comparison->rows << row.compared.value_or(DashboardRow());
    for (int i = 0; i < 10; ++i)
        item->setTextAlignment(i, TableExport::columnAlignment(i) | Qt::AlignVCenter);
    if (!row.compared)
        return;
    const QStringList cells = row.shownCells();
    const QString against =
        m_ui->cblComparaison->currentText() + QStringLiteral(" (") + m_comparison->period + QStringLiteral(") : ");
    for (int i = 1; i < 10; ++i) {
        item->setText(i, cells.at(i));
        item->setToolTip(i, against + cells.at(i).section(QLatin1Char('\n'), 1));
    }
}

void TFicheTDB::fitColumns()
{
    Fitting::fitColumns(m_ui->lvData, QVector<int>(std::begin(ColumnWidths), std::end(ColumnWidths)),
                        m_totalsLine ? m_totalsLine->cells() : QStringList(),
                        m_totalsLine ? m_totalsLine->font() : QFont());
}

// No sort column: the rows stay in the order they are appended.
void TFicheTDB::resetSort()
{
    m_ui->lvData->setSortingEnabled(false);
    // The rows that are about to go need no fitting.
    const QSignalBlocker quiet(m_ui->lvData->header());
    m_ui->lvData->header()->setSortIndicator(-1, Qt::AscendingOrder);
}

void TFicheTDB::RefreshData()
{
    {
        WaitCursor wait(this);
        QCoreApplication::processEvents();
        // The row statement's order, whatever column the rows were sorted
        // by; a header click sorts them again once they are all there.
        resetSort();
        struct SortBack
        {
            QTreeWidget *table;
            ~SortBack() { table->setSortingEnabled(true); }
        } sortBack{m_ui->lvData};
        m_ui->lvData->clear();
        m_rows.clear();
        m_totals.reset();
        m_comparison.reset();
        m_totalsLine->setCells({});
        m_rowsDrill = GetDrillLevel();
        if (!m_source)
            m_source = m_sourceFactory();
        // The columns fit the rows shown, however the refresh ends.
        struct FitBack
        {
            TFicheTDB *window;
            ~FitBack() { window->fitColumns(); }
        } fitBack{this};
        const PeriodChoice choice = periodChoice();
        const std::optional<MonthSpan> compared = choice.compared(GetSelectedYear(), GetSelectedMonth());
        if (compared)
            m_comparison.emplace().period = compared->text();
        // Each figure's caption says what the two lines of a compared
        // table stand for.
        for (int i = 1; i < 10; ++i)
            m_ui->lvData->headerItem()->setToolTip(
                i, compared ? QStringLiteral("%1, et dessous : %2 (%3) et l'évolution")
                                  .arg(choice.chosen(GetSelectedYear(), GetSelectedMonth()).text(),
                                       m_ui->cblComparaison->currentText(), compared->text())
                            : QString());
        // Two lines a row: every other row shaded, so that each pair
        // reads as one row.
        m_ui->lvData->setAlternatingRowColors(compared.has_value());
        ComparedRow totals;
        buildComparedDashboard(FDatabase, selection(), choice, *m_source,
                               [this](const ComparedRow &row) { appendRow(row); }, &totals);
        m_totals = totals.chosen;
        if (m_comparison)
            m_comparison->totals = totals.compared;
        m_totalsLine->setCells(totals.shownCells());
        // Figures all 0 because the months hold none at all (early in a
        // month, or figures that stop before it): the status line says so;
        // otherwise, on the levels' rows, whether some agencies have none.
        // Without a level to show, it keeps saying that instead.
        if (m_ui->cblNiveau->count() > 1) {
            const DashboardRow &t = totals.chosen;
            const bool allZero = t.HT == 0 && t.TVA == 0 && t.Marge == 0 && t.NbRelances == 0 && t.NbDevis == 0
                && t.NbCommandes == 0;
            QString notice = allZero ? emptyPeriodNotice(FDatabase, choice.chosen(GetSelectedYear(), GetSelectedMonth()))
                                     : QString();
            const bool unlinked = notice.isEmpty() && m_ui->cblNiveau->currentIndex() == 0;
            m_ui->lblStatut->setText(unlinked ? m_unlinked.notice : notice);
            m_ui->lblStatut->setToolTip(unlinked ? m_unlinked.labels : QString());
        }
    }
    QCoreApplication::processEvents();
}

void TFicheTDB::lvDataDblClick(QTreeWidgetItem *item)
{
    if (!item)
        return;
    const DashboardRow &row = m_rows.at(static_cast<const DashboardItem *>(item)->statementOrder());
    QComboBox *combo = nullptr;
    void (TFicheTDB::*change)() = nullptr;
    switch (m_rowsDrill) {
    case 0:
        combo = m_ui->cblNiveau;
        change = &TFicheTDB::cblNiveauChange;
        break;
    case 1:
        combo = m_ui->cblAgence;
        change = &TFicheTDB::cblAgenceChange;
        break;
    case 2:
        combo = m_ui->cblUtilisateur;
        change = &TFicheTDB::cblUtilisateurChange;
        break;
    default:
        return; // one user: nothing further down
    }
    for (int i = 1; i < combo->count(); ++i) {
        if (GetItemCode(combo, i) == row.code) {
            combo->setCurrentIndex(i);
            (this->*change)();
            return;
        }
    }
}

QVector<DashboardRow> TFicheTDB::rowsShown(bool selectedOnly, std::optional<TableExport::Comparison> *comparison) const
{
    QVector<DashboardRow> rows;
    if (comparison) {
        comparison->reset();
        if (m_comparison)
            comparison->emplace().period = m_comparison->period;
    }
    for (int i = 0; i < m_ui->lvData->topLevelItemCount(); ++i) {
        const auto *item = static_cast<const DashboardItem *>(m_ui->lvData->topLevelItem(i));
        if (!selectedOnly || item->isSelected()) {
            rows << m_rows.at(item->statementOrder());
            if (comparison && *comparison)
                (*comparison)->rows << m_comparison->rows.at(item->statementOrder());
        }
    }
    return rows;
}

QVector<DashboardRow> TFicheTDB::shownRows() const
{
    return rowsShown(false);
}

TableExport::Title TFicheTDB::exportTitle() const
{
    auto label = [this](TableExport::Filter filter, const QString &) {
        switch (filter) {
        case TableExport::Filter::Level:
            return m_ui->cblNiveau->currentText();
        case TableExport::Filter::Agency:
            return m_ui->cblAgence->currentText();
        case TableExport::Filter::User:
            return m_ui->cblUtilisateur->currentText();
        case TableExport::Filter::Supplier:
            return m_ui->cblFournisseur->currentText();
        }
        return QString();
    };
    TableExport::Title title = TableExport::titleOf(selection(), label, m_ui->lblNiveau->text());
    title.setPeriod(periodChoice());
    return title;
}

void TFicheTDB::copyRows()
{
    std::optional<TableExport::Comparison> comparison;
    QVector<DashboardRow> rows = rowsShown(true, &comparison);
    // The whole table comes with its totals line; a few rows of it, alone.
    std::optional<DashboardRow> totals;
    if (rows.isEmpty() || rows.size() == m_rows.size()) {
        rows = rowsShown(false, &comparison);
        totals = m_totals;
        if (comparison)
            comparison->totals = m_comparison->totals;
    }
    const TableExport::Comparison *compared = comparison ? &*comparison : nullptr;
    auto *data = new QMimeData;
    data->setText(QString::fromUtf8(TableExport::tsv(rows, TableExport::Labels::Guarded, totals, compared)));
    data->setHtml(TableExport::html(rows, totals, compared));
    QGuiApplication::clipboard()->setMimeData(data);
}

void TFicheTDB::btnExporterClick()
{
    QString filter = m_exportFilter.isEmpty() ? XlsxFilter : m_exportFilter;
    const QString suffix = filter == CsvFilter ? QStringLiteral("csv") : QStringLiteral("xlsx");
    const QString proposed = QDir(m_exportFolder).filePath(
        fileBaseName() + QLatin1Char('.') + suffix);
    QString name = FileDialogs::getSaveFileName(this, QStringLiteral("Exporter le tableau de suivi"), proposed,
                                                XlsxFilter + QStringLiteral(";;") + CsvFilter, &filter);
    if (name.isEmpty())
        return;
    // The file name's extension decides; without one, the chosen filter.
    const QString extension = QFileInfo(name).suffix().toLower();
    bool csv = extension == QLatin1String("csv");
    if (extension != QLatin1String("csv") && extension != QLatin1String("xlsx")) {
        csv = filter == CsvFilter;
        name += csv ? QStringLiteral(".csv") : QStringLiteral(".xlsx");
    }
    try {
        TableExport::checkTarget(name, FDatabase->DatabaseFileName());
    } catch (const TableExport::RefusedTarget &refused) {
        Messages::ShowMessage(this, QString::fromUtf8(refused.what()));
        return;
    }
    std::optional<TableExport::Comparison> comparison;
    const QVector<DashboardRow> rows = rowsShown(false, &comparison);
    if (comparison)
        comparison->totals = m_comparison->totals;
    const TableExport::Comparison *compared = comparison ? &*comparison : nullptr;
    WaitCursor wait(this);
    TableExport::save(name,
                      csv ? TableExport::csv(rows, m_totals, compared)
                          : TableExport::xlsx(rows, exportTitle(), m_totals, compared),
                      FDatabase->DatabaseFileName());
    m_exportFolder = QFileInfo(name).absolutePath();
    m_exportFilter = csv ? CsvFilter : XlsxFilter;
}

QString TFicheTDB::fileBaseName() const
{
    const QString span = periodChoice().chosen(GetSelectedYear(), GetSelectedMonth()).text();
    return m_comparison ? QStringLiteral("Tableau de suivi %1 comparé à %2").arg(span, m_comparison->period)
                        : QStringLiteral("Tableau de suivi %1").arg(span);
}

TablePrint::Document TFicheTDB::printedDocument() const
{
    TablePrint::Document document;
    document.title = exportTitle();
    document.rows = rowsShown(false, &document.comparison);
    document.totals = m_totals;
    if (document.comparison)
        document.comparison->totals = m_comparison->totals;
    return document;
}

void TFicheTDB::btnImprimerClick()
{
    QPrinter printer(QPrinter::HighResolution);
    // The name of the job, and of the file when printed to a PDF file: the
    // export's own name, free of the title's colons and angle brackets.
    printer.setDocName(fileBaseName());
    if (!FileDialogs::choosePrinter(this, printer))
        return;
    WaitCursor wait(this);
    TablePrint::render(printer, printedDocument());
}

void TFicheTDB::btnEvolutionClick()
{
    // The thirteen months up to the chosen one (a month not over yet is
    // last only when it is chosen), then the same thirteen a year earlier:
    // one pass.
    QVector<Period> months;
    const QDate chosen(GetSelectedYear(), GetSelectedMonth(), 1);
    for (int i = 12; i >= 0; --i) {
        const QDate month = chosen.addMonths(-i);
        months << Period{month.year(), month.month(), month.toString(QStringLiteral("yyyy-MM"))};
    }
    for (int i = 0; i < 13; ++i)
        months << Period{months.at(i).year - 1, months.at(i).month, QString()};
    QVector<MonthTotals> totals;
    {
        WaitCursor wait(this);
        totals = monthlyTotals(FDatabase, selection(), months, m_sourceFactory);
    }
    TFicheTrend chart(this);
    chart.SetChartTitle(exportTitle().filtersText());
    for (int i = 0; i < 13; ++i) {
        const MonthTotals &month = totals.at(i), &earlier = totals.at(i + 13);
        chart.AddMonth(month.period.text, month.HT, month.Marge, month.NbDevis, month.NbCommandes);
        chart.AddYearEarlier(earlier.HT, earlier.Marge, earlier.NbDevis, earlier.NbCommandes);
    }
    // Looking at the months changes nothing here: closing the chart does
    // not reload the lists.
    FocusHistory::markPassive(&chart);
    chart.exec();
}
