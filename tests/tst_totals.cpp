// The totals line of the tracking table: every fact the rows cover, each
// counted once, computed by the engine, on both figure sources, in the
// window and in everything that carries the table.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "dashboard/comparison.h"
#include "dashboard/dashboardfigures.h"
#include "dashboard/groupedfigures.h"
#include "tools/report/reportcommand.h"
#include "dashboard/tableexport.h"
#include "dashboard/tfichetdb.h"
#include "dashboard/totalsline.h"
#include "store/schema.h"
#include "store/sqltext.h"

#include <QHeaderView>
#include <QTreeWidget>
#include <QtTest>

namespace {

// The organisation, with what makes totals go wrong when rows are added
// up: an agency in two levels (A'2), a link given twice, a link to a level
// that does not exist, facts of no agency and of no user, and an agency in
// no level (A3).
void fillTricky(TestDatabase &db)
{
    fillOrganisation(db);
    db.link("U1", "A1"); // twice
    db.link("GONE", "A3");
    addFigures(db, thisYear(), thisMonth(), QVariant(), "U4", "F1", 5000, 1000, 700, 1, 1, 1);
    addFigures(db, thisYear(), thisMonth(), "A'2", QVariant(), "F1", 3000, 600, 300, 2, 2, 1);
    addFigures(db, thisYear(), thisMonth(), "A1", "U4", "F'2", 50.5, 10.1, 5, 0, 1, 1);
}

// The reference: one SUM statement per account over the facts of `months`
// that the rows cover, written here from what the rows mean.
AccountSums reference(TestDatabase &db, const QString &months, const QString &cover, const QString &supplier = {})
{
    AccountSums sums;
    const QStringList accounts = Schema::accountCodes();
    for (int i = 0; i < 6; ++i) {
        QString sql = QStringLiteral("SELECT SUM(valeur) FROM data WHERE code_account = '%1' AND %2 AND %3")
                          .arg(accounts.at(i), months, cover);
        if (!supplier.isEmpty())
            sql += QStringLiteral(" AND dim_fournisseur = '%1'").arg(sqlEscape(supplier));
        sums.at(i) = db.scalar(sql).toDouble();
    }
    return sums;
}

// Two levels sharing agency A2, facts across two year boundaries, and
// months on either side of every span that a wrong boundary would take in.
void fillYears(TestDatabase &db)
{
    db.addUser("U1", "Alice Martin");
    db.addUser("U2", "Zoé Blanc");
    db.addUser("U3", "Chloé Petit");
    db.addUser("U4", "Denis Roux");
    db.addLevel("N", "Secteur Nord");
    db.addLevel("O", "Secteur de l'Ouest");
    db.addAgency("A1", "Agence d'Orléans");
    db.addAgency("A2", "Agence de Brest");
    db.link("N", "A1");
    db.link("N", "A2");
    db.link("O", "A2");
    db.addSupplier("F1", "Fournisseur Un");
    addFigures(db, 2024, 12, "A1", "U1", "F1", 9000, 900, 90, 9, 9, 9);
    addFigures(db, 2025, 1, "A1", "U1", "F1", 10, 2, 1, 0, 2, 1);
    addFigures(db, 2025, 2, "A2", "U2", "F1", 20, 4, 2, 1, 1, 1);
    addFigures(db, 2025, 3, "A2", "U2", "F1", 30, 6, 3, 0, 2, 1);
    addFigures(db, 2025, 4, "A1", "U1", "F1", 8000, 800, 80, 8, 8, 8);
    addFigures(db, 2025, 12, "A1", "U1", "F1", 100, 20, 10, 1, 4, 1);
    addFigures(db, 2025, 12, "A2", "U3", "F1", 50, 10, 5, 0, 2, 2);
    db.addFact("AUTRE_COMPTE", 2025, 12, 5, "A2", "U4"); // listed, no figure
    addFigures(db, 2026, 1, "A1", "U1", "F1", 300, 60, 60, 2, 5, 2);
    addFigures(db, 2026, 1, "A2", "U2", "F1", 200, 40, -20, 0, 0, 1);
    addFigures(db, 2026, 2, "A1", "U1", "F1", 40, 8, 4, 0, 1, 0);
    addFigures(db, 2026, 3, "A2", "U2", "F1", 80, 16, 8, 1, 2, 2);
    addFigures(db, 2026, 4, "A1", "U1", "F1", 7000, 700, 70, 7, 7, 7);
    addFigures(db, 2026, 12, "A1", "U1", "F1", 6000, 600, 60, 6, 6, 6);
    // An amount past what a double holds (9e999 as SQLite reads it).
    addFigures(db, 2026, 10, "A1", "U1", "F1", std::numeric_limits<double>::infinity(), 1, 1, 1, 1, 1);
    addFigures(db, 2026, 11, "A1", "U1", "F1", 100, 20, 10, 1, 2, 1);
    addFigures(db, 2026, 8, "A2", "U2", "F1", -1.7e308, 1, 1, 1, 1, 1);
    addFigures(db, 2026, 9, "A2", "U2", "F1", 1.7e308, 1, 1, 1, 1, 1);
}


} // namespace

class TestTotals : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void totalsCoverEachFactOnce_data();
    void totalsCoverEachFactOnce();
    void notARowAndSortedAround();
    void everythingThatCarriesTheTable();
    void comparedPeriods_data();
    void comparedPeriods();
};

void TestTotals::totalsCoverEachFactOnce_data()
{
    QTest::addColumn<bool>("grouped");
    QTest::addColumn<QString>("user");        // empty: the administrator
    QTest::addColumn<QStringList>("picks");   // list=code
    QTest::addColumn<QString>("supplier");
    QTest::addColumn<QString>("cover");       // which facts, in SQL
    QTest::addColumn<int>("rows");

    const QString levels = "dim_agence IN (SELECT n.agence FROM niveau_agence n, dim_niveau l WHERE n.niveau = l.code)";
    const QString nord = "dim_agence IN ('A1', 'A''2')";
    for (const bool grouped : {true, false}) {
        const char *source = grouped ? "grouped" : "per figure";
        QTest::addRow("%s: levels", source) << grouped << "" << QStringList{} << "" << levels << 3;
        QTest::addRow("%s: levels, a supplier", source) << grouped << "" << QStringList{} << "F1" << levels << 3;
        QTest::addRow("%s: an ordinary user's level", source) << grouped << "U'2" << QStringList{} << ""
                                                              << "dim_agence = 'A''2'" << 1;
        QTest::addRow("%s: a user without a level", source) << grouped << "U9" << QStringList{} << "" << "0 = 1" << 0;
        // The link given twice lists its agency twice, as the agency
        // statement reads it; the total counts its facts once.
        QTest::addRow("%s: agencies of a level", source) << grouped << "" << QStringList{"cblNiveau=U1"} << "" << nord << 3;
        QTest::addRow("%s: agencies, a supplier", source) << grouped << "" << QStringList{"cblNiveau=U1"} << "F'2"
                                                          << nord << 3;
        QTest::addRow("%s: level without agencies", source) << grouped << "" << QStringList{"cblNiveau=U3"} << ""
                                                            << "0 = 1" << 0;
        QTest::addRow("%s: users of an agency", source)
            << grouped << "" << QStringList{"cblNiveau=U1", "cblAgence=A'2"} << ""
            << "dim_agence = 'A''2' AND dim_utilisateur IN ('U4', 'U5')" << 2;
        QTest::addRow("%s: one user", source) << grouped << "" << QStringList{"cblNiveau=U1", "cblAgence=A'2", "cblUtilisateur=U5"}
                                              << "F'2" << "dim_agence = 'A''2' AND dim_utilisateur = 'U5'" << 1;
    }
}

// The totals are the sums of the facts the rows cover, each counted once,
// and read like the rows: never the rows added up.
void TestTotals::totalsCoverEachFactOnce()
{
    QFETCH(bool, grouped);
    QFETCH(QString, user);
    QFETCH(QStringList, picks);
    QFETCH(QString, supplier);
    QFETCH(QString, cover);
    QFETCH(int, rows);

    OpenedTable open(user.isEmpty(), user, fillTricky);
    QVERIFY(open.opened);
    if (!grouped) {
        open.window.setFigureSourceFactory([] { return std::make_unique<PerFigureSource>(); });
        open.window.RefreshData();
    }
    for (const QString &pick : picks)
        QVERIFY(pickCodeWithMouse(open.combo(qPrintable(pick.section('=', 0, 0))), pick.section('=', 1)));
    if (!supplier.isEmpty())
        QVERIFY(pickCodeWithMouse(open.combo("cblFournisseur"), supplier));
    QCOMPARE(open.table()->topLevelItemCount(), rows);

    const QString month = QStringLiteral("period_year = %1 AND period_month = %2").arg(thisYear()).arg(thisMonth());
    const QStringList expected =
        DashboardRow::from(QString(), totalsLabel(), reference(open.file, month, cover, supplier)).cells();
    auto *line = open.window.findChild<TotalsLine *>(QStringLiteral("lvTotal"));
    QVERIFY(line);
    QCOMPARE(line->cells(), expected);
    QVERIFY(open.window.totals());
    QCOMPARE(open.window.totals()->cells(), expected);
    QVERIFY(open.boxes.shown().isEmpty());
}

// The totals line is a line of its own: the table holds one row per row
// of its statement, sorting moves the rows, not the totals.
void TestTotals::notARowAndSortedAround()
{
    OpenedTable open(true, QString(), fillTricky);
    QVERIFY(open.opened);
    QTreeWidget *table = open.table();
    auto *line = open.window.findChild<TotalsLine *>(QStringLiteral("lvTotal"));
    const QStringList before = line->cells();
    QCOMPARE(before.first(), QStringLiteral("Total"));
    QCOMPARE(firstColumn(table), (QStringList{"Secteur Nord", "Secteur Vide", "Secteur de l'Ouest"}));
    QHeaderView *header = table->header();
    clickHeader(table, 1);
    QCOMPARE(table->topLevelItemCount(), 3);
    QVERIFY(firstColumn(table) != (QStringList{"Secteur Nord", "Secteur Vide", "Secteur de l'Ouest"}));
    QCOMPARE(line->cells(), before);
    // Under the rows, inside the table's frame, each cell under its column.
    QVERIFY(line->isVisible());
    QVERIFY(line->geometry().top() > table->viewport()->geometry().bottom());
    for (int c = 0; c < 10; ++c) {
        const int under = header->sectionViewportPosition(c) + header->sectionSize(c) / 2;
        QVERIFY2(qAbs(line->cellRect(c).center().x() - under) <= 1, qPrintable(QString::number(c)));
    }
}

// The workbook, the CSV, the copy and the report end with the same line.
void TestTotals::everythingThatCarriesTheTable()
{
    TestDatabase file;
    fillTricky(file);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    DashboardSelection selection;
    selection.admin = true;
    selection.year = thisYear();
    selection.month = thisMonth();
    DashboardRow totals;
    const QVector<DashboardRow> rows = HeadlessReport::rows(db, selection, &totals);
    QCOMPARE(totals.cells().first(), QStringLiteral("Total"));

    QVERIFY(TableExport::html(rows, totals).contains(QStringLiteral("<tfoot><tr><td align=\"left\"><b>Total</b></td>")));

    for (const char *format : {"texte", "tsv", "csv"}) {
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QString err;
        QTextStream errors(&err);
        QCOMPARE(HeadlessReport::run({file.path(), "VEXOR", "--format", format, "--total"}, out, errors), 0);
        const QStringList lines = QString::fromUtf8(out.data()).split(QRegularExpression(QStringLiteral("\r?\n")),
                                                                        Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), rows.size() + 2);
        if (qstrcmp(format, "texte") == 0) {
            QVERIFY2(lines.last().startsWith(QStringLiteral("Total")), qPrintable(lines.last()));
            QVERIFY2(lines.last().contains(totals.cells().at(1)), qPrintable(lines.last()));
        } else {
            QCOMPARE(lines.last(), totals.cells().join(qstrcmp(format, "tsv") == 0 ? '\t' : ';'));
        }
        // Without --total, the rows alone.
        QBuffer plain;
        plain.open(QIODevice::WriteOnly);
        QCOMPARE(HeadlessReport::run({file.path(), "VEXOR", "--format", format}, plain, errors), 0);
        QVERIFY(!QString::fromUtf8(plain.data()).contains(QStringLiteral("Total")));
    }
    QBuffer json;
    json.open(QIODevice::WriteOnly);
    QString err;
    QTextStream errors(&err);
    QCOMPARE(HeadlessReport::run({file.path(), "VEXOR", "--format", "json", "--total"}, json, errors), 0);
    const QJsonArray array = QJsonDocument::fromJson(json.data()).array();
    QCOMPARE(array.size(), rows.size() + 1);
    QCOMPARE(array.last().toObject().value(QStringLiteral("libelle")).toString(), QStringLiteral("Total"));
    QVERIFY(array.last().toObject().value(QStringLiteral("total")).toBool());
    QCOMPARE(array.last().toObject().value(QStringLiteral("valeurs")).toObject().value(QStringLiteral("montant_ht")).toDouble(),
             totals.HT);
}

void TestTotals::comparedPeriods_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("month");        // of 2026
    QTest::addColumn<int>("span");
    QTest::addColumn<int>("comparison");
    QTest::addColumn<QString>("level");    // the selection: a level, an agency of it
    QTest::addColumn<QString>("agency");
    QTest::addColumn<QString>("chosen");   // the months, in SQL
    QTest::addColumn<QString>("compared");
    QTest::addColumn<QStringList>("rows"); // code=the facts of the row, in SQL
    QTest::addColumn<QString>("cover");    // the facts of the totals
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("changes"); // of the totals

    const QString both = "dim_agence IN ('A1', 'A2')";
    const QStringList levels{"N=" + both, "O=dim_agence = 'A2'"};
    const QString january = "period_year = 2026 AND period_month = 1";
    for (const char *source : {"grouped", "grouped, indexed", "per figure"}) {
        QTest::addRow("%s: January against December", source)
            << source << 1 << int(PeriodChoice::Month) << int(PeriodChoice::PreviousMonth) << "" << "" << january
            << "period_year = 2025 AND period_month = 12" << levels << both << "C"
            << QStringList{"+233.33%", "+233.33%", "+233.33%", "+166.67%", "-2.00 pt", "+100.00%", "-16.67%",
                           "0.00%", "+10.00 pt"};
        QTest::addRow("%s: to March against a year earlier", source)
            << source << 3 << int(PeriodChoice::YearToDate) << int(PeriodChoice::YearEarlier) << "N" << ""
            << "period_year = 2026 AND period_month IN (1, 2, 3)" << "period_year = 2025 AND period_month IN (1, 2, 3)"
            << QStringList{"A1=dim_agence = 'A1'", "A2=dim_agence = 'A2'"} << both << "C"
            << QStringList{"+933.33%", "+933.33%", "+933.33%", "+766.67%", "-1.61 pt", "+200.00%", "+60.00%",
                           "+66.67%", "+2.50 pt"};
        QTest::addRow("%s: to January against a year earlier", source)
            << source << 1 << int(PeriodChoice::YearToDate) << int(PeriodChoice::YearEarlier) << "" << "" << january
            << "period_year = 2025 AND period_month = 1" << levels << both << "C"
            << QStringList{"+4900.00%", "+4900.00%", "+4900.00%", "+3900.00%", "-2.00 pt", "", "+150.00%",
                           "+200.00%", "+10.00 pt"};
        QTest::addRow("%s: March against a year earlier", source)
            << source << 3 << int(PeriodChoice::Month) << int(PeriodChoice::YearEarlier) << "" << ""
            << "period_year = 2026 AND period_month = 3" << "period_year = 2025 AND period_month = 3" << levels << both
            << "C"
            << QStringList{"+166.67%", "+166.67%", "+166.67%", "+166.67%", "0.00 pt", "", "0.00%", "+100.00%",
                           "+50.00 pt"};
        // An infinite amount has a margin rate of nothing.
        QTest::addRow("%s: November against an infinite October", source)
            << source << 11 << int(PeriodChoice::Month) << int(PeriodChoice::PreviousMonth) << "" << ""
            << "period_year = 2026 AND period_month = 11" << "period_year = 2026 AND period_month = 10" << levels
            << both << "C"
            << QStringList{"", "+1900.00%", "", "+900.00%", "", "0.00%", "+100.00%", "0.00%", "-50.00 pt"};
        // Amounts whose difference is past what a double holds.
        QTest::addRow("%s: September against August, from the most negative amount", source)
            << source << 9 << int(PeriodChoice::Month) << int(PeriodChoice::PreviousMonth) << "" << ""
            << "period_year = 2026 AND period_month = 9" << "period_year = 2026 AND period_month = 8" << levels
            << both << "C"
            << QStringList{"+200.00%", "0.00%", "+200.00%", "0.00%", "0.00 pt", "0.00%", "0.00%", "0.00%", "0.00 pt"};
        // U3 has figures in December only, U4 facts of no figure.
        QTest::addRow("%s: users, January against December", source)
            << source << 1 << int(PeriodChoice::Month) << int(PeriodChoice::PreviousMonth) << "N" << "A2" << january
            << "period_year = 2025 AND period_month = 12"
            << QStringList{"U3=dim_agence = 'A2' AND dim_utilisateur = 'U3'",
                           "U2=dim_agence = 'A2' AND dim_utilisateur = 'U2'"}
            << "dim_agence = 'A2' AND dim_utilisateur IN ('U2', 'U3')" << "fr_FR"
            << QStringList{"+300,00%", "+300,00%", "+300,00%", "-500,00%", "-20,00 pt", "", "-100,00%", "-50,00%",
                           ""}; // no quote in January: no conversion rate to compare
        // Labels in an order of their own (a case-blind collation), not the
        // bytes': "chloé" before "Zoé", as the users' statement lists them.
        QTest::addRow("%s: users in a case-blind order", source)
            << source << 1 << int(PeriodChoice::Month) << int(PeriodChoice::PreviousMonth) << "N" << "A2" << january
            << "period_year = 2025 AND period_month = 12"
            << QStringList{"U3=dim_agence = 'A2' AND dim_utilisateur = 'U3'",
                           "U2=dim_agence = 'A2' AND dim_utilisateur = 'U2'"}
            << "dim_agence = 'A2' AND dim_utilisateur IN ('U2', 'U3')" << "C"
            << QStringList{"+300.00%", "+300.00%", "+300.00%", "-500.00%", "-20.00 pt", "", "-100.00%", "-50.00%", ""};
    }
}

// Each row and the totals, for the chosen period and the one it is
// compared with, are the sums of their facts over the months of each, and
// the totals count each fact once; all months are read in one pass.
void TestTotals::comparedPeriods()
{
    QFETCH(QString, source);
    QFETCH(int, month);
    QFETCH(int, span);
    QFETCH(int, comparison);
    QFETCH(QString, level);
    QFETCH(QString, agency);
    QFETCH(QString, chosen);
    QFETCH(QString, compared);
    QFETCH(QStringList, rows);
    QFETCH(QString, cover);
    QFETCH(QString, locale);
    QFETCH(QStringList, changes);

    TestDatabase file;
    fillYears(file);
    if (source.contains("indexed") && !file.isServer())
        file.exec(Schema::recommendedIndex());
    if (QByteArray(QTest::currentDataTag()).contains("case-blind")) {
        if (file.isServer())
            QSKIP("a collation of SQLite's own");
        for (const char *sql : {"CREATE TABLE u (code TEXT, libelle TEXT COLLATE NOCASE)",
                                "INSERT INTO u SELECT code, libelle FROM dim_utilisateur", "DROP TABLE dim_utilisateur",
                                "ALTER TABLE u RENAME TO dim_utilisateur",
                                "UPDATE dim_utilisateur SET libelle = 'chloé Petit' WHERE code = 'U3'"})
            file.exec(sql);
    }
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    DashboardSelection selection;
    selection.admin = true;
    selection.year = 2026;
    selection.month = month;
    selection.levelIndex = level.isEmpty() ? 0 : 1;
    selection.levelCode = level;
    selection.agencyIndex = agency.isEmpty() ? 0 : 1;
    selection.agencyCode = agency;
    PeriodChoice choice;
    choice.span = PeriodChoice::Span(span);
    choice.comparison = PeriodChoice::Comparison(comparison);

    GroupedFigureSource grouped;
    PerFigureSource perFigure;
    FigureSource &figures = source.startsWith("grouped") ? static_cast<FigureSource &>(grouped) : perFigure;
    QVector<ComparedRow> got;
    ComparedRow totals;
    buildComparedDashboard(&db, selection, choice, figures, [&got](const ComparedRow &row) { got << row; }, &totals);

    QStringList codes;
    for (const ComparedRow &row : std::as_const(got))
        codes << row.chosen.code;
    QCOMPARE(codes.join(' '), QStringList(rows).replaceInStrings(QRegularExpression("=.*"), "").join(' '));
    for (int r = 0; r < rows.size(); ++r) {
        const QString facts = rows.at(r).section('=', 1);
        const ComparedRow &row = got.at(r);
        QVERIFY(row.compared);
        QCOMPARE(row.chosen.cells(), DashboardRow::from(row.chosen.code, row.chosen.libelle,
                                                        reference(file, chosen, facts)).cells());
        QCOMPARE(row.compared->cells(), DashboardRow::from(row.chosen.code, row.chosen.libelle,
                                                           reference(file, compared, facts)).cells());
    }
    QCOMPARE(totals.chosen.cells(), DashboardRow::from(QString(), totalsLabel(), reference(file, chosen, cover)).cells());
    QVERIFY(totals.compared);
    QCOMPARE(totals.compared->cells(),
             DashboardRow::from(QString(), totalsLabel(), reference(file, compared, cover)).cells());
    QCOMPARE(totals.changeCells(QLocale(locale)), changes);
    if (&figures == &grouped)
        QCOMPARE(grouped.passes(), 1);
}

QTEST_MAIN(TestTotals)
#include "tst_totals.moc"
