// A database on a PostgreSQL server: its address, an unreachable server,
// and the two roles of a deployment, which the server itself enforces.
#include "support/organisation.h"
#include "support/testsupport.h"

#include "app/startup.h"
#include "app/tficheprincipale.h"
#include "dashboard/dashboardfigures.h"
#include "store/dberror.h"
#include "store/pgsession.h"
#include "store/serveraddress.h"
#include "store/tabsquery.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

namespace {

using Parameters = QList<QPair<QString, QString>>;

QString readScript()
{
    QFile file(QStringLiteral(ORVALIS_ROLES_SCRIPT));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// The deployment's roles on a test database, as its owner sets them up.
void createRoles(TestDatabase &db)
{
    PgSession owner(ServerAddress::parse(db.path()));
    owner.exec(readScript(), QStringLiteral("deploy/postgresql-roles.sql"));
}

// Runs one statement through the program's database layer; returns the
// engine's error, or an empty text.
QString attempt(TABSDatabase &db, const QString &sql)
{
    TABSQuery query(&db);
    query.SQL() << sql;
    try {
        if (sql.startsWith(QLatin1String("SELECT")))
            query.Open();
        else
            query.ExecSQL();
    } catch (const EDatabaseError &e) {
        return e.message();
    }
    return QString();
}

QStringList figures(TABSDatabase &db)
{
    DashboardSelection selection;
    selection.admin = true;
    selection.year = thisYear();
    selection.month = thisMonth();
    QStringList out;
    const auto source = defaultFigureSource();
    buildDashboard(&db, selection, *source, [&out](const DashboardRow &row) { out << row.cells().join('|'); });
    return out;
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void addresses_data();
    void addresses();
    void unusableAddresses_data();
    void unusableAddresses();
    void unreachableServer();
    void lostConnectionComesBack();

    void roles_data();
    void roles();
    void rolesScriptRunsAgain();
    void readerCannotChangeLevelsWhateverTheCommandLine();
};

void TestServer::addresses_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<Parameters>("parameters");
    QTest::addColumn<QString>("display");

    const auto defaults = [](Parameters p) {
        return p << qMakePair(QStringLiteral("connect_timeout"), QStringLiteral("10"))
                 << qMakePair(QStringLiteral("fallback_application_name"), QCoreApplication::applicationName());
    };
    QTest::newRow("full") << "postgresql://orvalis@db.example:5433/ventes"
                          << defaults({{"host", "db.example"}, {"port", "5433"}, {"dbname", "ventes"}, {"user", "orvalis"}})
                          << "postgresql://orvalis@db.example:5433/ventes";
    QTest::newRow("short scheme, defaults") << "postgres://db.example/ventes"
                                            << defaults({{"host", "db.example"}, {"dbname", "ventes"}})
                                            << "postgres://db.example/ventes";
    QTest::newRow("local socket, all defaults") << "postgresql://" << defaults({}) << "postgresql://";
    QTest::newRow("escaped names") << "postgresql://jean%20dupont@[::1]:5432/base%C3%A9t%C3%A9"
                                   << defaults({{"host", "::1"}, {"port", "5432"}, {"dbname", "baseété"},
                                                {"user", "jean dupont"}})
                                   << "postgresql://jean%20dupont@[::1]:5432/base%C3%A9t%C3%A9";
    QTest::newRow("two hosts, parameters")
        << "postgresql://lecteur@primaire:5432,replique/ventes?sslmode=require&target_session_attrs=any"
        << defaults({{"host", "primaire,replique"}, {"port", "5432,"}, {"dbname", "ventes"}, {"user", "lecteur"},
                     {"sslmode", "require"}, {"target_session_attrs", "any"}})
        << "postgresql://lecteur@primaire:5432,replique/ventes";
    QTest::newRow("own timeout") << "postgresql://h/b?connect_timeout=3"
                                 << Parameters{{"host", "h"}, {"dbname", "b"}, {"connect_timeout", "3"},
                                               {"fallback_application_name", QCoreApplication::applicationName()}}
                                 << "postgresql://h/b";
}

void TestServer::addresses()
{
    QFETCH(QString, uri);
    QFETCH(Parameters, parameters);
    QFETCH(QString, display);
    QVERIFY(ServerAddress::isServerName(uri));
    const ServerAddress address = ServerAddress::parse(uri);
    QCOMPARE(address.parameters(), parameters);
    QCOMPARE(address.display(), display);
    // Every value stands quoted in the connection string libpq reads.
    QVERIFY(address.connectionString().startsWith(parameters.first().first + QStringLiteral("='")));
    QCOMPARE(address.connectionString().count(QStringLiteral("='")), parameters.size());
}

void TestServer::unusableAddresses_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("secret");
    const QString password = QStringLiteral("ne doit pas contenir de mot de passe");
    QTest::newRow("password after the user") << "postgresql://orvalis:s3cr3t@h/b" << password << "s3cr3t";
    QTest::newRow("password parameter") << "postgresql://orvalis@h/b?password=s3cr3t" << password << "s3cr3t";
    QTest::newRow("bad port") << "postgresql://h:54x/b" << "port invalide : « 54x »" << "";
    QTest::newRow("unknown parameter") << "postgresql://h/b?s%C3%A9lection=1" << "paramètre inconnu" << "";
    QTest::newRow("semicolon") << "postgresql://h/b?application_name=a;b" << "point-virgule" << "";
}

void TestServer::unusableAddresses()
{
    QFETCH(QString, uri);
    QFETCH(QString, expected);
    QFETCH(QString, secret);
    TABSDatabase db;
    db.SetDatabaseFileName(uri);
    try {
        db.connection();
        QFAIL("no error");
    } catch (const EDatabaseError &e) {
        QVERIFY2(e.message().contains(expected), qPrintable(e.message()));
        if (!secret.isEmpty())
            QVERIFY2(!e.message().contains(secret), qPrintable(e.message()));
    }
    QVERIFY(!db.isOpen());
}

void TestServer::unreachableServer()
{
    // Nothing listens on port 1: the server is named at the first
    // statement, without the password libpq was given.
    qputenv("PGPASSWORD", "mot-de-passe-secret");
    const QString uri = QStringLiteral("postgresql://orvalis@127.0.0.1:1/ventes");
    TABSDatabase db;
    db.SetDatabaseFileName(uri);
    QVERIFY(db.isServer());
    for (int attempt = 0; attempt < 2; ++attempt) {
        TABSQuery query(&db);
        query.SQL() << QStringLiteral("SELECT code, libelle FROM dim_niveau");
        try {
            query.Open();
            QFAIL("no error");
        } catch (const EDatabaseError &e) {
            QVERIFY2(e.message().startsWith(QStringLiteral("Impossible de se connecter au serveur PostgreSQL ") + uri
                                            + QStringLiteral(" : ")),
                     qPrintable(e.message()));
            QVERIFY2(e.message().contains(QStringLiteral("127.0.0.1")), qPrintable(e.message()));
            QVERIFY(!e.message().contains(QStringLiteral("mot-de-passe-secret")));
            QVERIFY(!e.message().contains(QLatin1Char('\n')));
        }
        QVERIFY(!db.isOpen());
    }
    qunsetenv("PGPASSWORD");
}

void TestServer::lostConnectionComesBack()
{
    SKIP_ON_FILE("a server's session");
    TestDatabase file;
    fillOrganisation(file);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    const auto backend = [&db] {
        TABSQuery query(&db);
        query.SQL() << QStringLiteral("SELECT pg_backend_pid() AS pid");
        query.Open();
        return query.FieldByName(QStringLiteral("pid")).AsString();
    };
    const QString before = backend();
    const QStringList figuresBefore = figures(db);

    // The server ends the program's session (a restart, an administrator).
    file.exec(QStringLiteral("SELECT pg_terminate_backend(%1)").arg(before));
    try {
        figures(db);
        QFAIL("no error");
    } catch (const EDatabaseError &e) {
        QVERIFY2(e.message().startsWith(QStringLiteral("La connexion au serveur PostgreSQL ") + file.path()
                                        + QStringLiteral(" a été perdue (")),
                 qPrintable(e.message()));
        QVERIFY2(e.message().endsWith(QStringLiteral("Elle sera rétablie à la prochaine opération.")),
                 qPrintable(e.message()));
    }
    QVERIFY(!db.isOpen());
    QVERIFY(!db.inTransaction());
    // The next action connects again.
    QCOMPARE(figures(db), figuresBefore);
    QVERIFY(backend() != before);
}

void TestServer::roles_data()
{
    QTest::addColumn<bool>("administrator");
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("allowed");

    const QStringList tables{"data", "dim_utilisateur", "dim_agence", "dim_fournisseur", "dim_niveau", "niveau_agence"};
    for (bool administrator : {false, true}) {
        const char *who = administrator ? "administrator" : "reader";
        for (const QString &table : tables)
            QTest::addRow("%s reads %s", who, qPrintable(table))
                << administrator << QStringLiteral("SELECT count(*) AS n FROM %1").arg(table) << true;
        QTest::addRow("%s adds a level", who)
            << administrator << "INSERT INTO dim_niveau ( code , libelle ) values ('U4','Secteur Est' )" << administrator;
        QTest::addRow("%s deletes a level", who)
            << administrator << "DELETE FROM dim_niveau  WHERE code = 'U3'" << administrator;
        QTest::addRow("%s links an agency", who)
            << administrator << "INSERT INTO niveau_agence ( niveau , agence ) values ('U3','A3' )" << administrator;
        QTest::addRow("%s unlinks an agency", who)
            << administrator << "DELETE FROM niveau_agence  WHERE agence = 'A1'" << administrator;
        // Nobody changes a row in place, nor the tables the program only
        // reads.
        QTest::addRow("%s renames a level", who)
            << administrator << "UPDATE dim_niveau SET libelle = 'x'" << false;
        QTest::addRow("%s adds a fact", who)
            << administrator
            << "INSERT INTO data (code_account, period_year, period_month, valeur) VALUES ('NB_RELANCES', 2024, 1, 1)"
            << false;
        QTest::addRow("%s deletes an agency", who) << administrator << "DELETE FROM dim_agence WHERE code = 'A3'" << false;
        QTest::addRow("%s deletes a user", who) << administrator << "DELETE FROM dim_utilisateur" << false;
        QTest::addRow("%s creates a table", who) << administrator << "CREATE TABLE autre (x int)" << false;
    }
}

void TestServer::roles()
{
    SKIP_ON_FILE("roles of a server");
    QFETCH(bool, administrator);
    QFETCH(QString, sql);
    QFETCH(bool, allowed);

    TestDatabase file;
    fillOrganisation(file);
    createRoles(file);
    TestRole person(file, QStringLiteral("personne"),
                    {QStringLiteral("GRANT %2 TO %1")
                         .arg(QStringLiteral("%1"),
                              administrator ? QStringLiteral("orvalis_admin") : QStringLiteral("orvalis_lecture"))});
    const int levels = file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt();
    const int links = file.scalar(QStringLiteral("SELECT count(*) FROM niveau_agence")).toInt();

    TABSDatabase db;
    db.SetDatabaseFileName(person.uri());
    const QString error = attempt(db, sql);
    if (allowed) {
        QVERIFY2(error.isEmpty(), qPrintable(error));
    } else {
        QVERIFY2(error.startsWith(QStringLiteral("permission denied for ")), qPrintable(error));
        QVERIFY2(error.endsWith(QStringLiteral("(42501)")), qPrintable(error));
        QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt(), levels);
        QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM niveau_agence")).toInt(), links);
        QVERIFY(!file.tableExists(QStringLiteral("autre")));
    }
    // Whoever it is, the tracking table shows what its owner sees.
    TABSDatabase owner;
    owner.SetDatabaseFileName(file.path());
    QCOMPARE(figures(db), figures(owner));
}

void TestServer::rolesScriptRunsAgain()
{
    SKIP_ON_FILE("roles of a server");
    TestDatabase file;
    fillOrganisation(file);
    createRoles(file);
    // A privilege granted by hand meanwhile, and the tables created anew
    // (as orvalis-sample --force does): the script sets them back.
    file.exec(QStringLiteral("GRANT UPDATE ON dim_agence TO orvalis_lecture"));
    file.exec(QStringLiteral("DROP TABLE niveau_agence"));
    file.exec(QStringLiteral("CREATE TABLE niveau_agence (niveau TEXT, agence TEXT)"));
    createRoles(file);

    const QString privileges = QStringLiteral(
        "SELECT string_agg(grantee || ':' || table_name || ':' || privilege_type, ' ' "
        "ORDER BY grantee, table_name, privilege_type) FROM information_schema.role_table_grants "
        "WHERE grantee LIKE 'orvalis\\_%' AND table_catalog = current_database()");
    QStringList expected;
    for (const char *table : {"dim_niveau", "niveau_agence"})
        for (const char *privilege : {"DELETE", "INSERT"})
            expected << QStringLiteral("orvalis_admin:%1:%2").arg(QLatin1String(table), QLatin1String(privilege));
    for (const char *table : {"data", "dim_agence", "dim_fournisseur", "dim_niveau", "dim_utilisateur", "niveau_agence"})
        expected << QStringLiteral("orvalis_lecture:%1:SELECT").arg(QLatin1String(table));
    QCOMPARE(file.scalar(privileges).toString(), expected.join(QLatin1Char(' ')));
}

void TestServer::readerCannotChangeLevelsWhateverTheCommandLine()
{
    SKIP_ON_FILE("roles of a server");
    TestDatabase file;
    fillOrganisation(file);
    createRoles(file);
    TestRole reader(file, QStringLiteral("lecteur"), {QStringLiteral("GRANT orvalis_lecture TO %1")});
    const int levels = file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt();

    // The administrator's code on the command line, a reader's role on
    // the server: the windows open in administrator mode, and the server
    // refuses the change.
    ScriptedMessages boxes;
    const auto main = Startup::createMainWindow({reader.uri(), QStringLiteral("VEXOR")});
    QVERIFY(main);
    main->show();
    auto *button = main->findChild<QPushButton *>(QStringLiteral("btnParamNiveau"));
    QTRY_VERIFY(button->isEnabled());

    QStringList listed;
    QTimer::singleShot(0, [&] {
        QTRY_VERIFY(QApplication::activeModalWidget() != nullptr);
        QWidget *window = QApplication::activeModalWidget();
        QTRY_VERIFY(window->findChild<QTreeWidget *>(QStringLiteral("lvNiveau"))->topLevelItemCount() > 0);
        listed << window->findChild<QTreeWidget *>(QStringLiteral("lvNiveau"))->topLevelItem(0)->text(0);
        QTest::keyClicks(window->findChild<QLineEdit *>(QStringLiteral("edtNiveau")), QStringLiteral("Secteur Est"));
        window->findChild<QPushButton *>(QStringLiteral("btnAjouter"))->click();
        window->close();
    });
    button->click();

    // The window could read the levels; the change reached the error
    // display with the server's refusal, and nothing was written.
    QCOMPARE(listed.size(), 1);
    QCOMPARE(boxes.shown().size(), 1);
    QVERIFY(boxes.shown().first().errorDisplay);
    QCOMPARE(boxes.texts().first(), QStringLiteral("permission denied for table dim_niveau (42501)"));
    QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt(), levels);
}

QTEST_MAIN(TestServer)
#include "tst_server.moc"
