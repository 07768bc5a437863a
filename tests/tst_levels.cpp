#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"
#include "ui/itemcodes.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QMessageBox>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <optional>

namespace {

const QString FreeUsers = QStringLiteral(
    "SELECT code, libelle FROM dim_utilisateur WHERE code not in( SELECT distinct code FROM dim_niveau) "
    "ORDER BY libelle ASC");
const QString LevelList = QStringLiteral(
    "SELECT u.libelle as utilisateur, n.code as code, n.libelle FROM dim_niveau n, dim_utilisateur u "
    "WHERE n.code = u.code ORDER BY u.libelle ASC");
const QString LevelCombo = QStringLiteral("SELECT code, libelle FROM dim_niveau ORDER BY libelle ASC");

QString freeAgencies(const QString &level)
{
    return QStringLiteral("SELECT code, libelle FROM dim_agence WHERE code not in(  SELECT distinct agence FROM "
                          "niveau_agence WHERE niveau = '%1' ) ORDER BY libelle ASC")
        .arg(level);
}

QString levelAgencies(const QString &level)
{
    return QStringLiteral("SELECT a.code, a.libelle FROM dim_agence a, niveau_agence na WHERE a.code = na.agence "
                          "AND na.niveau = '%1' ORDER BY a.libelle ASC")
        .arg(level);
}

// The database file of a test and the program's connection to it.
struct Env
{
    Env() { db.SetDatabaseFileName(data.path()); }
    // Rows given as "code=label", links as "level=agency".
    Env &add(void (TestDatabase::*row)(const QString &, const QString &), const QStringList &pairs)
    {
        for (const QString &pair : pairs)
            (data.*row)(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
        return *this;
    }
    Env &users(const QStringList &pairs) { return add(&TestDatabase::addUser, pairs); }
    Env &withLevels(const QStringList &pairs) { return add(&TestDatabase::addLevel, pairs); }
    Env &agencies(const QStringList &pairs) { return add(&TestDatabase::addAgency, pairs); }
    Env &withLinks(const QStringList &pairs) { return add(&TestDatabase::link, pairs); }
    // Levels U1 "Secteur Nord" and U2 "Secteur Sud", agencies A1 "Annecy"
    // and A2 "Brest", no link.
    Env &twoLevelsTwoAgencies()
    {
        return withLevels({"U1=Secteur Nord", "U2=Secteur Sud"}).agencies({"A1=Annecy", "A2=Brest"});
    }
    TestDatabase data;
    TABSDatabase db;
};

// Gives a window its database and, unless it is null, its level label.
template <typename Window>
Window *setUp(Window *window, TABSDatabase *db, const QString &label)
{
    window->SetDatabase(db);
    if (!label.isNull())
        window->SetLevelLabel(label);
    return window;
}

// A window of either kind, set up on `db`, not shown yet.
QDialog *makeWindow(bool agencyWindow, TABSDatabase *db = nullptr, const QString &label = QString())
{
    if (agencyWindow)
        return setUp(new TFicheParamNiveauAgence(nullptr), db, label);
    return setUp(new TFicheParamNiveau(nullptr), db, label);
}

// Shows a window and waits for its first activation.
bool show(QDialog &window)
{
    window.show();
    return QTest::qWaitFor([&] { return window.windowTitle().startsWith(QStringLiteral("Paramétrage")); });
}

template <typename Window>
bool open(Window &window, TABSDatabase *db, const QString &label = QString())
{
    return show(*setUp(&window, db, label));
}

template <typename T>
T *child(QWidget &window, const char *name)
{
    T *widget = window.template findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// What the user does: open a drop-down list and click the entry `text`.
void choose(QComboBox *combo, const QString &text)
{
    const int index = combo->findText(text);
    QVERIFY2(index >= 0, qPrintable(text));
    QVERIFY(pickWithMouse(combo, index));
    QCOMPARE(combo->currentText(), text);
}

// What the user does: click the row whose first cell is `text`.
void selectRow(QTreeWidget *list, const QString &text)
{
    const QList<QTreeWidgetItem *> found = list->findItems(text, Qt::MatchExactly, 0);
    QVERIFY2(found.size() == 1, qPrintable(text));
    clickRow(list, found.first());
    QVERIFY(found.first()->isSelected());
}

// The two columns of each row of `sql`, joined by `separator`.
QStringList pairs(TestDatabase &data, const QString &sql, QChar separator)
{
    QStringList out;
    for (const QVariantList &row : data.rows(sql))
        out << row.at(0).toString() + separator + row.at(1).toString();
    return out;
}

QStringList links(TestDatabase &data) { return pairs(data, "SELECT niveau, agence FROM niveau_agence ORDER BY 1, 2", '-'); }
QStringList levels(TestDatabase &data) { return pairs(data, "SELECT code, libelle FROM dim_niveau ORDER BY 1", '='); }

QStringList writes(const QStringList &statements)
{
    QStringList out;
    for (const QString &sql : statements)
        if (!sql.startsWith(QLatin1String("SELECT")))
            out << sql;
    return out;
}

int errorBoxes(const ScriptedMessages &messages)
{
    int count = 0;
    for (const Messages::Box &box : messages.shown())
        count += box.errorDisplay ? 1 : 0;
    return count;
}

} // namespace

class TestLevels : public QObject
{
    Q_OBJECT

private slots:

    void captions_data();
    void captions();

    void validation_data();
    void validation();

    void addLevel_data();
    void addLevel();
    void deleteLevel_data();
    void deleteLevel();
    void levelWithoutUser();

    void linkAndUnlinkAgency();
    void codesWithApostrophes();
    void failedDeletionChangesNothing();
    void engineErrorShownOnce_data();
    void engineErrorShownOnce();
    void holdersFollowEntries();

    void pickedEntryIsWritten_data();
    void pickedEntryIsWritten();
    void returnToWindow_data();
    void returnToWindow();
    void longLabel_data();
    void longLabel();
    void waitCursorWhileStatementsRun_data();
    void waitCursorWhileStatementsRun();
};

// The caption a user reads on a control: a label's text, a group box's
// title, or, for "list#n", the caption of column n of a list.
QString captionOf(QWidget &window, const QString &name)
{
    const QStringList parts = name.split(QLatin1Char('#'));
    QWidget *widget = child<QWidget>(window, qPrintable(parts.first()));
    if (auto *list = qobject_cast<QTreeWidget *>(widget))
        return list->headerItem()->text(parts.value(1).toInt());
    if (auto *box = qobject_cast<QGroupBox *>(widget))
        return box->title();
    return qobject_cast<QLabel *>(widget)->text();
}

void TestLevels::captions_data()
{
    QTest::addColumn<bool>("agencyWindow");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("captions"); // "control=caption"

    // The captions that carry the level's label.
    QTest::newRow("levels, default") << false << QString() << QStringLiteral("Paramétrage : Niveau")
        << QStringList{"gbAjouterNiveau=Ajouter un Niveau", "lblNiveau=Niveau", "lblNiveauLibelle=Niveau Libellé",
                       "lvNiveau#2=Niveau"};
    QTest::newRow("levels, sector manager") << false << QStringLiteral("Chef de secteur")
        << QStringLiteral("Paramétrage : Chef de secteur")
        << QStringList{"gbAjouterNiveau=Ajouter un Chef de secteur", "lblNiveau=Chef de secteur",
                       "lblNiveauLibelle=Chef de secteur Libellé", "lvNiveau#2=Chef de secteur"};
    QTest::newRow("agencies, sector manager") << true << QStringLiteral("Chef de secteur")
        << QStringLiteral("Paramétrage des agences par Chef de secteur") << QStringList{"lblNiveau=Chef de secteur"};
}

void TestLevels::captions()
{
    QFETCH(bool, agencyWindow);
    QFETCH(QString, label);
    QFETCH(QString, title);
    QFETCH(QStringList, captions);

    Env env;
    ScriptedMessages messages;
    QScopedPointer<QDialog> window(makeWindow(agencyWindow, &env.db, label));
    QVERIFY(show(*window));

    QCOMPARE(window->windowTitle(), title);
    for (const QString &caption : captions) {
        const QString name = caption.section(QLatin1Char('='), 0, 0);
        QCOMPARE(name + QLatin1Char('=') + captionOf(*window, name), caption);
    }
    QVERIFY(messages.shown().isEmpty());
}

void TestLevels::validation_data()
{
    QTest::addColumn<bool>("agencyWindow");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("extra"); // levels: a free user; agencies: a level, linked to the one agency
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("key"); // pressed on `button`, focused; 0: a click

    const QString noLabel = QStringLiteral("Le libellé du niveau doit être renseigné");
    const QString noRow = QStringLiteral("Vous devez sélectionner une ligne pour pouvoir la supprimer");
    const QString manager = QStringLiteral("Chef de secteur");
    const QString none;
    QTest::newRow("levels: empty label") << false << none << "btnAjouter" << none << true << noLabel << 0;
    QTest::newRow("levels: empty label comes first") << false << none << "btnAjouter" << none << false << noLabel << 0;
    QTest::newRow("levels: no free user") << false << none << "btnAjouter" << "Secteur Est" << false
                                          << "Il faut sélectionner un utilisateur" << 0;
    QTest::newRow("levels: no row selected") << false << none << "btnSupprimer" << none << true << noRow << 0;
    QTest::newRow("agencies: no level") << true << manager << "btnAjouter" << none << false
                                        << "Il faut sélectionner un Chef de secteur" << 0;
    QTest::newRow("agencies: no level, default label") << true << none << "btnAjouter" << none << false
                                                       << "Il faut sélectionner un Niveau" << 0;
    QTest::newRow("agencies: every agency linked") << true << manager << "btnAjouter" << none << true
                                                   << "Il faut sélectionner une agence" << 0;
    QTest::newRow("agencies: no row selected") << true << manager << "btnSupprimer" << none << true << noRow << 0;
    // The focused button answers Enter as Space, once.
    QTest::newRow("Enter on Ajouter") << false << none << "btnAjouter" << none << true << noLabel << int(Qt::Key_Return);
    QTest::newRow("keypad Enter on Ajouter") << false << none << "btnAjouter" << none << true << noLabel
                                             << int(Qt::Key_Enter);
    QTest::newRow("Space on Ajouter") << false << none << "btnAjouter" << none << true << noLabel << int(Qt::Key_Space);
    QTest::newRow("Enter on Supprimer") << false << none << "btnSupprimer" << none << true << noRow << int(Qt::Key_Return);
    // Enter in the field presses no button, though a level could be added.
    QTest::newRow("Enter in the label field") << false << none << "edtNiveau" << "Secteur Test" << true << none
                                              << int(Qt::Key_Return);
}

void TestLevels::validation()
{
    QFETCH(bool, agencyWindow);
    QFETCH(QString, label);
    QFETCH(QString, button);
    QFETCH(QString, typed);
    QFETCH(bool, extra);
    QFETCH(QString, message);
    QFETCH(int, key);

    Env env;
    env.agencies({"A1=Annecy"}).users({"U1=Alice"});
    if (!agencyWindow || extra)
        env.withLevels({"U1=Secteur Nord"}).withLinks({"U1=A1"});
    if (!agencyWindow && extra)
        env.users({"U2=Bruno"});
    const QStringList levelsBefore = levels(env.data), linksBefore = links(env.data);

    ScriptedMessages messages;
    QScopedPointer<QDialog> window(makeWindow(agencyWindow, &env.db, label));
    QVERIFY(show(*window));
    if (agencyWindow) {
        QCOMPARE(child<QComboBox>(*window, "cblAgences")->count(), 0);
        QCOMPARE(child<QTreeWidget>(*window, "lvNiveau")->topLevelItemCount(), extra ? 1 : 0);
    } else {
        QCOMPARE(child<QComboBox>(*window, "cblUtilisateurs")->currentIndex(), extra ? 0 : -1);
        typeInto(child<QLineEdit>(*window, "edtNiveau"), typed);
    }

    StatementLog log(&env.db);
    QWidget *target = child<QWidget>(*window, qPrintable(button));
    if (key) {
        pressKey(target, Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        QTest::qWait(300);
    } else {
        clickButton(qobject_cast<QPushButton *>(target));
    }

    QCOMPARE(messages.texts(), (message.isEmpty() ? QStringList() : QStringList{message}));
    for (const Messages::Box &box : messages.shown()) {
        QCOMPARE(box.icon, Messages::Icon::None);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
    QCOMPARE(writes(log.statements()), QStringList());
    QCOMPARE(levels(env.data), levelsBefore);
    QCOMPARE(links(env.data), linksBefore);
}

void TestLevels::addLevel_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("statement");
    QTest::newRow("ordinary") << QStringLiteral("Secteur Est")
                              << QStringLiteral("INSERT INTO dim_niveau ( code , libelle ) values ('U2','Secteur Est' )");
    QTest::newRow("blanks only") << QStringLiteral("   ")
                                 << QStringLiteral("INSERT INTO dim_niveau ( code , libelle ) values ('U2','   ' )");
    QTest::newRow("apostrophe") << QStringLiteral("Secteur de l'Ouest")
                                << QStringLiteral("INSERT INTO dim_niveau ( code , libelle ) values ('U2','Secteur de l''Ouest' )");
}

void TestLevels::addLevel()
{
    QFETCH(QString, typed);
    QFETCH(QString, statement);

    Env env;
    env.users({"U1=Alice", "U2=Bruno", "U3=Claire", "U4=David"}).withLevels({"U1=Secteur Nord", "U3=Secteur Sud"});

    ScriptedMessages messages;
    TFicheParamNiveau window(nullptr);
    StatementLog log(&env.db);
    QVERIFY(open(window, &env.db));
    QCOMPARE(log.statements(), (QStringList{FreeUsers, LevelList}));

    auto *users = child<QComboBox>(window, "cblUtilisateurs");
    auto *list = child<QTreeWidget>(window, "lvNiveau");
    QCOMPARE(comboTexts(users), (QStringList{QStringLiteral("Bruno"), QStringLiteral("David")}));
    QCOMPARE(users->currentIndex(), 0);
    QCOMPARE(joinedRows(list), (QStringList{QStringLiteral("Alice|U1|Secteur Nord"), QStringLiteral("Claire|U3|Secteur Sud")}));

    auto *edit = child<QLineEdit>(window, "edtNiveau");
    typeInto(edit, typed);
    log.clear();
    clickButton(child<QPushButton>(window, "btnAjouter"));

    QCOMPARE(messages.shown().size(), 0);
    QCOMPARE(log.statements(), (QStringList{statement, FreeUsers, LevelList}));
    QVERIFY(levels(env.data).contains(QStringLiteral("U2=") + typed));
    QCOMPARE(comboTexts(users), QStringList{QStringLiteral("David")});
    QCOMPARE(users->currentIndex(), 0);
    QCOMPARE(joinedRows(list), (QStringList{QStringLiteral("Alice|U1|Secteur Nord"), QStringLiteral("Bruno|U2|") + typed,
                                      QStringLiteral("Claire|U3|Secteur Sud")}));
    QVERIFY(list->selectedItems().isEmpty());
    QCOMPARE(edit->text(), typed);
}

void TestLevels::deleteLevel_data()
{
    QTest::addColumn<int>("linkCount");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("question");
    QTest::addColumn<bool>("deleted");

    const QString one = QStringLiteral("1 agence est associée à ce niveau, confirmer la suppression ?");
    const QString three = QStringLiteral("3 agences sont associées à ce niveau, confirmer la suppression ?");
    QTest::newRow("no link") << 0 << int(QMessageBox::NoButton) << QString() << true;
    QTest::newRow("one link, yes") << 1 << int(QMessageBox::Yes) << one << true;
    QTest::newRow("one link, no") << 1 << int(QMessageBox::No) << one << false;
    QTest::newRow("three links, yes") << 3 << int(QMessageBox::Yes) << three << true;
    QTest::newRow("three links, no") << 3 << int(QMessageBox::No) << three << false;
}

void TestLevels::deleteLevel()
{
    QFETCH(int, linkCount);
    QFETCH(int, answer);
    QFETCH(QString, question);
    QFETCH(bool, deleted);

    Env env;
    env.users({"U1=Alice", "U2=Bruno"}).withLevels({"U1=Secteur Nord", "U2=Secteur Sud"}).withLinks({"U2=A1"});
    for (int i = 1; i <= linkCount; ++i)
        env.data.link(QStringLiteral("U1"), QStringLiteral("A%1").arg(i));

    ScriptedMessages messages;
    if (answer != QMessageBox::NoButton)
        messages.answerNext(QMessageBox::StandardButton(answer));
    TFicheParamNiveau window(nullptr);
    QVERIFY(open(window, &env.db));
    auto *list = child<QTreeWidget>(window, "lvNiveau");
    selectRow(list, QStringLiteral("Alice"));
    // Someone else adds a user meanwhile: the reload shows it.
    env.data.addUser(QStringLiteral("U9"), QStringLiteral("Zoé"));

    StatementLog log(&env.db);
    clickButton(child<QPushButton>(window, "btnSupprimer"));

    QStringList expected{QStringLiteral("SELECT agence FROM niveau_agence WHERE niveau = 'U1'")};
    if (linkCount > 0) {
        QCOMPARE(messages.texts(), QStringList{question});
        QCOMPARE(messages.shown().first().icon, Messages::Icon::Question);
        QCOMPARE(messages.shown().first().buttons, QMessageBox::Yes | QMessageBox::No);
        expected << FreeUsers << LevelList; // the window is activated again as the question closes
        if (deleted)
            expected << QStringLiteral("DELETE FROM niveau_agence  WHERE niveau = 'U1'");
    } else {
        QVERIFY(messages.shown().isEmpty());
    }
    if (deleted)
        expected << QStringLiteral("DELETE FROM dim_niveau  WHERE code = 'U1'");
    expected << FreeUsers << LevelList;
    QCOMPARE(log.statements(), expected);
    QCOMPARE(messages.unanswered(), 0);

    QStringList linksLeft{"U2-A1"};
    for (int i = 1; i <= linkCount && !deleted; ++i)
        linksLeft.insert(i - 1, QStringLiteral("U1-A%1").arg(i));
    QCOMPARE(levels(env.data), (deleted ? QStringList{"U2=Secteur Sud"} : QStringList{"U1=Secteur Nord", "U2=Secteur Sud"}));
    QCOMPARE(links(env.data), linksLeft);
    QCOMPARE(joinedRows(list), (deleted ? QStringList{"Bruno|U2|Secteur Sud"}
                                        : QStringList{"Alice|U1|Secteur Nord", "Bruno|U2|Secteur Sud"}));
    QVERIFY(list->selectedItems().isEmpty());
    QCOMPARE(comboTexts(child<QComboBox>(window, "cblUtilisateurs")), (deleted ? QStringList{"Alice", "Zoé"} : QStringList{"Zoé"}));
}

void TestLevels::levelWithoutUser()
{
    Env env;
    env.users({"U1=Alice"}).withLevels({"U1=Secteur Nord", "GONE=Secteur Perdu"});
    ScriptedMessages messages;

    TFicheParamNiveau levelWindow(nullptr);
    QVERIFY(open(levelWindow, &env.db));
    QCOMPARE(joinedRows(child<QTreeWidget>(levelWindow, "lvNiveau")), QStringList{QStringLiteral("Alice|U1|Secteur Nord")});
    levelWindow.close();

    TFicheParamNiveauAgence agencyWindow(nullptr);
    QVERIFY(open(agencyWindow, &env.db));
    QCOMPARE(comboTexts(child<QComboBox>(agencyWindow, "cblNiveaux")),
             (QStringList{QStringLiteral("Secteur Nord"), QStringLiteral("Secteur Perdu")}));
    QVERIFY(messages.shown().isEmpty());
}

// Agencies of other levels are offered too; unlinking one from a level
// leaves its other level's link.
void TestLevels::linkAndUnlinkAgency()
{
    Env env;
    env.twoLevelsTwoAgencies().agencies({"A3=Caen"}).withLinks({"U1=A1", "U1=A3", "U2=A3"});

    ScriptedMessages messages;
    TFicheParamNiveauAgence window(nullptr);
    StatementLog log(&env.db);
    QVERIFY(open(window, &env.db, QStringLiteral("Chef de secteur")));
    QCOMPARE(log.statements(), (QStringList{LevelCombo, freeAgencies("U1"), levelAgencies("U1")}));
    auto *levelsCombo = child<QComboBox>(window, "cblNiveaux");
    auto *agencies = child<QComboBox>(window, "cblAgences");
    auto *list = child<QTreeWidget>(window, "lvNiveau");
    QCOMPARE(comboTexts(levelsCombo), (QStringList{"Secteur Nord", "Secteur Sud"}));
    QCOMPARE(comboTexts(agencies), QStringList{"Brest"});
    QCOMPARE(joinedRows(list), (QStringList{"Annecy|A1", "Caen|A3"}));

    log.clear();
    choose(levelsCombo, QStringLiteral("Secteur Sud"));
    QCOMPARE(log.statements(), (QStringList{freeAgencies("U2"), levelAgencies("U2")}));
    QCOMPARE(comboTexts(agencies), (QStringList{"Annecy", "Brest"}));
    QCOMPARE(agencies->currentIndex(), 0);
    QCOMPARE(joinedRows(list), QStringList{"Caen|A3"});

    choose(agencies, QStringLiteral("Brest"));
    log.clear();
    clickButton(child<QPushButton>(window, "btnAjouter"));
    QCOMPARE(log.statements(), (QStringList{"INSERT INTO niveau_agence ( niveau , agence ) values ('U2','A2' )",
                                            freeAgencies("U2"), levelAgencies("U2")}));
    QCOMPARE(links(env.data), (QStringList{"U1-A1", "U1-A3", "U2-A2", "U2-A3"}));
    QCOMPARE(levelsCombo->currentText(), QStringLiteral("Secteur Sud"));
    QCOMPARE(comboTexts(agencies), QStringList{"Annecy"});
    QCOMPARE(joinedRows(list), (QStringList{"Brest|A2", "Caen|A3"}));
    QVERIFY(list->selectedItems().isEmpty());

    selectRow(list, QStringLiteral("Caen"));
    log.clear();
    clickButton(child<QPushButton>(window, "btnSupprimer"));
    QCOMPARE(log.statements(), (QStringList{"DELETE FROM niveau_agence  WHERE agence = 'A3' AND niveau = 'U2'",
                                            freeAgencies("U2"), levelAgencies("U2")}));
    QCOMPARE(links(env.data), (QStringList{"U1-A1", "U1-A3", "U2-A2"}));
    QCOMPARE(joinedRows(list), QStringList{"Brest|A2"});
    QCOMPARE(comboTexts(agencies), (QStringList{"Annecy", "Caen"}));
    QCOMPARE(levelsCombo->currentText(), QStringLiteral("Secteur Sud"));
    choose(levelsCombo, QStringLiteral("Secteur Nord"));
    QCOMPARE(joinedRows(list), (QStringList{"Annecy|A1", "Caen|A3"}));
    QVERIFY(messages.shown().isEmpty());
}

void TestLevels::codesWithApostrophes()
{
    Env env;
    env.users({"O'NEIL=Mc O'Neil"}).agencies({"L'AIGLE=L'Aigle"});
    ScriptedMessages messages;
    messages.answerNext(QMessageBox::Yes);
    const QString label = QStringLiteral("Secteur de l'Ouest");

    {
        TFicheParamNiveau window(nullptr);
        QVERIFY(open(window, &env.db));
        typeInto(child<QLineEdit>(window, "edtNiveau"), label);
        clickButton(child<QPushButton>(window, "btnAjouter"));
        QCOMPARE(levels(env.data), QStringList{QStringLiteral("O'NEIL=") + label});
        QCOMPARE(joinedRows(child<QTreeWidget>(window, "lvNiveau")), QStringList{QStringLiteral("Mc O'Neil|O'NEIL|") + label});
    }
    {
        TFicheParamNiveauAgence window(nullptr);
        QVERIFY(open(window, &env.db));
        QCOMPARE(comboTexts(child<QComboBox>(window, "cblNiveaux")), QStringList{label});
        QCOMPARE(comboTexts(child<QComboBox>(window, "cblAgences")), QStringList{QStringLiteral("L'Aigle")});
        clickButton(child<QPushButton>(window, "btnAjouter"));
        QCOMPARE(links(env.data), QStringList{QStringLiteral("O'NEIL-L'AIGLE")});
        auto *list = child<QTreeWidget>(window, "lvNiveau");
        QCOMPARE(joinedRows(list), QStringList{QStringLiteral("L'Aigle|L'AIGLE")});
        QCOMPARE(child<QComboBox>(window, "cblAgences")->count(), 0);

        selectRow(list, QStringLiteral("L'Aigle"));
        clickButton(child<QPushButton>(window, "btnSupprimer"));
        QCOMPARE(links(env.data), QStringList());
        QCOMPARE(joinedRows(list), QStringList());
        env.data.link(QStringLiteral("O'NEIL"), QStringLiteral("L'AIGLE"));
    }
    {
        TFicheParamNiveau window(nullptr);
        QVERIFY(open(window, &env.db));
        selectRow(child<QTreeWidget>(window, "lvNiveau"), QStringLiteral("Mc O'Neil"));
        clickButton(child<QPushButton>(window, "btnSupprimer"));
        QCOMPARE(levels(env.data), QStringList());
        QCOMPARE(links(env.data), QStringList());
    }
    QCOMPARE(messages.texts(), QStringList{"1 agence est associée à ce niveau, confirmer la suppression ?"});
}

void TestLevels::failedDeletionChangesNothing()
{
    Env env;
    env.users({"U1=Alice"}).withLevels({"U1=Secteur Nord"}).withLinks({"U1=A1", "U1=A2"});
    env.data.refuseDeletes(QStringLiteral("dim_niveau"), QStringLiteral("refus"));
    const QStringList levelsBefore = levels(env.data);
    const QStringList linksBefore = links(env.data);

    ScriptedMessages messages;
    messages.answerNext(QMessageBox::Yes);
    TFicheParamNiveau window(nullptr);
    QVERIFY(open(window, &env.db));
    selectRow(child<QTreeWidget>(window, "lvNiveau"), QStringLiteral("Alice"));
    StatementLog log(&env.db);
    clickButton(child<QPushButton>(window, "btnSupprimer"));

    // The links went first, then the level was refused: both stay.
    QVERIFY(log.statements().contains(QStringLiteral("DELETE FROM niveau_agence  WHERE niveau = 'U1'")));
    QCOMPARE(levels(env.data), levelsBefore);
    QCOMPARE(links(env.data), linksBefore);
    QCOMPARE(messages.shown().size(), 2);
    QVERIFY(messages.shown().at(1).errorDisplay);
    QVERIFY2(messages.shown().at(1).text.contains(QLatin1String("refus")), qPrintable(messages.shown().at(1).text));
    QVERIFY(!env.db.inTransaction());

    // The window is still usable: the next deletion, once allowed, works
    // (a new press, after the pause that tells it from a double click).
    env.data.allowDeletes(QStringLiteral("dim_niveau"));
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    messages.answerNext(QMessageBox::Yes);
    selectRow(child<QTreeWidget>(window, "lvNiveau"), QStringLiteral("Alice"));
    clickButton(child<QPushButton>(window, "btnSupprimer"));
    QCOMPARE(levels(env.data), QStringList());
    QCOMPARE(links(env.data), QStringList());
}

void TestLevels::engineErrorShownOnce_data()
{
    QTest::addColumn<bool>("agencyWindow");
    QTest::addColumn<QString>("table");
    QTest::newRow("levels, no users") << false << QStringLiteral("dim_utilisateur");
    QTest::newRow("levels, no levels") << false << QStringLiteral("dim_niveau");
    QTest::newRow("agencies, no levels") << true << QStringLiteral("dim_niveau");
    QTest::newRow("agencies, no agencies") << true << QStringLiteral("dim_agence");
}

void TestLevels::engineErrorShownOnce()
{
    QFETCH(bool, agencyWindow);
    QFETCH(QString, table);

    Env env;
    env.withLevels({"U1=Secteur Nord"}).data.exec(QStringLiteral("DROP TABLE ") + table);
    ScriptedMessages messages;

    QScopedPointer<QDialog> window(makeWindow(agencyWindow, &env.db));
    window->show();
    QTRY_COMPARE(messages.shown().size(), 1);
    QTest::qWait(300);

    QCOMPARE(messages.shown().size(), 1);
    QCOMPARE(errorBoxes(messages), 1);
    QVERIFY2(messages.shown().first().text.contains(table), qPrintable(messages.shown().first().text));
}

void TestLevels::holdersFollowEntries()
{
    Env env;
    env.twoLevelsTwoAgencies().withLinks({"U1=A1"});
    const int before = TObjectCode::liveCount();

    ScriptedMessages messages;
    {
        TFicheParamNiveauAgence window(nullptr);
        QVERIFY(open(window, &env.db));
        auto *levelsCombo = child<QComboBox>(window, "cblNiveaux");
        for (int i = 0; i < 3; ++i) {
            choose(levelsCombo, QStringLiteral("Secteur Sud"));
            choose(levelsCombo, QStringLiteral("Secteur Nord"));
            clickButton(child<QPushButton>(window, "btnSupprimer")); // no row: a message, then a reload
        }
        const int entries = levelsCombo->count() + child<QComboBox>(window, "cblAgences")->count()
            + child<QTreeWidget>(window, "lvNiveau")->topLevelItemCount();
        QCOMPARE(entries, 2 + 1 + 1);
        QCOMPARE(TObjectCode::liveCount() - before, entries);
    }
    QCOMPARE(TObjectCode::liveCount(), before);
    QCOMPARE(messages.shown().size(), 3);
}

namespace {

// Five users, the first with a level; six agencies, none linked; the four
// free users and the six agencies in the order of their names.
void fiveUsersSixAgencies(Env &env)
{
    env.users({"U1=Alice", "U2=Bruno", "U3=Claire", "U4=David", "U5=Élise"})
        .withLevels({"U1=Secteur Nord", "U9=Secteur Sud"})
        .agencies({"A1=Annecy", "A2=Brest", "A3=Caen", "A4=Dijon", "A5=Évry", "A6=Laval"});
}

bool pick(QComboBox *combo, int index, bool mouse)
{
    return mouse ? pickWithMouse(combo, index) : pickWithKeys(combo, index);
}

// Closes the popup or the modal box that opens next, once it is up.
class Closer : public QObject
{
public:
    Closer()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget *open = QApplication::activePopupWidget();
            if (!open)
                open = QApplication::activeModalWidget();
            if (open && qobject_cast<QMessageBox *>(open) == nullptr && !open->inherits("QMenu"))
                return; // a window under test, not what is to be closed
            // A box is answered by a press made once it is there.
            if (open != m_seen) {
                m_seen = open;
                m_since.start();
            }
            if (open && m_since.elapsed() <= QApplication::doubleClickInterval())
                return;
            if (open) {
                texts << (qobject_cast<QMessageBox *>(open) ? qobject_cast<QMessageBox *>(open)->text()
                                                            : QStringLiteral("menu"));
                QTest::keyClick(open, Qt::Key_Escape);
            }
        });
        m_timer.start(50);
    }
    QStringList texts;

private:
    QTimer m_timer;
    QPointer<QWidget> m_seen;
    QElapsedTimer m_since;
};

} // namespace

void TestLevels::pickedEntryIsWritten_data()
{
    QTest::addColumn<bool>("agencyWindow");
    QTest::addColumn<bool>("mouse");
    QTest::addColumn<QString>("press"); // how "Ajouter" is pressed
    QTest::addColumn<QString>("written"); // what the database holds then
    // (linkAndUnlinkAgency picks a level and an agency with the mouse.)
    QTest::newRow("third free user, mouse") << false << true << "click" << "U4=Secteur Test";
    QTest::newRow("third free user, keys") << false << false << "click" << "U4=Secteur Test";
    QTest::newRow("third free agency, keys") << true << false << "click" << "U1-A3";
    // Whatever the window selects after its reload, one press adds once.
    QTest::newRow("double click on Ajouter") << false << true << "double click" << "U4=Secteur Test";
    QTest::newRow("Space held, repeats as fresh presses") << false << true << "held Space" << "U4=Secteur Test";
    QTest::newRow("Enter held, repeats as fresh presses") << false << false << "held Enter" << "U4=Secteur Test";
    QTest::newRow("agency, double click") << true << true << "double click" << "U1-A3";
    QTest::newRow("agency, Space held, auto-repeated") << true << true << "repeated Space" << "U1-A3";
}

namespace {

// Presses `button` as a user does, once or with a double click or a held
// key: some window systems deliver a held key's repeats as fresh presses
// (press and release each time), others mark them as repeats.
void pressButton(QPushButton *button, const QString &how)
{
    if (how == QLatin1String("click")) {
        clickButton(button);
    } else if (how == QLatin1String("double click")) {
        QPoint at = button->rect().center();
        QWidget *top = button->window();
        QTest::mouseDClick(top->windowHandle(), Qt::LeftButton, Qt::NoModifier, button->mapTo(top, at));
    } else if (how == QLatin1String("repeated Space")) {
        button->setFocus(Qt::TabFocusReason);
        QTest::simulateEvent(button, true, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), false);
        for (int i = 0; i < 15; ++i) {
            QTest::simulateEvent(button, false, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
            QTest::simulateEvent(button, true, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
            QTest::qWait(30);
        }
        QTest::simulateEvent(button, false, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), false);
    } else {
        // Repeat rates are the user's setting: 30 a second, or 8.
        const bool enter = how == QLatin1String("held Enter");
        for (int i = 0; i < 15; ++i) {
            pressKey(button, enter ? Qt::Key_Return : Qt::Key_Space);
            QTest::qWait(enter ? 120 : 30);
        }
    }
    QTest::qWait(QApplication::doubleClickInterval() + 100);
}

} // namespace

// What a user picks in an opened list is what is written.
void TestLevels::pickedEntryIsWritten()
{
    QFETCH(bool, agencyWindow);
    QFETCH(bool, mouse);
    QFETCH(QString, press);
    QFETCH(QString, written);

    Env env;
    fiveUsersSixAgencies(env);
    ScriptedMessages messages;
    QScopedPointer<QDialog> window(makeWindow(agencyWindow, &env.db, QStringLiteral("Chef de secteur")));
    QVERIFY(show(*window));
    StatementLog log(&env.db);

    if (agencyWindow) {
        auto *levelsCombo = child<QComboBox>(*window, "cblNiveaux");
        auto *agencies = child<QComboBox>(*window, "cblAgences");
        QVERIFY(pick(agencies, 2, mouse)); // Caen
        log.clear();
        pressButton(child<QPushButton>(*window, "btnAjouter"), press);
        QCOMPARE(writes(log.statements()), QStringList{"INSERT INTO niveau_agence ( niveau , agence ) values ('U1','A3' )"});
        QCOMPARE(links(env.data), QStringList{written});
        QCOMPARE(levelsCombo->currentText(), QStringLiteral("Secteur Nord"));
    } else {
        auto *users = child<QComboBox>(*window, "cblUtilisateurs");
        QCOMPARE(comboTexts(users), (QStringList{"Bruno", "Claire", "David", "Élise"}));
        QVERIFY(pick(users, 2, mouse));
        typeInto(child<QLineEdit>(*window, "edtNiveau"), QStringLiteral("Secteur Test"));
        log.clear();
        pressButton(child<QPushButton>(*window, "btnAjouter"), press);
        QCOMPARE(writes(log.statements()), QStringList{"INSERT INTO dim_niveau ( code , libelle ) values ('U4','Secteur Test' )"});
        QCOMPARE(levels(env.data), (QStringList{"U1=Secteur Nord", written, "U9=Secteur Sud"}));
    }
    QVERIFY(messages.shown().isEmpty());
}

void TestLevels::returnToWindow_data()
{
    QTest::addColumn<bool>("agencyWindow");
    QTest::addColumn<QString>("control");
    // The real box the control brings, closed as a user closes it; none: the
    // control's list opened and closed with Escape, or its context menu.
    QTest::addColumn<QString>("box");
    QTest::newRow("users list, Escape") << false << "cblUtilisateurs" << "";
    QTest::newRow("label field, context menu") << false << "edtNiveau" << "";
    QTest::newRow("levels list, Escape") << true << "cblNiveaux" << "";
    QTest::newRow("agencies list, Escape") << true << "cblAgences" << "";
    QTest::newRow("levels, a real box") << false << "btnAjouter" << "Le libellé du niveau doit être renseigné";
    QTest::newRow("agencies, a real box") << true << "btnSupprimer"
                                          << "Vous devez sélectionner une ligne pour pouvoir la supprimer";
}

// A list opened and closed, or a context menu, is no return to the window:
// the choices made stay and nothing is read again. A real message box of
// the window is one: the window reloads.
void TestLevels::returnToWindow()
{
    QFETCH(bool, agencyWindow);
    QFETCH(QString, control);
    QFETCH(QString, box);

    Env env;
    fiveUsersSixAgencies(env);
    std::optional<ScriptedMessages> messages;
    if (box.isEmpty())
        messages.emplace();
    QScopedPointer<QDialog> window(makeWindow(agencyWindow, &env.db));
    QVERIFY(show(*window));
    // Choices a reload would undo.
    auto *firstList = child<QComboBox>(*window, agencyWindow ? "cblNiveaux" : "cblUtilisateurs");
    QVERIFY(pickWithMouse(firstList, 1));
    if (agencyWindow)
        QVERIFY(pickWithMouse(child<QComboBox>(*window, "cblAgences"), 2));
    else if (box.isEmpty())
        typeInto(child<QLineEdit>(*window, "edtNiveau"), QStringLiteral("Secteur Test"));
    QStringList before;
    for (QComboBox *combo : window->findChildren<QComboBox *>())
        before << combo->currentText();

    StatementLog log(&env.db);
    Closer closer;
    if (!box.isEmpty()) {
        clickButton(child<QPushButton>(*window, qPrintable(control)));
        QCOMPARE(closer.texts, QStringList{box});
        const QStringList reload = agencyWindow ? QStringList{LevelCombo, freeAgencies("U1"), levelAgencies("U1")}
                                                : QStringList{FreeUsers, LevelList};
        QTRY_COMPARE(log.statements(), reload);
        QTest::qWait(100);
        QCOMPARE(log.statements(), reload);
        QCOMPARE(firstList->currentIndex(), 0);
        return;
    }
    if (control == QLatin1String("edtNiveau")) {
        auto *edit = child<QLineEdit>(*window, "edtNiveau");
        clickAt(edit, QPoint(10, edit->height() / 2), Qt::RightButton);
        QTRY_COMPARE(closer.texts, QStringList{"menu"});
        settle(window.data());
    } else {
        QVERIFY(openAndEscape(child<QComboBox>(*window, qPrintable(control))));
    }
    QTest::qWait(50);

    QCOMPARE(log.statements(), QStringList());
    QStringList after;
    for (QComboBox *combo : window->findChildren<QComboBox *>())
        after << combo->currentText();
    QCOMPARE(after, before);
    QVERIFY(messages->shown().isEmpty());
}

void TestLevels::longLabel_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("written");
    QTest::newRow("the longest") << int(TFicheParamNiveau::MaxLabelLength) << true;
    QTest::newRow("one more") << int(TFicheParamNiveau::MaxLabelLength) + 1 << false;
    QTest::newRow("much more") << 100000 << false;
}

// A label pasted into the field is taken whole: too long, it is refused
// with a message, never cut.
void TestLevels::longLabel()
{
    QFETCH(int, length);
    QFETCH(bool, written);

    Env env;
    fiveUsersSixAgencies(env);
    ScriptedMessages boxes;
    TFicheParamNiveau window(nullptr);
    QVERIFY(open(window, &env.db));
    const QString label = QString(length - 1, QLatin1Char('x')) + QLatin1Char('!');
    QGuiApplication::clipboard()->setText(label);
    auto *edit = child<QLineEdit>(window, "edtNiveau");
    clickAt(edit, QPoint(10, edit->height() / 2));
    pressKey(edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit->text().size(), length);

    StatementLog log(&env.db);
    clickButton(child<QPushButton>(window, "btnAjouter"));
    if (written) {
        QVERIFY(boxes.shown().isEmpty());
        QCOMPARE(env.data.scalar(QStringLiteral("SELECT length(libelle) FROM dim_niveau WHERE code = 'U2'")).toInt(),
                 length);
    } else {
        const QLocale french(QLocale::French);
        QCOMPARE(boxes.texts(), QStringList{QStringLiteral("Le libellé du niveau est trop long : %1 caractères, pour "
                                                           "%2 au plus.")
                                                .arg(french.toString(length), french.toString(32767))});
        QCOMPARE(boxes.shown().first().icon, Messages::Icon::None);
        QCOMPARE(writes(log.statements()), QStringList());
        QCOMPARE(edit->text().size(), length);
    }
}

void TestLevels::waitCursorWhileStatementsRun_data()
{
    QTest::addColumn<bool>("agencyWindow");
    QTest::addColumn<QString>("action");
    QTest::newRow("levels: activation") << false << "activation";
    QTest::newRow("levels: add") << false << "add";
    QTest::newRow("levels: delete, after the question") << false << "delete";
    QTest::newRow("agencies: activation") << true << "activation";
    QTest::newRow("agencies: another level") << true << "level";
    QTest::newRow("agencies: link") << true << "add";
    QTest::newRow("agencies: unlink") << true << "delete";
}

void TestLevels::waitCursorWhileStatementsRun()
{
    QFETCH(bool, agencyWindow);
    QFETCH(QString, action);

    Env env;
    env.twoLevelsTwoAgencies().users({"U1=Alice", "U2=Bruno", "U3=Chloé"}).withLinks({"U1=A1"});

    const std::unique_ptr<QDialog> window(makeWindow(agencyWindow, &env.db, QStringLiteral("Chef de secteur")));
    const auto waiting = [&window] {
        return window->testAttribute(Qt::WA_SetCursor) && window->cursor().shape() == Qt::WaitCursor;
    };
    // The cursor at each statement, and at each message box.
    QList<bool> atStatements;
    QList<bool> atBoxes;
    ScriptedMessages messages;
    const Messages::Handler scripted = Messages::setHandler({});
    Messages::setHandler([&](const Messages::Box &box) {
        atBoxes << waiting();
        return scripted(box);
    });
    env.db.setStatementSpy([&](const QString &) { atStatements << waiting(); });

    QVERIFY(show(*window));
    if (action != QLatin1String("activation"))
        atStatements.clear();
    if (action == QLatin1String("level")) {
        choose(child<QComboBox>(*window, "cblNiveaux"), QStringLiteral("Secteur Sud"));
    } else if (action == QLatin1String("add")) {
        if (!agencyWindow)
            typeInto(child<QLineEdit>(*window, "edtNiveau"), QStringLiteral("Secteur Est"));
        clickButton(child<QPushButton>(*window, "btnAjouter"));
    } else if (action == QLatin1String("delete")) {
        selectRow(child<QTreeWidget>(*window, "lvNiveau"), agencyWindow ? QStringLiteral("Annecy") : QStringLiteral("Alice"));
        messages.answerNext(QMessageBox::Yes);
        clickButton(child<QPushButton>(*window, "btnSupprimer"));
    }
    Messages::setHandler(scripted);
    env.db.setStatementSpy({});

    QCOMPARE(errorBoxes(messages), 0);
    QVERIFY(atStatements.size() >= 2);
    QCOMPARE(atStatements, QList<bool>(atStatements.size(), true));
    // Never over a question, and gone once the statements are done.
    QCOMPARE(atBoxes, QList<bool>(atBoxes.size(), false));
    QCOMPARE(atBoxes.size(), action == QLatin1String("delete") && !agencyWindow ? 1 : 0);
    QVERIFY(!waiting());
}

QTEST_MAIN(TestLevels)
#include "tst_levels.moc"
