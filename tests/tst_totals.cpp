// The totals line of the tracking table: every fact the rows cover, each
// counted once, computed by the engine, on both figure sources, in the
// window and in everything that carries the table.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "dashboard/dashboardfigures.h"
#include "tools/report/reportcommand.h"
#include "dashboard/tableexport.h"
#include "dashboard/tfichetdb.h"
#include "dashboard/totalsline.h"
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

// The reference: one SUM statement per account over the facts the rows
// cover, written here from what the rows mean.
AccountSums reference(TestDatabase &db, const QString &cover, const QString &supplier)
{
    const QStringList accounts{"MONTANT_DEVIS_VENTE_HT", "MONTANT_DEVIS_TVA", "MARGE_DEVIS_VENTE_HT",
                               "NB_RELANCES", "NB_DOSSIERS_TRAITES", "NB_COMMANDES_TRAITES"};
    double values[6] = {};
    for (int i = 0; i < 6; ++i) {
        QString sql = QStringLiteral("SELECT SUM(valeur) FROM data WHERE code_account = '%1' AND period_year = %2 "
                                     "AND period_month = %3 AND %4")
                          .arg(accounts.at(i))
                          .arg(thisYear())
                          .arg(thisMonth())
                          .arg(cover);
        if (!supplier.isEmpty())
            sql += QStringLiteral(" AND dim_fournisseur = '%1'").arg(sqlEscape(supplier));
        values[i] = db.scalar(sql).toDouble();
    }
    return {values[0], values[1], values[2], values[3], values[4], values[5]};
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

    const QStringList expected = DashboardRow::from(QString(), totalsLabel(), reference(open.file, cover, supplier)).cells();
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

QTEST_MAIN(TestTotals)
#include "tst_totals.moc"
