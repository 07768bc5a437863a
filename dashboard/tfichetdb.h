#pragma once

#include "dashboard/comparison.h"
#include "dashboard/dashboardfigures.h"
#include "dashboard/tableexport.h"
#include "dashboard/tableprint.h"

#include <QDate>
#include <QDialog>
#include <QScopedPointer>
#include <QVector>

#include <memory>
#include <optional>

namespace Ui {
class TFicheTDB;
}
class QComboBox;
class QTreeWidgetItem;
class TotalsLine;
class TABSDatabase;
class Activation;

// The tracking table ("Tableau de suivi"): one month of figures by level,
// by agency of a level, or by user of an agency, narrowed by three chained
// lists and a supplier list.
class TFicheTDB : public QDialog
{
    Q_OBJECT
public:
    explicit TFicheTDB(QWidget *owner);
    ~TFicheTDB() override;

    // The database; while the window lives, a server's slow answer at the
    // end of a transaction is said on its status line.
    void SetDatabase(TABSDatabase *database);
    void SetAdmin(bool admin) { FAdmin = admin; }
    void SetUser(const QString &user) { FUser = user; }

    // The month list as it would be built on `today` (the constructor uses
    // the current date).
    void FillPeriods(const QDate &today);
    int GetSelectedYear() const;
    int GetSelectedMonth() const;
    int GetDrillLevel() const;

    // What the table shows now: selected indexes, filter codes, month.
    DashboardSelection selection() const;
    // The span and the comparison chosen beside the month list.
    PeriodChoice periodChoice() const;

    // Replaces where refreshes get their figures (the default reads them
    // from the database). The window asks the factory for one source and
    // keeps it for its later refreshes.
    void setFigureSourceFactory(FigureSourceFactory factory);

    const Activation *activation() const { return m_activation; }

    // The rows in the order the table shows them now.
    QVector<DashboardRow> shownRows() const;
    // The totals line of the last refresh, when it was completed.
    const std::optional<DashboardRow> &totals() const { return m_totals; }
    // The title line of an export of what the table shows.
    TableExport::Title exportTitle() const;
    // What the print and the PDF show: title, rows as shown, totals.
    // "Tableau de suivi 2026-12": the name proposed for an export or a printed file.
    QString fileBaseName() const;
    TablePrint::Document printedDocument() const;

public slots:
    void FormActivate();
    void cblNiveauChange();
    void cblAgenceChange();
    void cblUtilisateurChange();
    void cblFournisseurChange();
    void cblPeriodeChange();
    // The month alone or from January: the comparisons offered follow.
    void cblEtendueChange();
    void cblComparaisonChange();

    void LoadLevels();
    void LoadAgencies();
    void LoadUsers();
    void LoadSuppliers();
    void RefreshData();

    // Saves the table as shown, as a workbook or a CSV file.
    void btnExporterClick();
    // Opens the chart of the thirteen months of the month list.
    void btnEvolutionClick();
    // Prints the table as shown (the print dialog offers a PDF file too).
    void btnImprimerClick();
    // The selected rows (all rows when none is) with the header, on the
    // clipboard as tab-separated text and as an HTML table.
    void copyRows();
    // A double click on a row: its level, agency or user is chosen in its
    // list, as if the user had chosen it there. A one-user row does nothing.
    void lvDataDblClick(QTreeWidgetItem *item);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FillPeriods();
    void FormDestroy();
    // Places the table and the buttons on a page of `size`.
    void layOut(QSize size);
    void loadList(QComboBox *combo, const QString &placeholder, const QString &sql);
    void appendRow(const ComparedRow &row);
    // The comparisons the chosen span offers, the chosen one kept if it is.
    void FillComparisons();
    // Every column as wide as its caption and its longest text, and at
    // least as wide as the form says.
    void fitColumns();
    void resetSort();
    // The rows as the table shows them now, or only the selected ones.
    // Given `comparison`, the same rows in the period they are compared
    // with, when they are.
    QVector<DashboardRow> rowsShown(bool selectedOnly,
                                    std::optional<TableExport::Comparison> *comparison = nullptr) const;

    const QScopedPointer<Ui::TFicheTDB> m_ui;
    TABSDatabase *FDatabase = nullptr;
    QString m_statusBeforeWait;
    QString FUser;
    bool FAdmin = false;
    UnlinkedAgencies m_unlinked; // said on the levels' rows
    QString FFilterLevel;
    QString FFilterAgency;
    QString FFilterUser;
    QString FFilterSupplier;
    int FPeriodYears[13] = {};
    int FPeriodMonths[13] = {};

    FigureSourceFactory m_sourceFactory;
    std::unique_ptr<FigureSource> m_source;
    Activation *m_activation = nullptr;
    QWidget *m_page = nullptr; // what holds the controls
    // The rows of the last refresh, in the row statement's order, and the
    // drill level they stand for.
    QVector<DashboardRow> m_rows;
    int m_rowsDrill = 0;
    std::optional<DashboardRow> m_totals;
    // The table's rows and totals in the period they are compared with,
    // in the order of m_rows; none without a comparison.
    std::optional<TableExport::Comparison> m_comparison;
    TotalsLine *m_totalsLine = nullptr;
    QString m_exportFolder;
    QString m_exportFilter;
};
