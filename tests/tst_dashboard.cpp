// The tracking table: statements, cascade of the lists, drill levels,
// figures and their texts.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "ui/activation.h"
#include "dashboard/dashboardfigures.h"
#include "dashboard/dashboardstatements.h"
#include "dashboard/groupedfigures.h"
#include "dashboard/periods.h"
#include "dashboard/tfichetdb.h"
#include "store/taccount.h"
#include "store/taccountsql.h"
#include "store/dberror.h"
#include "store/tabsquery.h"
#include "ui/itemcodes.h"
#include "ui/numbertext.h"
#include "dashboard/totalsline.h"

#include <QComboBox>
#include <QTreeWidget>
#include <QtTest>

namespace {

const int Y = QDate::currentDate().year();
const int M = QDate::currentDate().month();

// What a refresh asks a database file before it reuses the month's sums; a
// server is not asked.
QStringList versionCheck()
{
    return {TestDatabase::onServer() ? QStringLiteral("SELECT pg_current_snapshot()::text AS instantane")
                                     : QStringLiteral("PRAGMA data_version")};
}

// The filters of a request for an account; "-" leaves one off.
void setFilters(TAccount &account, const QString &level, const QString &agency, const QString &user,
                const QString &supplier)
{
    if (level != QLatin1String("-"))
        account.SetLevelCode(level);
    if (agency != QLatin1String("-"))
        account.SetAgencyCode(agency);
    if (user != QLatin1String("-"))
        account.SetUserCode(user);
    if (supplier != QLatin1String("-"))
        account.SetSupplierCode(supplier);
}
} // namespace

class TestDashboard : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void accountStatement_data();
    void accountStatement();
    void accountValue_data();
    void accountValue();

    void rowStatements_data();
    void rowStatements();
    void drillRules_data();
    void drillRules();
    void monthList_data();
    void monthList();

    void derivedFigures_data();
    void derivedFigures();
    void numberTexts_data();
    void numberTexts();

    void openingAsAdministrator();
    void openingAsUser_data();
    void openingAsUser();
    void cascade();
    void pickRunsItsCascadeOnce_data();
    void pickRunsItsCascadeOnce();
    void escapeChangesNothing_data();
    void escapeChangesNothing();
    void doubleClickDrills_data();
    void doubleClickDrills();
    void picksShowTheirRows_data();
    void picksShowTheirRows();
    void comparisonShown_data();
    void comparisonShown();
    void refreshReadsOneState();
    void errorDuringRefreshRestoresCursor();
    void errorDuringActivationShownOnce();
    void holdersDoNotOutliveTheirEntries();
};

void TestDashboard::accountStatement_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("agency");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("supplier");
    QTest::addColumn<QString>("expected");
    // "-" leaves the filter off.
    QTest::newRow("no filter") << "-" << "-" << "-" << "-"
                               << "SELECT SUM(valeur) as somme FROM data WHERE code_account  = 'NB_RELANCES' AND "
                                  "period_year  = 2026 AND period_month = 7";
    QTest::newRow("level") << "L1" << "-" << "-" << "-"
                           << "SELECT SUM(valeur) as somme FROM data WHERE code_account  = 'NB_RELANCES' AND "
                              "period_year  = 2026 AND period_month = 7 AND dim_agence  in  ( select distinct agence "
                              "   from niveau_agence    where niveau = 'L1' )";
    QTest::newRow("empty level code") << "" << "-" << "-" << "-"
                                      << "SELECT SUM(valeur) as somme FROM data WHERE code_account  = 'NB_RELANCES' "
                                         "AND period_year  = 2026 AND period_month = 7";
    QTest::newRow("level and agency")
        << "L1" << "A1" << "-" << "-"
        << "SELECT SUM(valeur) as somme FROM data WHERE code_account  = 'NB_RELANCES' AND period_year  = 2026 AND "
           "period_month = 7 AND dim_agence  in  ( select distinct agence    from niveau_agence    where niveau = "
           "'L1' ) AND dim_agence  = 'A1'";
    QTest::newRow("empty agency, user, supplier")
        << "-" << "" << "" << ""
        << "SELECT SUM(valeur) as somme FROM data WHERE code_account  = 'NB_RELANCES' AND period_year  = 2026 AND "
           "period_month = 7 AND dim_agence  = '' AND dim_utilisateur  = '' AND dim_fournisseur  = ''";
    QTest::newRow("quotes doubled")
        << "L'1" << "A'1" << "U'1" << "F'1"
        << "SELECT SUM(valeur) as somme FROM data WHERE code_account  = 'NB_RELANCES' AND period_year  = 2026 AND "
           "period_month = 7 AND dim_agence  in  ( select distinct agence    from niveau_agence    where niveau = "
           "'L''1' ) AND dim_agence  = 'A''1' AND dim_utilisateur  = 'U''1' AND dim_fournisseur  = 'F''1'";
}

void TestDashboard::accountStatement()
{
    QFETCH(QString, level);
    QFETCH(QString, agency);
    QFETCH(QString, user);
    QFETCH(QString, supplier);
    QFETCH(QString, expected);

    TestDatabase file;
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    StatementLog log(&db);

    TAccount account;
    account.SetPeriod(2026, 7);
    account.SetAccountCode(QStringLiteral("NB_RELANCES"));
    setFilters(account, level, agency, user, supplier);
    TAccountSQL sql;
    sql.SetDatabase(&db);
    sql.SetAccount(&account);
    QCOMPARE(sql.GetValue(), 0.0);
    QCOMPARE(log.statements(), QStringList{expected});
}

void TestDashboard::accountValue_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("agency");
    QTest::addColumn<QString>("supplier");
    QTest::addColumn<double>("expected");
    // HT this month: A1 200, A'2 100.25 + 0, A3 1000.
    QTest::newRow("whole month") << "-" << "-" << "-" << 1300.25;
    QTest::newRow("level with two agencies") << "U1" << "-" << "-" << 300.25;
    QTest::newRow("agency shared by two levels") << "U'2" << "-" << "-" << 100.25;
    QTest::newRow("level without agency") << "U3" << "-" << "-" << 0.0;
    QTest::newRow("agency outside its level") << "U'2" << "A1" << "-" << 0.0;
    QTest::newRow("agency inside its level") << "U1" << "A1" << "-" << 200.0;
    QTest::newRow("empty agency code") << "-" << "" << "-" << 0.0;
    QTest::newRow("supplier") << "-" << "-" << "F1" << 1200.0;
    QTest::newRow("injection is a literal") << "x' OR '1'='1" << "-" << "-" << 0.0;
}

void TestDashboard::accountValue()
{
    QFETCH(QString, level);
    QFETCH(QString, agency);
    QFETCH(QString, supplier);
    QFETCH(double, expected);

    TestDatabase file;
    fillOrganisation(file);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    TAccount account;
    account.SetPeriod(Y, M);
    account.SetAccountCode(QStringLiteral("MONTANT_DEVIS_VENTE_HT"));
    setFilters(account, level, agency, QStringLiteral("-"), supplier);
    TAccountSQL sql;
    sql.SetDatabase(&db);
    sql.SetAccount(&account);
    QCOMPARE(sql.GetValue(), expected);
    // Asked twice, the same answer.
    QCOMPARE(sql.GetValue(), expected);
}

void TestDashboard::rowStatements_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("expected");
    QTest::newRow("levels, administrator") << DashboardStatements::levels(true, "U1")
                                           << "SELECT code, libelle FROM dim_niveau ORDER BY libelle ASC";
    QTest::newRow("levels, user") << DashboardStatements::levels(false, "U1")
                                  << "SELECT code, libelle FROM dim_niveau WHERE code = 'U1' ORDER BY libelle ASC";
    QTest::newRow("agencies") << DashboardStatements::agencies("U1")
                              << "SELECT a.code as code, a.libelle as libelle FROM dim_agence a, niveau_agence n "
                                 "WHERE a.code = n.agence AND n.niveau = 'U1' ORDER BY libelle ASC";
    QTest::newRow("users of agency") << DashboardStatements::usersOfAgency("A1", 2027, 1)
                                     << "SELECT distinct u.code, u.libelle FROM dim_utilisateur u, data d WHERE "
                                        "d.dim_agence = 'A1' AND u.code  = d.dim_utilisateur AND d.period_year \t= "
                                        "2027 AND d.period_month\t= 1 ORDER BY u.libelle ASC";
    QTest::newRow("one user") << DashboardStatements::oneUser("A1", "U4")
                              << "SELECT distinct u.code, u.libelle FROM dim_utilisateur u, data d WHERE d.dim_agence "
                                 "= 'A1' AND u.code  = d.dim_utilisateur AND u.code = 'U4' ORDER BY u.libelle ASC";
    QTest::newRow("suppliers") << DashboardStatements::suppliers()
                               << "SELECT code, libelle FROM dim_fournisseur ORDER BY libelle ASC";
}

void TestDashboard::rowStatements()
{
    QFETCH(QString, statement);
    QFETCH(QString, expected);
    QCOMPARE(statement, expected);
}

void TestDashboard::drillRules_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("drill");
    QTest::newRow("nothing chosen") << 0 << 0 << 0 << 0;
    QTest::newRow("level") << 2 << 0 << 0 << 1;
    QTest::newRow("level and agency") << 1 << 3 << 0 << 2;
    QTest::newRow("level, agency, user") << 1 << 1 << 4 << 3;
    QTest::newRow("stale user, no agency") << 1 << 0 << 2 << 0;
    QTest::newRow("user without level") << 0 << 0 << 1 << 0;
    QTest::newRow("agency without level") << 0 << 1 << 0 << 0;
    QTest::newRow("nothing selected") << -1 << -1 << -1 << 0;
}

void TestDashboard::drillRules()
{
    QFETCH(int, n);
    QFETCH(int, a);
    QFETCH(int, u);
    QFETCH(int, drill);
    QCOMPARE(drillLevel(n, a, u), drill);
}

void TestDashboard::monthList_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("31 March") << QDate(2026, 3, 31)
                              << QStringList{"2026-03", "2026-02", "2026-01", "2025-12", "2025-11", "2025-10", "2025-09",
                                             "2025-08", "2025-07", "2025-06", "2025-05", "2025-04", "2025-03"};
    QTest::newRow("January") << QDate(2027, 1, 15)
                             << QStringList{"2027-01", "2026-12", "2026-11", "2026-10", "2026-09", "2026-08", "2026-07",
                                            "2026-06", "2026-05", "2026-04", "2026-03", "2026-02", "2026-01"};
    QTest::newRow("31 December") << QDate(2026, 12, 31)
                                 << QStringList{"2026-12", "2026-11", "2026-10", "2026-09", "2026-08", "2026-07",
                                                "2026-06", "2026-05", "2026-04", "2026-03", "2026-02", "2026-01",
                                                "2025-12"};
}

void TestDashboard::monthList()
{
    QFETCH(QDate, today);
    QFETCH(QStringList, expected);

    TFicheTDB window(nullptr);
    window.FillPeriods(today);
    auto *combo = window.findChild<QComboBox *>("cblPeriode");
    QCOMPARE(comboTexts(combo), expected);
    QCOMPARE(combo->currentIndex(), 0);
    for (int i = 0; i < 13; ++i) {
        combo->setCurrentIndex(i);
        QCOMPARE(QStringLiteral("%1-%2").arg(window.GetSelectedYear()).arg(window.GetSelectedMonth(), 2, 10, QLatin1Char('0')),
                 expected.at(i));
    }
    combo->setCurrentIndex(-1);
    QCOMPARE(window.GetSelectedMonth(), today.month());
}

void TestDashboard::derivedFigures_data()
{
    QTest::addColumn<QList<double>>("sums");
    QTest::addColumn<QStringList>("cells");
    // Under the French locale, the decimal comma.
    QTest::newRow("decimal comma") << QList<double>{1234.5, 246.9, -61.725, 0, 3, 1}
                                   << QStringList{"1234,50", "246,90", "1481,40", "-61,73", "-5,00%", "0", "3", "1", "33,33%"};
    QTest::newRow("negative margin")
        << QList<double>{200, 40, -50, 0, 0, 0}
        << QStringList{"200.00", "40.00", "240.00", "-50.00", "-25.00%", "0", "0", "0", "0.00%"};
    QTest::newRow("no amount, some margin")
        << QList<double>{0, 0, 30, 0, 0, 0} << QStringList{"0.00", "0.00", "0.00", "30.00", "0.00%", "0", "0", "0", "0.00%"};
    QTest::newRow("orders without quotes")
        << QList<double>{0, 0, 0, 0, 0, 5} << QStringList{"0.00", "0.00", "0.00", "0.00", "0.00%", "0", "0", "5", "0.00%"};
    QTest::newRow("more orders than quotes")
        << QList<double>{0, 0, 0, 0, 2, 3} << QStringList{"0.00", "0.00", "0.00", "0.00", "0.00%", "0", "2", "3", "150.00%"};
    QTest::newRow("counts truncated, rate from truncated counts")
        << QList<double>{0, 0, 0, 2.9, 2.9, 1.9}
        << QStringList{"0.00", "0.00", "0.00", "0.00", "0.00%", "2", "2", "1", "50.00%"};
    QTest::newRow("negative counts truncated toward zero")
        << QList<double>{0, 0, 0, -2.9, 0, 0} << QStringList{"0.00", "0.00", "0.00", "0.00", "0.00%", "-2", "0", "0", "0.00%"};
    QTest::newRow("TTC from unrounded amounts")
        << QList<double>{0.004, 0.004, 0, 0, 0, 0}
        << QStringList{"0.00", "0.00", "0.01", "0.00", "0.00%", "0", "0", "0", "0.00%"};
    // Counts past 2^31 as the engine sums them, and the rate from them.
    QTest::newRow("counts past 2^31")
        << QList<double>{0, 0, 0, 5e9, 6442450944, 2147483648}
        << QStringList{"0.00", "0.00", "0.00", "0.00", "0.00%", "5000000000", "6442450944", "2147483648", "33.33%"};
}

void TestDashboard::derivedFigures()
{
    QFETCH(QList<double>, sums);
    QFETCH(QStringList, cells);
    if (cells.first().contains(QLatin1Char(',')))
        QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    const DashboardRow row =
        DashboardRow::from("C", "Ligne", AccountSums{sums[0], sums[1], sums[2], sums[3], sums[4], sums[5]});
    QCOMPARE(row.cells(), QStringList{"Ligne"} + cells);
}

// The one way figures are written: the table's amounts and counts, and the
// charts' value marks, in French and in C.
void TestDashboard::numberTexts_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("amount");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("mark");
    const double inf = std::numeric_limits<double>::infinity();
    const QString space(QChar(0x202F));
    QTest::newRow("rounds to zero from below") << -0.004 << "fr_FR" << "0,00" << "0" << "0,00";
    QTest::newRow("rounds to zero from above") << 0.004 << "C" << "0.00" << "0" << "0.00";
    QTest::newRow("rounds away from zero") << -0.006 << "C" << "-0.01" << "0" << "-0.01";
    QTest::newRow("negative zero") << -0.0 << "C" << "0.00" << "0" << "0";
    QTest::newRow("thousands") << 1234567.5 << "fr_FR" << "1234567,50" << "1234567"
                               << "1" + space + "234" + space + "567,50";
    QTest::newRow("whole") << -1234567.0 << "C" << "-1234567.00" << "-1234567" << "-1234567";
    QTest::newRow("past fifteen integer digits") << 1e15 << "C" << "1.00000000000000E+015" << "1.00000000000000E+015"
                                                 << "1e+15";
    QTest::newRow("huge") << -1.5e300 << "fr_FR" << "-1,50000000000000E+300" << "-1,50000000000000E+300"
                          << "-1,5E+300";
    QTest::newRow("infinity") << -inf << "fr_FR" << "-inf" << "-inf" << "-inf";
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "C" << "nan" << "nan" << "nan";
}

void TestDashboard::numberTexts()
{
    QFETCH(double, value);
    QFETCH(QString, locale);
    QFETCH(QString, amount);
    QFETCH(QString, count);
    QFETCH(QString, mark);
    QCOMPARE(Format::amount(value, QLocale(locale)), amount);
    QCOMPARE(Format::count(value, QLocale(locale)), count);
    QCOMPARE(Format::mark(value, QLocale(locale)), mark);
}

void TestDashboard::openingAsAdministrator()
{
    TestDatabase file;
    fillOrganisation(file);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    StatementLog log(&db);
    ScriptedMessages boxes;

    TFicheTDB window(nullptr);
    window.SetDatabase(&db);
    window.SetAdmin(true);
    window.SetUser(QString());
    window.show();
    QTRY_COMPARE(window.activation()->count(), 1);

    QCOMPARE(comboTexts(window.findChild<QComboBox *>("cblNiveau")),
             (QStringList{"<Tous>", "Secteur Nord", "Secteur Vide", "Secteur de l'Ouest"}));
    QCOMPARE(comboTexts(window.findChild<QComboBox *>("cblAgence")), QStringList{"<toutes>"});
    QCOMPARE(comboTexts(window.findChild<QComboBox *>("cblUtilisateur")), QStringList{"<tous>"});
    QCOMPARE(comboTexts(window.findChild<QComboBox *>("cblFournisseur")),
             (QStringList{"<Tous>", "Fournisseur Un", "Fournisseur d'Azur"}));

    // The level rows' figures come from one grouped pass over the month
    // (without an index, over its rows) and the level-agency links.
    GroupedFigureSource::Scope month;
    month.year = Y;
    month.month = M;
    const QStringList figures = TestDatabase::onServer()
        ? QStringList{GroupedFigureSource::passStatement(month, {GroupedFigureSource::Reading::Server, {}}).text}
        : QStringList{GroupedFigureSource::indexesStatement(),
                      GroupedFigureSource::passStatement(month, {GroupedFigureSource::Reading::Rows, {}}).text};
    QCOMPARE(log.statements(),
             (QStringList{DashboardStatements::levels(true, QString()), DashboardStatements::unlinkedAgencies(),
                          DashboardStatements::suppliers(), DashboardStatements::levels(true, QString())}
              + versionCheck() + figures + QStringList{GroupedFigureSource::linksStatement()}));

    auto *table = window.findChild<QTreeWidget *>("lvData");
    // Level rows; the shared agency A'2 counts in both of its levels.
    QCOMPARE(tableRows(table),
             (QList<QStringList>{
                 {"Secteur Nord", "300.25", "60.05", "360.30", "-8.00", "-2.66%", "1", "6", "6", "100.00%"},
                 {"Secteur Vide", "0.00", "0.00", "0.00", "0.00", "0.00%", "0", "0", "0", "0.00%"},
                 {"Secteur de l'Ouest", "100.25", "20.05", "120.30", "42.00", "41.90%", "-1", "4", "3", "75.00%"},
             }));
    QVERIFY(boxes.shown().isEmpty());
    QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);
}

void TestDashboard::openingAsUser_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QStringList>("levels");
    QTest::newRow("own level") << "U'2" << QStringList{"<Tous>", "Secteur de l'Ouest"};
    QTest::newRow("no level") << "U4" << QStringList{"<Tous>"};
    QTest::newRow("injection attempt") << "x' OR '1'='1" << QStringList{"<Tous>"};
    QTest::newRow("administrator code in lower case") << "vexor" << QStringList{"<Tous>"};
}

void TestDashboard::openingAsUser()
{
    QFETCH(QString, user);
    QFETCH(QStringList, levels);

    OpenedTable fixture(false, user);
    QVERIFY(fixture.opened);
    auto &[file, db, boxes, window, opened] = fixture;
    QCOMPARE(comboTexts(window.findChild<QComboBox *>("cblNiveau")), levels);
    QCOMPARE(firstColumn(window.findChild<QTreeWidget *>("lvData")), levels.mid(1));
    QVERIFY(boxes.shown().isEmpty());
}

// The lists follow the level picked; the month's sums of the first refresh
// serve again: the file only tells that nobody wrote since (a server is
// read again). The rows are picksShowTheirRows'.
void TestDashboard::cascade()
{
    OpenedTable fixture(true);
    QVERIFY(fixture.opened);
    StatementLog log(&fixture.db);
    QComboBox *agencies = fixture.combo("cblAgence");
    QVERIFY(pickWithMouse(fixture.combo("cblNiveau"), 1));
    QCOMPARE(comboTexts(agencies), (QStringList{"<Toutes>", "Agence d'Orléans", "Agence de Brest"}));
    QCOMPARE(agencies->currentIndex(), 0);
    if (!TestDatabase::onServer())
        QCOMPARE(log.statements().mid(2), QStringList{QStringLiteral("PRAGMA data_version")});
    QVERIFY(pickWithMouse(fixture.combo("cblNiveau"), 0));
    QCOMPARE(comboTexts(agencies), QStringList{"<Toutes>"});
    QVERIFY(fixture.boxes.shown().isEmpty());
}

namespace {

// The statements that fill a list or give the rows of the table, in the
// order they ran; the figures' own statements are left out.
QStringList listStatements(const StatementLog &log)
{
    QStringList out;
    for (const QString &sql : log.statements())
        if (sql.startsWith(QLatin1String("SELECT code, libelle")) || sql.startsWith(QLatin1String("SELECT a.code as code"))
            || sql.startsWith(QLatin1String("SELECT distinct u.code")))
            out << sql;
    return out;
}

using Picks = QList<QPair<QString, int>>; // list name, entry

bool pick(QComboBox *combo, int index, bool mouse)
{
    return mouse ? pickWithMouse(combo, index) : pickWithKeys(combo, index);
}

} // namespace

void TestDashboard::pickRunsItsCascadeOnce_data()
{
    QTest::addColumn<bool>("mouse");
    QTest::addColumn<Picks>("before");
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("code");          // the filter it sets
    QTest::addColumn<QStringList>("statements"); // loader, then the rows
    QTest::addColumn<QStringList>("rows");      // the first column after it

    namespace S = DashboardStatements;
    const QDate before = QDate(Y, M, 1).addMonths(-1);
    const QStringList levelRows{"Secteur Nord", "Secteur Vide", "Secteur de l'Ouest"};
    for (const bool mouse : {true, false}) {
        const char *how = mouse ? "mouse" : "keys";
        QTest::addRow("level, %s", how) << mouse << Picks{} << "cblNiveau" << 1 << "U1"
                                        << QStringList{S::agencies("U1"), S::agencies("U1")}
                                        << QStringList{"Agence d'Orléans", "Agence de Brest"};
        QTest::addRow("every level again, %s", how) << mouse << Picks{{"cblNiveau", 1}} << "cblNiveau" << 0 << ""
                                                    << QStringList{S::levels(true, QString())} << levelRows;
        QTest::addRow("agency, %s", how) << mouse << Picks{{"cblNiveau", 1}} << "cblAgence" << 2 << "A'2"
                                         << QStringList{S::usersOfAgency("A'2", Y, M), S::usersOfAgency("A'2", Y, M)}
                                         << QStringList{"Denis Roux", "Émile Faure"};
        QTest::addRow("user, %s", how) << mouse << Picks{{"cblNiveau", 1}, {"cblAgence", 2}} << "cblUtilisateur" << 2
                                       << "U5" << QStringList{S::oneUser("A'2", "U5")} << QStringList{"Émile Faure"};
        QTest::addRow("supplier, %s", how) << mouse << Picks{} << "cblFournisseur" << 2 << "F'2"
                                           << QStringList{S::levels(true, QString())} << levelRows;
        QTest::addRow("supplier under a level, %s", how)
            << mouse << Picks{{"cblNiveau", 1}} << "cblFournisseur" << 1 << "F1" << QStringList{S::agencies("U1")}
            << QStringList{"Agence d'Orléans", "Agence de Brest"};
        QTest::addRow("month, %s", how) << mouse << Picks{{"cblNiveau", 1}, {"cblAgence", 1}} << "cblPeriode" << 1
                                        << ""
                                        << QStringList{S::usersOfAgency("A1", before.year(), before.month()),
                                                       S::usersOfAgency("A1", before.year(), before.month())}
                                        << QStringList{"Chloé Petit"};
    }
}

// A choice made in an opened list stays, and runs its own steps once:
// the focus coming back from the list is no return to the window.
void TestDashboard::pickRunsItsCascadeOnce()
{
    QFETCH(bool, mouse);
    QFETCH(Picks, before);
    QFETCH(QString, list);
    QFETCH(int, index);
    QFETCH(QString, code);
    QFETCH(QStringList, statements);
    QFETCH(QStringList, rows);

    OpenedTable fixture(true);
    QVERIFY(fixture.opened);
    TFicheTDB &window = fixture.window;
    for (const auto &[name, entry] : before)
        QVERIFY(pick(fixture.combo(qPrintable(name)), entry, mouse));
    QMap<QString, int> indexes;
    for (const char *name : {"cblNiveau", "cblAgence", "cblUtilisateur", "cblFournisseur", "cblPeriode"})
        indexes[QLatin1String(name)] = fixture.combo(name)->currentIndex();
    const int activations = window.activation()->count();

    StatementLog log(&fixture.db);
    QComboBox *combo = fixture.combo(qPrintable(list));
    QVERIFY(pick(combo, index, mouse));
    QTest::qWait(50);

    QCOMPARE(window.activation()->count(), activations);
    QCOMPARE(listStatements(log), statements);
    QCOMPARE(combo->currentIndex(), index);
    const DashboardSelection shown = window.selection();
    const QMap<QString, QString> filters{{"cblNiveau", shown.levelCode},
                                         {"cblAgence", shown.agencyCode},
                                         {"cblUtilisateur", shown.userCode},
                                         {"cblFournisseur", shown.supplierCode}};
    if (filters.contains(list))
        QCOMPARE(filters.value(list), code);
    // The lists before it in the chain keep their choice.
    if (list != QLatin1String("cblNiveau"))
        QCOMPARE(fixture.combo("cblNiveau")->currentIndex(), indexes.value("cblNiveau"));
    if (list == QLatin1String("cblFournisseur") || list == QLatin1String("cblPeriode"))
        QCOMPARE(fixture.combo("cblAgence")->currentIndex(), indexes.value("cblAgence"));
    if (list != QLatin1String("cblFournisseur"))
        QCOMPARE(fixture.combo("cblFournisseur")->currentIndex(), indexes.value("cblFournisseur"));
    QCOMPARE(firstColumn(fixture.table()), rows);
    QVERIFY(fixture.boxes.shown().isEmpty());
}

void TestDashboard::escapeChangesNothing_data()
{
    QTest::addColumn<QString>("list");
    for (const char *name : {"cblNiveau", "cblAgence", "cblUtilisateur", "cblFournisseur", "cblPeriode"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

// Opening a list and closing it with Escape runs nothing.
void TestDashboard::escapeChangesNothing()
{
    QFETCH(QString, list);

    OpenedTable fixture(true);
    QVERIFY(fixture.opened);
    QVERIFY(pickWithMouse(fixture.combo("cblNiveau"), 1));
    QVERIFY(pickWithMouse(fixture.combo("cblAgence"), 2));
    QVERIFY(pickWithMouse(fixture.combo("cblUtilisateur"), 1));
    const QList<QStringList> shownBefore = tableRows(fixture.table());
    QStringList indexesBefore;
    for (QComboBox *combo : fixture.window.findChildren<QComboBox *>())
        indexesBefore << combo->objectName() + QLatin1Char('=') + QString::number(combo->currentIndex());
    const int activations = fixture.window.activation()->count();

    StatementLog log(&fixture.db);
    QVERIFY(openAndEscape(fixture.combo(qPrintable(list))));
    QTest::qWait(50);

    QCOMPARE(log.statements(), QStringList());
    QCOMPARE(fixture.window.activation()->count(), activations);
    QStringList indexesAfter;
    for (QComboBox *combo : fixture.window.findChildren<QComboBox *>())
        indexesAfter << combo->objectName() + QLatin1Char('=') + QString::number(combo->currentIndex());
    QCOMPARE(indexesAfter, indexesBefore);
    QCOMPARE(tableRows(fixture.table()), shownBefore);
}

void TestDashboard::doubleClickDrills_data()
{
    QTest::addColumn<QStringList>("before"); // list=code, picked first
    QTest::addColumn<QString>("row");        // the row double-clicked
    QTest::addColumn<QString>("list");       // where the same choice is made
    QTest::addColumn<QString>("code");       // empty: nothing happens
    QTest::newRow("a level row") << QStringList{} << "Secteur Nord" << "cblNiveau" << "U1";
    QTest::newRow("another level row") << QStringList{} << "Secteur de l'Ouest" << "cblNiveau" << "U'2";
    QTest::newRow("an agency row") << QStringList{"cblNiveau=U1"} << "Agence de Brest" << "cblAgence" << "A'2";
    QTest::newRow("a user row") << QStringList{"cblNiveau=U1", "cblAgence=A'2"} << "Émile Faure" << "cblUtilisateur"
                                << "U5";
    QTest::newRow("the one-user row") << QStringList{"cblNiveau=U1", "cblAgence=A'2", "cblUtilisateur=U5"}
                                      << "Émile Faure" << "" << "";
}

// A double click on a row makes the same choice as its list, with the same
// statements, lists and rows after it; the one-user row does nothing.
void TestDashboard::doubleClickDrills()
{
    QFETCH(QStringList, before);
    QFETCH(QString, row);
    QFETCH(QString, list);
    QFETCH(QString, code);

    const auto state = [](OpenedTable &open) {
        QStringList out;
        for (const char *name : {"cblNiveau", "cblAgence", "cblUtilisateur", "cblFournisseur", "cblPeriode"})
            out << QString::fromLatin1(name) + QLatin1Char('=') + open.combo(name)->currentText() + QLatin1Char('/')
                    + comboTexts(open.combo(name)).join(QLatin1Char(','));
        return out + joinedRows(open.table());
    };
    const auto prepare = [&](OpenedTable &open) {
        for (const QString &pick : before)
            QVERIFY(pickCodeWithMouse(open.combo(qPrintable(pick.section('=', 0, 0))), pick.section('=', 1)));
    };

    OpenedTable clicked(true);
    QVERIFY(clicked.opened);
    prepare(clicked);
    const QStringList untouched = state(clicked);
    StatementLog clickLog(&clicked.db);
    const QList<QTreeWidgetItem *> found = clicked.table()->findItems(row, Qt::MatchExactly, 0);
    QCOMPARE(found.size(), 1);
    doubleClickRow(clicked.table(), found.first());
    settle(&clicked.window);

    if (code.isEmpty()) {
        QCOMPARE(clickLog.statements(), QStringList());
        QCOMPARE(state(clicked), untouched);
        return;
    }
    OpenedTable picked(true);
    QVERIFY(picked.opened);
    prepare(picked);
    StatementLog pickLog(&picked.db);
    QVERIFY(pickCodeWithMouse(picked.combo(qPrintable(list)), code));

    // On a server, any commit of the other tests running on it starts a new
    // pass in one window and not in the other: passes are compared on a
    // file, where nothing else writes.
    const auto withoutPasses = [](QStringList statements) {
        if (TestDatabase::onServer())
            statements.removeIf([](const QString &sql) { return sql.contains(QLatin1String("AS somme FROM data")); });
        return statements;
    };
    QCOMPARE(withoutPasses(clickLog.statements()), withoutPasses(pickLog.statements()));
    QCOMPARE(state(clicked), state(picked));
    QVERIFY(state(clicked) != untouched);
    QCOMPARE(clicked.window.activation()->count(), 1);
}

void TestDashboard::picksShowTheirRows_data()
{
    QTest::addColumn<Picks>("picks");
    QTest::addColumn<QString>("user");         // the user list's text after them
    QTest::addColumn<QStringList>("users");    // its entries, when given
    QTest::addColumn<QList<QStringList>>("rows");
    const QList<QStringList> levelRows{
        {"Secteur Nord", "300.25", "60.05", "360.30", "-8.00", "-2.66%", "1", "6", "6", "100.00%"},
        {"Secteur Vide", "0.00", "0.00", "0.00", "0.00", "0.00%", "0", "0", "0", "0.00%"},
        {"Secteur de l'Ouest", "100.25", "20.05", "120.30", "42.00", "41.90%", "-1", "4", "3", "75.00%"}};
    QTest::newRow("a level's agencies") << Picks{{"cblNiveau", 1}} << "<tous>" << QStringList{"<tous>"}
                                         << QList<QStringList>{
                                                {"Agence d'Orléans", "200.00", "40.00", "240.00", "-50.00", "-25.00%",
                                                 "2", "2", "3", "150.00%"},
                                                {"Agence de Brest", "100.25", "20.05", "120.30", "42.00", "41.90%", "-1",
                                                 "4", "3", "75.00%"}};
    // Brest's code holds a quote.
    QTest::newRow("an agency's users")
        << Picks{{"cblNiveau", 1}, {"cblAgence", 2}} << "<Tous>" << QStringList{"<Tous>", "Denis Roux", "Émile Faure"}
        << QList<QStringList>{{"Denis Roux", "0.00", "0.00", "0.00", "12.00", "0.00%", "1", "0", "2", "0.00%"},
                              {"Émile Faure", "100.25", "20.05", "120.30", "30.00", "29.93%", "-2", "4", "1", "25.00%"}};
    const Picks oneUser{{"cblNiveau", 1}, {"cblAgence", 2}, {"cblUtilisateur", 1}};
    // Another level: the user stays selected, the table shows level rows;
    // users back to "<Tous>": the agencies of the new level.
    QTest::newRow("another level, stale user") << oneUser + Picks{{"cblNiveau", 3}} << "Denis Roux" << QStringList{}
                                                << levelRows;
    QTest::newRow("then every user") << oneUser + Picks{{"cblNiveau", 3}, {"cblUtilisateur", 0}} << "<Tous>"
                                     << QStringList{}
                                     << QList<QStringList>{{"Agence de Brest", "100.25", "20.05", "120.30", "42.00",
                                                            "41.90%", "-1", "4", "3", "75.00%"}};
    // Last month: Chloé worked in the agency, Denis did not.
    QTest::newRow("last month's users") << Picks{{"cblNiveau", 1}, {"cblAgence", 1}, {"cblUtilisateur", 1}, {"cblPeriode", 1}}
                                        << "<Tous>" << QStringList{"<Tous>", "Chloé Petit"}
                                        << QList<QStringList>{{"Chloé Petit", "7.00", "1.00", "8.00", "1.00", "14.29%",
                                                               "1", "1", "1", "100.00%"}};
    QTest::newRow("a supplier") << Picks{{"cblFournisseur", 2}} << "<tous>" << QStringList{"<tous>"}
                                << QList<QStringList>{
                                       {"Secteur Nord", "100.25", "20.05", "120.30", "30.00", "29.93%", "-2", "4", "1", "25.00%"},
                                       {"Secteur Vide", "0.00", "0.00", "0.00", "0.00", "0.00%", "0", "0", "0", "0.00%"},
                                       {"Secteur de l'Ouest", "100.25", "20.05", "120.30", "30.00", "29.93%", "-2", "4",
                                        "1", "25.00%"}};
}

void TestDashboard::picksShowTheirRows()
{
    QFETCH(Picks, picks);
    QFETCH(QString, user);
    QFETCH(QStringList, users);
    QFETCH(QList<QStringList>, rows);
    OpenedTable fixture(true);
    QVERIFY(fixture.opened);
    for (const auto &[name, entry] : picks)
        QVERIFY(pickWithMouse(fixture.combo(qPrintable(name)), entry));
    QCOMPARE(fixture.combo("cblUtilisateur")->currentText(), user);
    if (!users.isEmpty())
        QCOMPARE(comboTexts(fixture.combo("cblUtilisateur")), users);
    QCOMPARE(tableRows(fixture.table()), rows);
    QVERIFY(fixture.boxes.shown().isEmpty());
}

namespace {

// One level of one agency, with figures this month, the month before and
// the same month a year earlier.
void fillThreeMonths(TestDatabase &db)
{
    db.addUser("U1", "Alice Martin");
    db.addLevel("N", "Secteur Nord");
    db.addAgency("A1", "Agence d'Orléans");
    db.link("N", "A1");
    db.addSupplier("F1", "Fournisseur Un");
    const QDate before = QDate(Y, M, 1).addMonths(-1);
    addFigures(db, Y, M, "A1", "U1", "F1", 1250, 250, 125, 2, 4, 3);
    addFigures(db, before.year(), before.month(), "A1", "U1", "F1", 1000, 200, 150, 0, 0, 1);
    addFigures(db, Y - 1, M, "A1", "U1", "F1", 2500, 500, 250, 1, 8, 2);
}

} // namespace

void TestDashboard::comparisonShown_data()
{
    QTest::addColumn<bool>("mouse");
    QTest::addColumn<int>("span");       // entry of cblEtendue
    QTest::addColumn<int>("comparison"); // entry of cblComparaison
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("cell");   // of the row and of the totals
    // 1250 against 1000; margin rates 125/1250 against 150/1000.
    QTest::newRow("month before, amount") << true << 0 << 1 << 1 << "1250.00\n1000.00  ▲ +25.00%";
    QTest::newRow("month before, rate") << false << 0 << 1 << 5 << "10.00%\n15.00%  ▼ -5.00 pt";
    QTest::newRow("month before, from nothing") << true << 0 << 1 << 7 << "4\n0";
    // Conversion 3/4 against 2/8.
    QTest::newRow("year earlier, rate") << false << 0 << 2 << 9 << "75.00%\n25.00%  ▲ +50.00 pt";
    QTest::newRow("year earlier, amount") << true << 0 << 2 << 1 << "1250.00\n2500.00  ▼ -50.00%";
    // From January: the month before has no reminder, whatever the month.
    QTest::newRow("year to date") << false << 1 << 1 << 6 << "2\n1  ▲ +100.00%";
}

// A comparison picked in its list shows, under each figure of the rows and
// of the totals, the comparison's value and the change; back to none, the
// table is what it was.
void TestDashboard::comparisonShown()
{
    QFETCH(bool, mouse);
    QFETCH(int, span);
    QFETCH(int, comparison);
    QFETCH(int, column);
    QFETCH(QString, cell);
    OpenedTable open(true, QString(), fillThreeMonths);
    QVERIFY(open.opened);
    auto *line = open.window.findChild<TotalsLine *>(QStringLiteral("lvTotal"));
    QVERIFY(line);
    const QStringList plain = joinedRows(open.table());
    const QStringList plainTotals = line->cells();
    QCOMPARE(plain.size(), 1);

    auto pick = [mouse](QComboBox *combo, int index) { return mouse ? pickWithMouse(combo, index) : pickWithKeys(combo, index); };
    QVERIFY(pick(open.combo("cblEtendue"), span));
    // The month before means nothing from January.
    QCOMPARE(comboTexts(open.combo("cblComparaison")),
             span == 0 ? QStringList({"—", "Mois précédent", "Même période N-1"}) : QStringList({"—", "Même période N-1"}));
    QVERIFY(pick(open.combo("cblComparaison"), comparison));
    QCOMPARE(tableRows(open.table()).value(0).value(column), cell);
    QCOMPARE(line->cells().value(column), cell);

    QVERIFY(pick(open.combo("cblComparaison"), 0));
    QVERIFY(pick(open.combo("cblEtendue"), 0));
    QCOMPARE(joinedRows(open.table()), plain);
    QCOMPARE(line->cells(), plainTotals);
    QVERIFY(open.boxes.shown().isEmpty());
}

namespace {

// Figures from the database, with a hook that runs before each row.
class HookedSource : public PerFigureSource
{
public:
    std::function<void(int)> beforeRow;
    AccountSums figures(TAccount &request) override
    {
        if (beforeRow)
            beforeRow(m_rows);
        ++m_rows;
        return PerFigureSource::figures(request);
    }

private:
    int m_rows = 0;
};

} // namespace

void TestDashboard::refreshReadsOneState()
{
    TestDatabase file;
    fillOrganisation(file);
    // In SQLite's rollback journal a writer waits for the readers; with
    // the write-ahead log it commits beside them, as on a server.
    if (!TestDatabase::onServer())
        file.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());

    DashboardSelection selection;
    selection.admin = true;
    selection.year = Y;
    selection.month = M;
    HookedSource source;
    // Another connection commits new facts while the first row is built.
    source.beforeRow = [&](int row) {
        if (row == 1)
            addFigures(file, Y, M, "A'2", "U5", "F1", 1000, 200, 100, 1, 1, 1);
    };
    QStringList htOfRows;
    buildDashboard(&db, selection, source, [&](const DashboardRow &row) { htOfRows << Format::amount(row.HT); });
    // The rows after the insert still show the state the refresh began with.
    QCOMPARE(htOfRows, (QStringList{"300.25", "0.00", "100.25"}));

    HookedSource after;
    htOfRows.clear();
    buildDashboard(&db, selection, after, [&](const DashboardRow &row) { htOfRows << Format::amount(row.HT); });
    QCOMPARE(htOfRows, (QStringList{"1300.25", "0.00", "1100.25"}));
}

void TestDashboard::errorDuringRefreshRestoresCursor()
{
    TestDatabase file;
    fillOrganisation(file);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    ScriptedMessages boxes;

    TFicheTDB window(nullptr);
    window.SetDatabase(&db);
    window.SetAdmin(true);
    window.setFigureSourceFactory([] {
        auto source = std::make_unique<HookedSource>();
        source->beforeRow = [](int row) {
            if (row == 1)
                throw EDatabaseError(QStringLiteral("no such table: data"));
        };
        return source;
    });
    window.show();
    QTRY_COMPARE(window.activation()->count(), 1);
    QTRY_COMPARE(boxes.shown().size(), 1);
    QCOMPARE(boxes.shown().first().text, QStringLiteral("no such table: data"));
    QVERIFY(boxes.shown().first().errorDisplay);
    // The first row stays, the refresh stopped at the second.
    QCOMPARE(firstColumn(window.findChild<QTreeWidget *>("lvData")), QStringList{"Secteur Nord"});
    QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);
    // The transaction of the interrupted refresh is over.
    QVERIFY(!db.inTransaction());
}

void TestDashboard::errorDuringActivationShownOnce()
{
    TestDatabase file;
    fillOrganisation(file);
    file.exec(QStringLiteral("DROP TABLE dim_fournisseur"));
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    ScriptedMessages boxes;

    TFicheTDB window(nullptr);
    window.SetDatabase(&db);
    window.SetAdmin(true);
    window.show();
    QTRY_COMPARE(boxes.shown().size(), 1);
    QTest::qWait(100);
    QCoreApplication::processEvents();
    QCOMPARE(boxes.shown().size(), 1);
    QCOMPARE(window.activation()->count(), 1);
    QVERIFY(boxes.shown().first().text.contains(QStringLiteral("dim_fournisseur")));
    // The level list was loaded before the error; the rest stopped there.
    QCOMPARE(window.findChild<QComboBox *>("cblNiveau")->count(), 4);
    QCOMPARE(window.findChild<QTreeWidget *>("lvData")->topLevelItemCount(), 0);

    // A real return of the focus from another window of ours activates
    // the window again, and the error comes once more.
    FocusHistory::instance().returnFromBox(window.windowHandle(), false);
    QCOMPARE(window.activation()->count(), 2);
    QCOMPARE(boxes.shown().size(), 2);
}

void TestDashboard::holdersDoNotOutliveTheirEntries()
{
    const int before = TObjectCode::liveCount();
    {
        OpenedTable fixture(true);
        QVERIFY(fixture.opened);
        TFicheTDB &window = fixture.window;
        QCOMPARE(window.activation()->count(), 1);
        auto *levels = fixture.combo("cblNiveau");
        for (int i = 0; i < 20; ++i) {
            window.LoadLevels();
            QVERIFY(pickWithMouse(levels, 1));
        }
        // Three levels, two suppliers, two agencies.
        QCOMPARE(TObjectCode::liveCount() - before, 7);
        QCOMPARE(GetItemCode(levels, -1), QString());
        QCOMPARE(GetItemCode(levels, 0), QString());
        QCOMPARE(GetItemCode(levels, 3), QStringLiteral("U'2"));
    }
    QCOMPARE(TObjectCode::liveCount(), before);
}

QTEST_MAIN(TestDashboard)
#include "tst_dashboard.moc"
