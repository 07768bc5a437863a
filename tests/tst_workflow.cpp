// What the administrator changes in the level windows, the tracking table
// shows at once.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "ui/activation.h"
#include "dashboard/tfichetdb.h"
#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"
#include "ui/itemcodes.h"

#include <QComboBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

namespace {

// The tracking table of the administrator, narrowed to one level.
QStringList agencyRows(TABSDatabase *db, const QString &level)
{
    TFicheTDB table(nullptr);
    if (!openTrackingTable(table, db, true))
        return {"not activated"};
    if (!pickCodeWithMouse(table.findChild<QComboBox *>("cblNiveau"), level))
        return {"no level " + level};
    return joinedRows(table.findChild<QTreeWidget *>("lvData"));
}

} // namespace

class TestWorkflow : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void linkedAgencyShowsUnderItsLevel();
    void deletedLevelLeavesTheTable();
};

void TestWorkflow::linkedAgencyShowsUnderItsLevel()
{
    TestDatabase file;
    fillOrganisation(file);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    ScriptedMessages boxes;

    QCOMPARE(agencyRows(&db, "U'2"),
             QStringList{"Agence de Brest|100.25|20.05|120.30|42.00|41.90%|-1|4|3|75.00%"});

    {
        TFicheParamNiveauAgence links(nullptr);
        links.SetDatabase(&db);
        links.SetLevelLabel("Chef de secteur");
        links.show();
        auto *levels = links.findChild<QComboBox *>("cblNiveaux");
        auto *agencies = links.findChild<QComboBox *>("cblAgences");
        QTRY_COMPARE(levels->count(), 3);
        const int level = indexOfCode(levels, "U'2");
        QVERIFY(pickWithMouse(levels, level));
        const int agency = indexOfCode(agencies, "A3");
        QVERIFY(agency >= 0);
        QVERIFY(pickWithMouse(agencies, agency));
        clickButton(links.findChild<QPushButton *>("btnAjouter"));
        QCOMPARE(links.findChild<QTreeWidget *>("lvNiveau")->topLevelItemCount(), 2);
    }

    QCOMPARE(agencyRows(&db, "U'2"),
             (QStringList{"Agence de Brest|100.25|20.05|120.30|42.00|41.90%|-1|4|3|75.00%",
                          "Agence de Lyon|1000.00|200.00|1200.00|100.00|10.00%|1|1|1|100.00%"}));
    QVERIFY(boxes.shown().isEmpty());
}

void TestWorkflow::deletedLevelLeavesTheTable()
{
    TestDatabase file;
    fillOrganisation(file);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    ScriptedMessages boxes;
    {
        TFicheParamNiveau levels(nullptr);
        levels.SetDatabase(&db);
        levels.SetLevelLabel("Chef de secteur");
        levels.show();
        auto *list = levels.findChild<QTreeWidget *>("lvNiveau");
        QTRY_COMPARE(list->topLevelItemCount(), 3);
        QTreeWidgetItem *north = nullptr;
        for (int r = 0; r < list->topLevelItemCount(); ++r)
            if (list->topLevelItem(r)->text(1) == "U1")
                north = list->topLevelItem(r);
        QVERIFY(north);
        clickRow(list, north);
        boxes.answerNext(QMessageBox::Yes);
        clickButton(levels.findChild<QPushButton *>("btnSupprimer"));
        QCOMPARE(boxes.texts().first(), QStringLiteral("2 agences sont associées à ce niveau, confirmer la suppression ?"));
        QCOMPARE(list->topLevelItemCount(), 2);
    }
    // The shared agency keeps its other level; the deleted level is gone.
    QCOMPARE(agencyRows(&db, "U1"), QStringList{"no level U1"});
    QCOMPARE(agencyRows(&db, "U'2").size(), 1);
}

QTEST_MAIN(TestWorkflow)
#include "tst_workflow.moc"
