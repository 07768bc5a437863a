// Start-up, main window, database layer, error display and activation.
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "ui/activation.h"
#include "ui/guard.h"
#include "app/startup.h"
#include "app/tficheprincipale.h"
#include "store/dberror.h"
#include "store/schema.h"
#include "store/sqltext.h"
#include "store/tabsquery.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCompleter>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QWindow>
#include <QFile>
#include <QPushButton>
#include <QtTest>

namespace {
// A database that does not exist, on the engine of the run.
QString absentDatabase(const QTemporaryDir &dir)
{
    return TestDatabase::onServer() ? TestDatabase::serverUri(QStringLiteral("orvalis_absente"))
                                    : dir.filePath(QStringLiteral("absente.db"));
}
} // namespace

class TestFoundation : public QObject
{
    Q_OBJECT

private slots:
    void wrongArgumentCount_data();
    void wrongArgumentCount();
    void modes_data();
    void modes();
    void styleSheetFailureIsReported();
    void qtTextsInFrench();

    void quoting_data();
    void quoting();
    void notADatabase();
    void statementErrorsCarryEngineMessage_data();
    void statementErrorsCarryEngineMessage();
    void oddPathsOpen_data();
    void oddPathsOpen();
    void missingTablesAndColumnsAreNamed_data();
    void missingTablesAndColumnsAreNamed();
    void nullReadsAsZero();
    void writeTransactionRollsBack();

    void handlerErrorReachesDisplay();
    void keysPressFocusedButton_data();
    void keysPressFocusedButton();
    void returnFromWindow_data();
    void returnFromWindow();
    void activationWithRealBoxes();
};

void TestFoundation::wrongArgumentCount_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList{};
    QTest::newRow("one") << QStringList{"base.db"};
    QTest::newRow("three") << QStringList{"base.db", "VEXOR", "plus"};
}

void TestFoundation::wrongArgumentCount()
{
    QFETCH(QStringList, arguments);
    ScriptedMessages boxes;
    const auto window = Startup::createMainWindow(arguments);
    QVERIFY(!window);
    QCOMPARE(boxes.texts(),
             QStringList{"Veuillez renseigner les paramètres (1)chemin de la base de données (2)utilisateur"});
    for (QWidget *w : QApplication::topLevelWidgets())
        QVERIFY(!w->isVisible());
}

void TestFoundation::modes_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<bool>("admin");
    QTest::newRow("administrator") << "VEXOR" << true;
    QTest::newRow("lower case is a user") << "vexor" << false;
    QTest::newRow("user") << "U0153" << false;
}

void TestFoundation::modes()
{
    QFETCH(QString, user);
    QFETCH(bool, admin);
    ScriptedMessages boxes;
    const auto window = Startup::createMainWindow({"base.db", user});
    QVERIFY(window);
    QCOMPARE(window->IsAdmin(), admin);
    QCOMPARE(window->User(), admin ? QString() : user);

    // Nothing is enabled before the first activation.
    const QStringList adminButtons{"btnParamNiveau", "btnParamNiveauAgence", "btnReparation"};
    for (const QString &name : adminButtons)
        QVERIFY(!window->findChild<QPushButton *>(name)->isEnabled());
    window->show();
    QTRY_COMPARE(window->activation()->count(), 1);
    QVERIFY(window->findChild<QPushButton *>("btnTableauSuivi")->isEnabled());
    for (const QString &name : adminButtons)
        QCOMPARE(window->findChild<QPushButton *>(name)->isEnabled(), admin);
    for (const char *name : {"Button1", "Button3", "Button4"}) {
        QVERIFY(!window->findChild<QPushButton *>(name)->isVisible());
        QVERIFY(!window->findChild<QPushButton *>(name)->isEnabled());
    }
    QVERIFY(boxes.shown().isEmpty());
}

void TestFoundation::styleSheetFailureIsReported()
{
    ScriptedMessages boxes;
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    QVERIFY(Startup::applyStyleSheet(*app));
    QVERIFY(app->styleSheet().contains(QStringLiteral("QPushButton")));
    QVERIFY(boxes.shown().isEmpty());
    QVERIFY(!Startup::applyStyleSheet(*app, QStringLiteral(":/orvalis/absent.qss")));
    QCOMPARE(boxes.shown().size(), 1);
    QVERIFY(boxes.texts().first().startsWith(QStringLiteral("Le style visuel n'a pas pu être appliqué")));
    app->setStyleSheet(QString());
}

void TestFoundation::qtTextsInFrench()
{
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    QVERIFY(Startup::installFrenchTranslations(*app));
    QMessageBox box(QMessageBox::Question, "Orvalis", "?", QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.button(QMessageBox::Yes)->text().remove('&'), QStringLiteral("Oui"));
    QCOMPARE(box.button(QMessageBox::No)->text().remove('&'), QStringLiteral("Non"));
}

void TestFoundation::quoting_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("readBack");
    QTest::newRow("plain") << "AG012" << "AG012";
    QTest::newRow("apostrophe") << "Agence d'Orléans" << "Agence d'Orléans";
    QTest::newRow("injection") << "x' OR '1'='1" << "x' OR '1'='1";
    QTest::newRow("only quotes") << "'''" << "'''";
    QTest::newRow("statement end") << "'); DROP TABLE dim_niveau; --" << "'); DROP TABLE dim_niveau; --";
    QTest::newRow("empty") << "" << "";
    // An unpaired surrogate would take the quote after it as its other
    // half, and the value would end there: it is no character, and reads
    // back as U+FFFD.
    const QString replacement(QChar(QChar::ReplacementCharacter));
    QTest::newRow("unpaired surrogate before a quote")
        << QString(QChar(0xD800)) + "' as v, 'injected' as w --" << replacement + "' as v, 'injected' as w --";
    QTest::newRow("unpaired low surrogate") << QString(QChar(0xDC00)) + "'x" << replacement + "'x";
    QTest::newRow("a pair stays") << QStringLiteral("😀'") << QStringLiteral("😀'");
    // SQLite reads a statement only up to a NUL.
    const QString nul = QStringLiteral("x") + QChar(0) + QStringLiteral("' OR 1 --");
    QTest::newRow("NUL") << nul << nul;
}

void TestFoundation::quoting()
{
    // Whatever the value, the engine reads back exactly that value.
    QFETCH(QString, value);
    QFETCH(QString, readBack);
    if (value.contains(QChar(0)))
        SKIP_ON_SERVER("a server's texts hold no NUL");
    TestDatabase file;
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    TABSQuery query(&db);
    query.SetDatabaseName(QStringLiteral("tdb"));
    query.SQL().append(QStringLiteral("SELECT '") + sqlEscape(value) + QStringLiteral("' as v"));
    query.Open();
    QCOMPARE(query.RecordCount(), 1);
    QCOMPARE(query.FieldByName(QStringLiteral("v")).AsString(), readBack);
    QVERIFY(file.tableExists(QStringLiteral("dim_niveau")));
}

void TestFoundation::notADatabase()
{
    SKIP_ON_SERVER("a file that is not a database: no such thing on a server");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("texte.db"));
    QByteArray content;
    for (int i = 0; i < 200; ++i)
        content += "Ceci n'est pas une base de données.\n";
    writeFile(path, content);
    TABSDatabase db;
    db.SetDatabaseFileName(path);
    TABSQuery query(&db);
    query.SQL().append(QStringLiteral("INSERT INTO dim_niveau (code, libelle) values ('a','b')"));
    const QString error = databaseError([&] { query.ExecSQL(); });
    QVERIFY2(error.contains(path) && error.contains(QStringLiteral("n'est pas une base de données")), qPrintable(error));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), content);
}

void TestFoundation::statementErrorsCarryEngineMessage_data()
{
    QTest::addColumn<QString>("before"); // run first, when not empty
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("write");
    QTest::addColumn<QString>("message");       // SQLite, exactly
    QTest::addColumn<QString>("serverFragment"); // PostgreSQL
    const QString reading = QStringLiteral("La base de données n'a pas pu être lue : ");
    const QString writing = QStringLiteral("La modification n'a pas pu être enregistrée dans la base de données : ");
    QTest::newRow("missing table") << "" << "SELECT code FROM dim_absente" << false
                                   << "La table dim_absente manque dans la base de données : no such table: dim_absente"
                                   << "relation \"dim_absente\" does not exist (42P01)";
    QTest::newRow("missing column") << "" << "SELECT inconnue FROM dim_niveau" << false
                                    << "La colonne inconnue manque dans la table dim_niveau : no such column: inconnue"
                                    << "column \"inconnue\" does not exist (42703)";
    QTest::newRow("syntax") << "" << "SELEC code FROM dim_niveau" << false << reading + "near \"SELEC\": syntax error"
                            << "syntax error at or near \"SELEC\" (42601)";
    QTest::newRow("write refused") << "PRAGMA query_only = 1"
                                   << "DELETE FROM niveau_agence  WHERE niveau = 'U1'" << true
                                   << writing + "attempt to write a readonly database" << "";
}

void TestFoundation::statementErrorsCarryEngineMessage()
{
    QFETCH(QString, before);
    QFETCH(QString, sql);
    QFETCH(bool, write);
    QFETCH(QString, message);
    QFETCH(QString, serverFragment);
    if (TestDatabase::onServer() && serverFragment.isEmpty())
        QSKIP("a SQLite setting");
    TestDatabase file;
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    if (!before.isEmpty()) {
        TABSQuery setting(&db);
        setting.SQL().append(before);
        setting.ExecSQL();
    }
    StatementLog log(&db);
    TABSQuery query(&db);
    query.SQL().append(sql);
    auto run = [&] { write ? query.ExecSQL() : query.Open(); };
    QVERIFY(!databaseError(run).isEmpty());
    const QString error = databaseError(run); // the same again
    if (TestDatabase::onServer())
        QVERIFY2(error.contains(serverFragment), qPrintable(error));
    else
        QCOMPARE(error, message);
    QCOMPARE(log.statements(), (QStringList{sql, sql}));
}

void TestFoundation::oddPathsOpen_data()
{
    // Where the file is, in the folder; how it is named to the program
    // ("%d" stands for the folder).
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("given");
    QTest::newRow("doubled slash first") << "base.db" << "/%d/base.db";
    QTest::newRow("doubled slash inside") << "base.db" << "%d//base.db";
    QTest::newRow("dot and dot-dot") << "base.db" << "%d/./sous/../base.db";
    QTest::newRow("spaces") << "ma base de suivi.db" << "%d/ma base de suivi.db";
    QTest::newRow("hash") << "base#2.db" << "%d/base#2.db";
    QTest::newRow("question mark") << "base?.db" << "%d/base?.db";
    QTest::newRow("percent") << "base%41.db" << "%d/base%41.db";
    QTest::newRow("percent alone") << "100%.db" << "%d/100%.db";
    QTest::newRow("accents") << "données été.db" << "%d/données été.db";
    QTest::newRow("symbolic link") << "base.db" << "%d/lien.db";
    QTest::newRow("relative") << "base.db" << "base.db";
}

// Every path the system accepts names its file, for the program and for
// the repair, and no other file appears.
void TestFoundation::oddPathsOpen()
{
    QFETCH(QString, file);
    QFETCH(QString, given);
    SKIP_ON_SERVER("paths of database files");
    TestDatabase source;
    source.addLevel("U1", "Secteur Nord");
    source.closeConnection();
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sous")));
    const QString real = dir.filePath(file);
    QVERIFY(QFile::copy(source.path(), real));
    if (given.contains(QLatin1String("lien")))
        QVERIFY(QFile::link(real, dir.filePath(QStringLiteral("lien.db"))));
    const QString name = QString(given).replace(QLatin1String("%d"), dir.path());
    const QStringList before = QDir(dir.path()).entryList(QDir::Files | QDir::System);
    {
        struct InFolder // for the relative path
        {
            const QString back = QDir::currentPath();
            explicit InFolder(const QString &path) { QDir::setCurrent(path); }
            ~InFolder() { QDir::setCurrent(back); }
        } inFolder(dir.path());
        TABSDatabase db;
        db.SetDatabaseFileName(name);
        TABSQuery query(&db);
        query.SQL().append(QStringLiteral("SELECT libelle FROM dim_niveau"));
        query.Open();
        QCOMPARE(query.FieldByName(QStringLiteral("libelle")).AsString(), QStringLiteral("Secteur Nord"));
        query.Close();
        db.close();
        // The repair finds the same file.
        QCOMPARE(databaseError([&] { db.RepairDatabase(); }), QString());
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System), before);
    TABSDatabase again;
    again.SetDatabaseFileName(real);
    TABSQuery query(&again);
    query.SQL().append(QStringLiteral("SELECT count(*) AS n FROM dim_niveau"));
    query.Open();
    QCOMPARE(query.FieldByName(QStringLiteral("n")).AsString(), QStringLiteral("1"));
}

// The engines' other words for a missing table or column (their usual
// words are statementErrorsCarryEngineMessage's, and tst_report's refusals
// drive them through the statements of the table).
void TestFoundation::missingTablesAndColumnsAreNamed_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("engine");
    QTest::addColumn<QString>("named");
    const QString levels = QStringLiteral("SELECT code, libelle FROM dim_niveau ORDER BY libelle ASC");
    const QString agencies = QStringLiteral("SELECT a.code as code, a.libelle as libelle FROM dim_agence a, niveau_agence n "
                                            "WHERE a.code = n.agence AND n.niveau = 'U1' ORDER BY libelle ASC");
    const QString users = QStringLiteral("SELECT distinct u.code, u.libelle FROM dim_utilisateur u, data d WHERE "
                                         "d.dim_agence = 'A1' AND u.code  = d.dim_utilisateur");
    const QString sum = QStringLiteral("SELECT SUM(valeur) as somme FROM data WHERE code_account = 'NB_RELANCES' AND "
                                       "dim_agence in (SELECT agence FROM niveau_agence WHERE niveau = 'U1')");
    QTest::newRow("server in French, table") << levels << "la relation « dim_niveau » n'existe pas (42P01)"
                                             << "La table dim_niveau manque dans la base de données : ";
    QTest::newRow("server in French, column") << users << "la colonne « u.libelle » n'existe pas (42703)"
                                              << "La colonne libelle manque dans la table dim_utilisateur : ";
    QTest::newRow("column of one of two tables") << users << "no such column: dim_utilisateur"
                                                 << "La colonne dim_utilisateur manque dans la table data : ";
    QTest::newRow("column of the sub-select") << sum << "no such column: niveau"
                                              << "La colonne niveau manque dans la table niveau_agence : ";
    QTest::newRow("column no table should have") << agencies << "no such column: inconnue"
                                                 << "La colonne inconnue manque dans l'une des tables dim_agence, niveau_agence : ";
    QTest::newRow("another error") << levels << "syntax error" << "";
    QTest::newRow("a busy file") << levels << "database is locked" << "";
}

void TestFoundation::missingTablesAndColumnsAreNamed()
{
    QFETCH(QString, statement);
    QFETCH(QString, engine);
    QFETCH(QString, named);
    const QString message = Schema::missingObjectMessage(statement, engine);
    QCOMPARE(message, named.isEmpty() ? QString() : named + engine);
}

void TestFoundation::nullReadsAsZero()
{
    TestDatabase file;
    file.addUser("U1", "Alice");
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    TABSQuery query(&db);
    query.SQL().append(QStringLiteral("SELECT SUM(valeur) as somme FROM data"));
    query.Open();
    QVERIFY(!query.Eof());
    QVERIFY(query.FieldByName(QStringLiteral("SOMME")).IsNull());
    QCOMPARE(query.FieldByName(QStringLiteral("somme")).AsFloat(), 0.0);
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, query.FieldByName(QStringLiteral("absent")));
    query.Next();
    QVERIFY(query.Eof());
    query.Close();

    query.SQL().clear();
    query.SQL().append(QStringLiteral("SELECT code, libelle FROM dim_utilisateur"));
    query.Open();
    QCOMPARE(query.RecordCount(), 1);
    QCOMPARE(query.FieldByName(QStringLiteral("libelle")).AsString(), QStringLiteral("Alice"));
    QVERIFY_THROWS_EXCEPTION(EDatabaseError, query.SetDatabaseName(QStringLiteral("autre")));
}

void TestFoundation::writeTransactionRollsBack()
{
    TestDatabase file;
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    QVERIFY(!databaseError([&] {
        TWriteTransaction transaction(&db);
        TABSQuery query(&db);
        query.SQL().append(QStringLiteral("INSERT INTO dim_niveau (code, libelle) values ('U1','Nord')"));
        query.ExecSQL();
        query.SQL().clear();
        query.SQL().append(QStringLiteral("INSERT INTO table_absente values (1)"));
        query.ExecSQL();
        transaction.commit();
    }).isEmpty());
    QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt(), 0);
    QVERIFY(!db.inTransaction());
    {
        TWriteTransaction transaction(&db);
        TABSQuery query(&db);
        query.SQL().append(QStringLiteral("INSERT INTO dim_niveau (code, libelle) values ('U1','Nord')"));
        query.ExecSQL();
        transaction.commit();
    }
    QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt(), 1);
}

void TestFoundation::handlerErrorReachesDisplay()
{
    // A user-mode main window on a missing database: the tracking table's
    // first statement fails, the error display names the database (and its
    // server), nothing is created, the program goes on.
    ScriptedMessages boxes;
    QTemporaryDir dir;
    const QString path = absentDatabase(dir);
    const QStringList expected =
        TestDatabase::onServer() ? QStringList{QStringLiteral("Impossible de se connecter au serveur PostgreSQL ") + path + " : ",
                             QStringLiteral("orvalis_absente\" does not exist")}
               : QStringList{path, QStringLiteral("introuvable")};
    const auto window = Startup::createMainWindow({path, "U1"});
    window->show();
    QTRY_COMPARE(window->activation()->count(), 1);
    QTimer::singleShot(0, [&boxes] {
        // The tracking table is modal: close it once its error was shown.
        QTRY_COMPARE(boxes.shown().size(), 1);
        QVERIFY(QApplication::activeModalWidget() != nullptr);
        QApplication::activeModalWidget()->close();
    });
    clickButton(window->findChild<QPushButton *>("btnTableauSuivi"));
    QCOMPARE(boxes.shown().size(), 1);
    QVERIFY(boxes.shown().first().errorDisplay);
    QCOMPARE(boxes.shown().first().icon, Messages::Icon::Critical);
    for (const QString &part : expected)
        QVERIFY2(boxes.texts().first().contains(part), qPrintable(boxes.texts().first()));
    QVERIFY(!window->Database()->isOpen());
    QVERIFY(!QFile::exists(path));
    QVERIFY(!QFile::exists(path + QStringLiteral("-journal")));
    // Still running: the handler returned and the window answers.
    QVERIFY(window->isVisible());
    QVERIFY(guarded(window.get(), [] {}));
    QVERIFY(!guarded(window.get(), [] { throw std::runtime_error("autre"); }));
    QCOMPARE(boxes.texts().last(), QStringLiteral("autre"));
}

void TestFoundation::keysPressFocusedButton_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    QTest::newRow("Space") << int(Qt::Key_Space) << int(Qt::NoModifier);
}

// The main window's large button, focused, opens the tracking table with
// Enter as with Space.
void TestFoundation::keysPressFocusedButton()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    ScriptedMessages boxes;
    TestDatabase file;
    const auto window = Startup::createMainWindow({file.path(), "U1"});
    window->show();
    QTRY_COMPARE(window->activation()->count(), 1);
    QString opened;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            opened = modal->windowTitle();
            modal->close();
        }
    });
    closer.start(20);
    pressKey(window->findChild<QPushButton *>("btnTableauSuivi"), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTRY_COMPARE(opened, QStringLiteral("Tableau de suivi"));
    QVERIFY2(boxes.shown().isEmpty(), qPrintable(boxes.texts().join('\n')));
}

void TestFoundation::returnFromWindow_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("activates");
    QTest::newRow("message box") << "box" << true;
    QTest::newRow("modal child window") << "modal" << true;
    QTest::newRow("drop-down list") << "combo" << false;
    QTest::newRow("context menu") << "menu" << false;
    QTest::newRow("completer") << "completer" << false;
    QTest::newRow("tooltip") << "tooltip" << false;
    QTest::newRow("window that takes no focus") << "nofocus" << false;
    QTest::newRow("window of ours, not modal") << "modeless" << false;
    QTest::newRow("passive window") << "passive" << false;
    QTest::newRow("error display") << "error" << false;
    QTest::newRow("another program") << "program" << false;
}

// The focus goes from the window to another window (of the program, or
// another program's) and comes back: only a message box or a modal child
// of ours is a return.
void TestFoundation::returnFromWindow()
{
    QFETCH(QString, kind);
    QFETCH(bool, activates);

    QWidget window;
    window.resize(300, 200);
    int runs = 0;
    auto *activation = new Activation(&window, [&] { ++runs; });
    window.show();
    QTRY_COMPARE(activation->count(), 1);

    auto *combo = new QComboBox(&window);
    combo->addItems({"un", "deux"});
    auto *edit = new QLineEdit(&window);
    auto *completer = new QCompleter(QStringList{"alpha", "alphabet"}, edit);
    edit->setCompleter(completer);
    QScopedPointer<QWidget> other;
    if (kind == QLatin1String("box")) {
        other.reset(new QMessageBox(QMessageBox::NoIcon, "Orvalis", "texte", QMessageBox::Ok, &window));
        other->setWindowModality(Qt::ApplicationModal);
    } else if (kind == QLatin1String("modal") || kind == QLatin1String("modeless") || kind == QLatin1String("passive")
               || kind == QLatin1String("error")) {
        other.reset(new QDialog(&window));
        other->setWindowModality(kind == QLatin1String("modeless") ? Qt::NonModal : Qt::ApplicationModal);
        if (kind == QLatin1String("passive"))
            FocusHistory::markPassive(other.data());
        if (kind == QLatin1String("error"))
            FocusHistory::markErrorDisplay(other.data());
    } else if (kind == QLatin1String("menu")) {
        auto *menu = new QMenu(&window);
        menu->addAction("Copier");
        other.reset(menu);
    } else if (kind == QLatin1String("tooltip")) {
        other.reset(new QWidget(&window, Qt::ToolTip));
    } else if (kind == QLatin1String("nofocus")) {
        other.reset(new QWidget(&window, Qt::Window | Qt::WindowDoesNotAcceptFocus));
    }

    QWindow *away = nullptr;
    if (kind == QLatin1String("combo")) {
        combo->showPopup();
        QTRY_VERIFY(combo->view()->isVisible());
        away = combo->view()->window()->windowHandle();
    } else if (kind == QLatin1String("completer")) {
        completer->complete();
        QTRY_VERIFY(completer->popup()->isVisible());
        away = completer->popup()->window()->windowHandle();
    } else if (other) {
        other->show();
        QTRY_VERIFY(other->windowHandle());
        away = other->windowHandle();
    }

    // What the platform reports, whatever it does itself: the focus goes
    // there, through "no window" for a moment, then comes back.
    FocusHistory &focus = FocusHistory::instance();
    focus.focusWindowChanged(away);
    focus.focusWindowChanged(nullptr);
    if (kind == QLatin1String("combo"))
        combo->hidePopup();
    else if (kind == QLatin1String("completer"))
        completer->popup()->hide();
    else if (other)
        other->hide();
    if (!away)
        QTest::qWait(300); // longer than the focus takes between two windows of ours
    focus.focusWindowChanged(window.windowHandle());
    QTest::qWait(20);
    QCOMPARE(runs, activates ? 2 : 1);
}

void TestFoundation::activationWithRealBoxes()
{
    // Real boxes, closed by a timer as a user would: the platform's own
    // focus changes decide.
    int closed = 0;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            box->close();
            ++closed;
        }
    });
    closer.start(30);

    QWidget window;
    window.resize(200, 100);
    int runs = 0;
    auto *activation = new Activation(&window, [&] {
        if (++runs == 1)
            throw EDatabaseError(QStringLiteral("no such table: dim_niveau"));
    });
    window.show();
    QTRY_COMPARE(closed, 1);
    QTest::qWait(300);
    // The error display closed: no activation.
    QCOMPARE(runs, 1);
    QCOMPARE(activation->count(), 1);

    // A plain box of ours closed: activation.
    Messages::ShowMessage(&window, QStringLiteral("Il faut sélectionner une agence"));
    QCOMPARE(closed, 2);
    QTRY_COMPARE(runs, 2);
    QTest::qWait(300);
    QCOMPARE(runs, 2);
}

QTEST_MAIN(TestFoundation)
#include "tst_foundation.moc"
