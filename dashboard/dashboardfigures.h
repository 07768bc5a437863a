#pragma once

#include "dashboard/periods.h"
#include "store/boundstatement.h"

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

class TABSDatabase;
class TAccount;

// What the tracking table is asked to show: the selected indexes of the
// three chained lists, the filter codes and the month.
struct DashboardSelection
{
    bool admin = false;
    QString user;          // the user of the program
    int levelIndex = 0;    // selected index of the level list (0: placeholder)
    int agencyIndex = 0;   // of the agency list
    int userIndex = 0;     // of the user list
    QString levelCode;     // filter codes; empty means no restriction
    QString agencyCode;
    QString userCode;
    QString supplierCode;
    int year = 0;
    int month = 0;
    // The figures cover the months firstMonth to month of the year (year to
    // date: from January); 0: the month alone.
    int firstMonth = 0;

    MonthSpan span() const { return {year, firstMonth > 0 ? firstMonth : month, month}; }
    void setSpan(const MonthSpan &span)
    {
        year = span.year;
        firstMonth = span.first;
        month = span.last;
    }
};

// Drill level from the selected indexes of the level, agency and user
// lists: 0 levels, 1 agencies of a level, 2 users of an agency, 3 one user.
int drillLevel(int levelIndex, int agencyIndex, int userIndex);

// The six sums behind one row, in the order of the account codes.
struct AccountSums
{
    double ht = 0;
    double tva = 0;
    double marge = 0;
    double relances = 0;
    double devis = 0;
    double commandes = 0;

    // By the account's place in Schema::accountCodes().
    double &at(int account)
    {
        double *const all[] = {&ht, &tva, &marge, &relances, &devis, &commandes};
        return *all[account];
    }
};

// One row of the table with its figures and the texts it shows.
struct DashboardRow
{
    QString code;
    QString libelle;
    double HT = 0;
    double TVA = 0;
    double TTC = 0;
    double Marge = 0;
    double MargePct = 0;
    double NbRelances = 0; // truncated toward zero
    double NbDevis = 0; // truncated toward zero
    double NbCommandes = 0; // truncated toward zero
    double Transformation = 0;

    static DashboardRow from(const QString &code, const QString &libelle, const AccountSums &sums);
    // The ten cells, exactly as the table shows them (numbers as `locale`
    // writes them: the user's, or C for a script).
    QStringList cells(const QLocale &locale = QLocale()) const;
};

// The ten column captions of the table.
QStringList dashboardCaptions();

// What to tell when there is no level to show: an ordinary user whose code
// is no level's code, or no level at all. The table itself stays as it is.
QString noLevelNotice(bool admin, const QString &user);

// What to tell when the months of `span` hold no fact of the table's
// accounts at all, so that every figure is 0: which is the last month that
// holds one. Empty when the months hold facts.
QString emptyPeriodNotice(TABSDatabase *database, const MonthSpan &span);

// What to tell when agencies are linked to no level: their facts count in
// no row and in no total of the levels. Empty when every agency has one.
struct UnlinkedAgencies
{
    QString notice;
    QString labels; // a heading, then the first twenty, a line each, by label
};
UnlinkedAgencies unlinkedAgencies(TABSDatabase *database);

// What the totals line covers: the rows the table lists, by the codes of
// their levels, agencies or users.
struct TotalsScope
{
    int drill = 0;
    QStringList rowCodes;
};

// Where a refresh gets its figures from. The table asks for the six sums of
// one request (period or months of a year, supplier, level, agency and user
// filters set on the TAccount) at a time; a source may read everything it needs once, in
// prepare(), inside the refresh's read transaction.
class FigureSource
{
public:
    virtual ~FigureSource() = default;
    virtual void prepare(TABSDatabase *db, const DashboardSelection &selection, int drill);
    // The sums behind the totals line: every fact of the selection's months
    // and supplier that the rows listed cover, each counted once (an agency
    // of two levels listed counts once). By default one grouped statement
    // (totalsStatement); a source that holds the month's sums may put them
    // together instead.
    virtual AccountSums totals(TABSDatabase *db, const DashboardSelection &selection, const TotalsScope &scope);
    // Before the tables of several months of one selection (a trend): a
    // source may read them all at once.
    virtual void prepareMonths(TABSDatabase *db, const DashboardSelection &selection, int drill,
                               const QVector<Period> &months);
    virtual AccountSums figures(TAccount &request) = 0;
};

// One "SELECT SUM" statement per figure, as TAccountSQL builds it: six
// passes over the facts per row, kept as the reference for the other sources.
class PerFigureSource : public FigureSource
{
public:
    void prepare(TABSDatabase *db, const DashboardSelection &selection, int drill) override;
    AccountSums figures(TAccount &request) override;

private:
    TABSDatabase *m_db = nullptr;
};

// The row statement of a drill level.
QString rowStatement(const DashboardSelection &selection, int drill);

// The statement of the totals of `scope`: the sums of the six accounts over
// the facts the rows cover (level rows: the agencies linked to any of the
// levels listed; agency rows: the agencies listed; user rows: the users
// listed, within the selected agency; one user: that user, within it).
// Empty when the rows cover nothing.
BoundStatement totalsStatement(const DashboardSelection &selection, const TotalsScope &scope);

// Builds the table: the row statement, then the figures of each row, all in
// one read transaction so that the whole table shows one state of the
// database. `onRow` receives each row as soon as it is complete; an engine
// error ends the build there (the rows already delivered stay delivered).
// Given `totals`, the totals line is computed last in the same transaction
// (labelled "Total").
void buildDashboard(TABSDatabase *db, const DashboardSelection &selection, FigureSource &source,
                    const std::function<void(const DashboardRow &)> &onRow, DashboardRow *totals = nullptr);

// The label of the totals line.
QString totalsLabel();

// The source the program uses: one grouped pass per refresh
// (GroupedFigureSource, dashboard/groupedfigures.h).
std::unique_ptr<FigureSource> defaultFigureSource();

// Makes a new source for a refresh, or for a trend.
using FigureSourceFactory = std::function<std::unique_ptr<FigureSource>()>;
