// A database on a PostgreSQL server: its address and time limits, an
// unreachable or silent server, and the two roles of a deployment, which
// the server itself enforces, for writes and for reads.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "app/startup.h"
#include "app/tficheprincipale.h"
#include "dashboard/dashboardfigures.h"
#include "tools/report/reportcommand.h"
#include "dashboard/tfichetdb.h"
#include "levels/tficheparamniveau.h"
#include "store/dberror.h"
#include "store/pgsession.h"
#include "store/serveraddress.h"
#include "store/serverconnection.h"
#include "store/serverlimits.h"
#include "store/sqltext.h"
#include "store/tabsquery.h"

#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QLabel>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <libpq-fe.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>

namespace {

using Parameters = QList<QPair<QString, QString>>;

QString readScript()
{
    QFile file(QStringLiteral(ORVALIS_ROLES_SCRIPT));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// The deployment's catalogue and roles on a test database, as the
// superuser and its owner set them up.
void createRoles(TestDatabase &db)
{
    PgSession owner(ServerAddress::parse(db.path()));
    QFile catalogue(QStringLiteral(ORVALIS_ROLES_SCRIPT).replace(QStringLiteral("-roles.sql"), QStringLiteral("-catalog.sql")));
    QVERIFY(catalogue.open(QIODevice::ReadOnly));
    owner.exec(QString::fromUtf8(catalogue.readAll()), QStringLiteral("deploy/postgresql-catalog.sql"));
    owner.exec(readScript(), QStringLiteral("deploy/postgresql-roles.sql"));
}

// What a statement gives a session of libpq's own on `uri`, as psql would
// show it: its rows, or the server's error.
QString asPsql(const QString &uri, const QString &sql)
{
    PGconn *connection = PQconnectdb(ServerAddress::parse(uri).connectionString().toUtf8().constData());
    PGresult *result = PQexec(connection, sql.toUtf8().constData());
    QStringList lines;
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(result); ++row) {
            QStringList cells;
            for (int column = 0; column < PQnfields(result); ++column)
                cells << QString::fromUtf8(PQgetvalue(result, row, column));
            lines << cells.join(QLatin1Char('|'));
        }
    } else {
        lines << QStringLiteral("ERROR: ") + QString::fromUtf8(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY));
    }
    PQclear(result);
    PQfinish(connection);
    return lines.join(QLatin1Char('\n'));
}

// The small organisation on the server with the deployment's roles, and a
// reader's login that orvalis_acces gives as `user` (as nobody when empty).
struct Deployment
{
    explicit Deployment(const QString &user)
    {
        if (!user.isEmpty())
            server.exec(QStringLiteral("INSERT INTO orvalis_acces (login, utilisateur) VALUES (?, ?)"),
                        {reader.name(), user});
    }
    static bool setUp(TestDatabase &db)
    {
        fillOrganisation(db);
        createRoles(db);
        return true;
    }

    TestDatabase server;
    bool ready = setUp(server);
    TestRole reader{server, QStringLiteral("lecteur"), {QStringLiteral("GRANT orvalis_lecture TO %1")}};
};

// Runs one statement through the program's database layer; returns the
// engine's error, or an empty text.
QString attempt(TABSDatabase &db, const QString &sql)
{
    TABSQuery query(&db);
    query.SQL() << sql;
    return databaseError([&] { sql.startsWith(QLatin1String("SELECT")) ? query.Open() : query.ExecSQL(); });
}

// The rows of the tracking table for `selection` (the current month unless
// it names one), each as its cells joined by '|'.
QStringList tableOf(TABSDatabase &db, DashboardSelection selection)
{
    if (selection.year == 0) {
        selection.year = thisYear();
        selection.month = thisMonth();
    }
    QStringList out;
    const auto source = defaultFigureSource();
    buildDashboard(&db, selection, *source, [&out](const DashboardRow &row) { out << row.cells().join('|'); });
    return out;
}

// The level rows, as the program started with `user` shows them; with a
// level, its agency rows; with an agency too, the user rows of the agency.
QStringList levelRows(TABSDatabase &db, const QString &user, const QString &level = QString(),
                      const QString &agency = QString())
{
    DashboardSelection selection;
    selection.admin = user == QLatin1String("VEXOR");
    selection.user = user;
    selection.levelIndex = level.isEmpty() ? 0 : 1;
    selection.levelCode = level;
    selection.agencyIndex = agency.isEmpty() ? 0 : 1;
    selection.agencyCode = agency;
    return tableOf(db, selection);
}

QStringList agencyRows(TABSDatabase &db, const QString &level)
{
    return levelRows(db, QStringLiteral("VEXOR"), level);
}

QStringList userRows(TABSDatabase &db, const QString &level, const QString &agency)
{
    return levelRows(db, QStringLiteral("VEXOR"), level, agency);
}

QStringList column(TestDatabase &db, const QString &sql)
{
    QStringList out;
    for (const QVariantList &row : db.rows(sql))
        out << row.value(0).toString();
    return out;
}

// What a reader reads of the facts, the levels and their links, with the
// program's statements.
QStringList readable(TestDatabase &owner, const QString &login)
{
    TABSDatabase db;
    db.SetDatabaseFileName(owner.uriFor(login));
    QStringList out;
    for (const char *sql : {"SELECT code || ':' || libelle AS r FROM dim_niveau ORDER BY 1",
                            "SELECT niveau || ':' || agence AS r FROM niveau_agence ORDER BY 1",
                            "SELECT count(*) || ' facts of ' || coalesce(string_agg(DISTINCT dim_agence, ',' ORDER BY dim_agence), "
                            "'-') AS r FROM data"}) {
        TABSQuery query(&db);
        query.SQL() << QLatin1String(sql);
        query.Open();
        for (; !query.Eof(); query.Next())
            out << query.FieldByName(QStringLiteral("r")).AsString();
    }
    return out;
}

// The session of the program on the server: the server process behind it,
// stopped as a server that stops answering is, and let go on whatever
// happens to the test.
class StoppedBackend
{
public:
    static int pidOf(TABSDatabase &db) { return PQbackendPID(ServerConnection::handle(db.connection())); }
    // False when the test may not signal the server's processes (another
    // machine, another account).
    static bool reachable(int pid) { return pid > 0 && ::kill(pid, 0) == 0; }

    void stop(int pid)
    {
        m_pid = pid;
        QVERIFY(::kill(pid, SIGSTOP) == 0);
    }
    void resume()
    {
        if (m_pid > 0)
            ::kill(m_pid, SIGCONT);
    }
    int pid() const { return m_pid; }
    ~StoppedBackend() { resume(); }

private:
    int m_pid = 0;
};

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
    void limitsReachTheConnection_data();
    void limitsReachTheConnection();
    void silentServer_data();
    void silentServer();
    void statementTimeoutIsClear();
    void setUpTimeoutIsClear();
    void slowCommitIsSaid_data();
    void slowCommitIsSaid();

    void roles_data();
    void namesOfFilesAndServers_data();
    void namesOfFilesAndServers();
    void roles();
    void rolesScriptRunsAgain();
    void readerCannotChangeLevelsWhateverTheCommandLine();
    void readerLearnsNothingOfOtherLevels_data();
    void readerLearnsNothingOfOtherLevels();
    void readerSeesOnlyHisLevel_data();
    void readerSeesOnlyHisLevel();
    void readerWindowShowsOnlyHisLevel();
};

void TestServer::addresses_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<Parameters>("parameters");
    QTest::addColumn<QString>("display");

    const auto defaults = [](Parameters p) {
        return p << qMakePair(QStringLiteral("connect_timeout"), QStringLiteral("10"))
                 << qMakePair(QStringLiteral("keepalives"), QStringLiteral("1"))
                 << qMakePair(QStringLiteral("keepalives_idle"), QStringLiteral("15"))
                 << qMakePair(QStringLiteral("keepalives_interval"), QStringLiteral("5"))
                 << qMakePair(QStringLiteral("keepalives_count"), QStringLiteral("3"))
                 << qMakePair(QStringLiteral("tcp_user_timeout"), QStringLiteral("30000"))
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
    QTest::newRow("own limits")
        << "postgresql://h/b?connect_timeout=3&keepalives=0&keepalives_idle=60&keepalives_interval=7"
           "&keepalives_count=9&tcp_user_timeout=0&options=-c%20statement_timeout%3D5s"
        << Parameters{{"host", "h"}, {"dbname", "b"}, {"connect_timeout", "3"}, {"options", "-c statement_timeout=5s"},
                      {"keepalives", "0"}, {"keepalives_idle", "60"}, {"keepalives_interval", "7"},
                      {"keepalives_count", "9"}, {"tcp_user_timeout", "0"},
                      {"fallback_application_name", QCoreApplication::applicationName()}}
        << "postgresql://h/b";
    QTest::newRow("libpq's other form")
        << "host=db.example port=5433 dbname='ventes et devis' user=orvalis sslmode=verify-full"
        << defaults({{"host", "db.example"}, {"port", "5433"}, {"dbname", "ventes et devis"}, {"user", "orvalis"},
                     {"sslmode", "verify-full"}})
        << "postgresql://orvalis@db.example:5433/ventes%20et%20devis";
    QTest::newRow("socket folder, own program name")
        << "postgresql://%2Fvar%2Frun%2Fpostgresql/ventes?application_name=lot&fallback_application_name=nuit"
        << Parameters{{"host", "/var/run/postgresql"}, {"dbname", "ventes"}, {"application_name", "lot"},
                      {"fallback_application_name", "nuit"}, {"connect_timeout", "10"}, {"keepalives", "1"},
                      {"keepalives_idle", "15"}, {"keepalives_interval", "5"}, {"keepalives_count", "3"},
                      {"tcp_user_timeout", "30000"}}
        << "postgresql://%2Fvar%2Frun%2Fpostgresql/ventes";
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

void TestServer::namesOfFilesAndServers_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("server");
    QTest::newRow("file") << "ventes.db" << false;
    QTest::newRow("file with an equals sign") << "ventes=2025.db" << false;
    QTest::newRow("path with host=") << "/data/host=a/ventes.db" << false;
    QTest::newRow("file URI") << "file:ventes.db" << false;
    QTest::newRow("URI") << "postgresql://h/b" << true;
    QTest::newRow("short URI, capitals") << "POSTGRES://h/b" << true;
    QTest::newRow("other form") << "dbname=ventes" << true;
    QTest::newRow("other form, blanks") << "  host = h dbname=b" << true;
}

void TestServer::namesOfFilesAndServers()
{
    QFETCH(QString, name);
    QFETCH(bool, server);
    QCOMPARE(ServerAddress::isServerName(name), server);
}

void TestServer::unusableAddresses_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("secret");
    const QString password = QStringLiteral("ne doit pas contenir de mot de passe");
    QTest::newRow("password after the user") << "postgresql://orvalis:s3cr3t@h/b" << password << "s3cr3t";
    QTest::newRow("password parameter") << "postgresql://orvalis@h/b?password=s3cr3t" << password << "s3cr3t";
    QTest::newRow("password in the other form") << "host=h password=s3cr3t dbname=b" << password << "s3cr3t";
    QTest::newRow("password badly encoded") << "postgresql://orvalis:s3cr%zz3t@h/b" << password << "s3cr";
    QTest::newRow("password and an unknown parameter")
        << "postgresql://h/b?password=s3cr3t&inconnu=1" << password << "s3cr3t";
    QTest::newRow("bad port") << "postgresql://h:54x/b" << "port invalide : « 54x »" << "";
    QTest::newRow("port out of range") << "postgresql://h:5432,h2:70000/b" << "port invalide : « 70000 »" << "";
    QTest::newRow("unknown parameter") << "postgresql://h/b?s%C3%A9lection=1" << "paramètre inconnu : « sélection »"
                                       << "";
    QTest::newRow("unknown in the other form") << "host=h base=b" << "paramètre inconnu : « base »" << "";
    QTest::newRow("semicolon") << "postgresql://h/b?application_name=a;b" << "point-virgule" << "";
    QTest::newRow("bracket left open") << "postgresql://[::1/b" << "crochet fermant manquant" << "";
    QTest::newRow("value badly encoded") << "postgresql://h/b?application_name=x%zzsecret"
                                         << "un code %XX n'est pas valide" << "secret";
    QTest::newRow("hash") << "postgresql://h/b#x" << "le caractère # n'y a pas de sens" << "";
    QTest::newRow("quote left open") << "host=h dbname='ventes" << "apostrophe" << "ventes";
}

void TestServer::unusableAddresses()
{
    QFETCH(QString, uri);
    QFETCH(QString, expected);
    QFETCH(QString, secret);
    TABSDatabase db;
    db.SetDatabaseFileName(uri);
    const QString error = databaseError([&db] { db.connection(); });
    QVERIFY2(error.contains(expected) && (secret.isEmpty() || !error.contains(secret)), qPrintable(error));
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
    for (int round = 0; round < 2; ++round) {
        const QString m = attempt(db, QStringLiteral("SELECT code, libelle FROM dim_niveau"));
        QVERIFY2(m.startsWith(QStringLiteral("Impossible de se connecter au serveur PostgreSQL ") + uri + " : ")
                     && m.contains(QStringLiteral("127.0.0.1")) && !m.contains(QLatin1Char('\n'))
                     && !m.contains(QStringLiteral("mot-de-passe-secret")),
                 qPrintable(m));
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
    const QStringList figuresBefore = levelRows(db, QStringLiteral("VEXOR"));

    // The server ends the program's session (a restart, an administrator).
    file.exec(QStringLiteral("SELECT pg_terminate_backend(%1)").arg(before));
    const QString error = databaseError([&db] { levelRows(db, QStringLiteral("VEXOR")); });
    QVERIFY2(error.startsWith(QStringLiteral("La connexion au serveur PostgreSQL ") + file.path()
                              + QStringLiteral(" a été perdue ("))
                 && error.endsWith(QStringLiteral("Elle sera rétablie à la prochaine opération.")),
             qPrintable(error));
    QVERIFY(!db.isOpen());
    QVERIFY(!db.inTransaction());
    // The next action connects again.
    QCOMPARE(levelRows(db, QStringLiteral("VEXOR")), figuresBefore);
    QVERIFY(backend() != before);
}

void TestServer::limitsReachTheConnection_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("roleTimeout");
    QTest::addColumn<QString>("databaseTimeout");
    QTest::addColumn<QList<int>>("keepalive"); // idle, interval, count (seconds)
    QTest::addColumn<int>("userTimeout");
    QTest::addColumn<int>("statementTimeout");

    const QList<int> keepalive{15, 5, 3};
    QTest::newRow("ours") << "" << "" << "" << keepalive << 30000 << 30000;
    QTest::newRow("from the address")
        << "?keepalives_idle=7&keepalives_interval=2&keepalives_count=4&tcp_user_timeout=9000"
           "&options=-c%20statement_timeout%3D4s"
        << "" << "" << QList<int>{7, 2, 4} << 9000 << 4000;
    QTest::newRow("statement timeout of the role") << "" << "2s" << "" << keepalive << 30000 << 2000;
    QTest::newRow("statement timeout of the database") << "" << "" << "1500" << keepalive << 30000 << 1500;
    QTest::newRow("the address before the role")
        << "?options=-c%20statement_timeout%3D4s" << "2s" << "" << keepalive << 30000 << 4000;
    QTest::newRow("no limit is not a limit") << "" << "0" << "" << keepalive << 30000 << 30000;
}

void TestServer::limitsReachTheConnection()
{
    SKIP_ON_FILE("a server's connection");
    QFETCH(QString, query);
    QFETCH(QString, roleTimeout);
    QFETCH(QString, databaseTimeout);
    QFETCH(QList<int>, keepalive);
    QFETCH(int, userTimeout);
    QFETCH(int, statementTimeout);

    TestDatabase file;
    QStringList grants{QStringLiteral("GRANT SELECT ON dim_niveau TO %1")};
    if (!roleTimeout.isEmpty())
        grants << QStringLiteral("ALTER ROLE %1 SET statement_timeout = '%2'").arg(QStringLiteral("%1"), roleTimeout);
    TestRole person(file, QStringLiteral("limites"), grants);
    if (!databaseTimeout.isEmpty())
        file.exec(QStringLiteral("ALTER DATABASE %1 SET statement_timeout = %2").arg(file.serverDatabase(), databaseTimeout));

    TABSDatabase db;
    db.SetDatabaseFileName(person.uri() + query);
    TABSQuery setting(&db);
    setting.SQL() << QStringLiteral("SELECT setting FROM pg_settings WHERE name = 'statement_timeout'");
    setting.Open();
    QCOMPARE(setting.FieldByName(QStringLiteral("setting")).AsString().toInt(), statementTimeout);
    QCOMPARE(db.statementTimeout(), statementTimeout);

    // What the system does with the connection's socket.
    const int socket = PQsocket(ServerConnection::handle(db.connection()));
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    QVERIFY(::getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    if (address.ss_family != AF_INET && address.ss_family != AF_INET6)
        QSKIP("the test server is reached through a local socket, without TCP");
    const auto option = [socket](int level, int name) {
        int value = -1;
        socklen_t size = sizeof(value);
        return ::getsockopt(socket, level, name, &value, &size) == 0 ? value : -1;
    };
    QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE((QList<int>{option(IPPROTO_TCP, TCP_KEEPIDLE), option(IPPROTO_TCP, TCP_KEEPINTVL),
                         option(IPPROTO_TCP, TCP_KEEPCNT)}),
             keepalive);
    QCOMPARE(option(IPPROTO_TCP, TCP_USER_TIMEOUT), userTimeout);
}

void TestServer::silentServer_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("stopAt"); // the statement the server stops answering at

    QTest::newRow("tracking table, another month") << "month" << "SELECT dim_agence, code_account";
    QTest::newRow("new level, its insert") << "add" << "INSERT INTO dim_niveau";
    QTest::newRow("level deletion, between its two deletes") << "delete" << "DELETE FROM dim_niveau";
}

void TestServer::silentServer()
{
    SKIP_ON_FILE("a server's session");
    QFETCH(QString, action);
    QFETCH(QString, stopAt);

    TestDatabase file;
    fillOrganisation(file);
    // A short statement timeout: the program waits for it and a grace.
    constexpr int StatementMs = 1500;
    file.exec(QStringLiteral("ALTER DATABASE %1 SET statement_timeout = %2").arg(file.serverDatabase()).arg(StatementMs));
    const int limitMs = ServerLimits::answerLimitMs(StatementMs);
    const QString silence = QStringLiteral("Le serveur ne répond plus : %1 n'a pas répondu en 6,5 s. Rien n'a été "
                                           "enregistré. La connexion sera rétablie à la prochaine opération.")
                                .arg(file.path());
    const auto content = [&file] {
        return column(file, QStringLiteral("SELECT 'niveau ' || code || ' ' || libelle FROM dim_niveau "
                                           "UNION ALL SELECT 'lien ' || niveau || ' ' || agence FROM niveau_agence "
                                           "ORDER BY 1"));
    };
    const QStringList before = content();

    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    ScriptedMessages boxes;
    std::unique_ptr<QWidget> window;
    std::function<void()> act;
    std::function<void()> verifyDone;
    if (action == QLatin1String("month")) {
        auto *tracking = new TFicheTDB(nullptr);
        window.reset(tracking);
        QVERIFY(openTrackingTable(*tracking, &db, true));
        auto *months = tracking->findChild<QComboBox *>(QStringLiteral("cblPeriode"));
        act = [months] { QVERIFY(pickWithMouse(months, 1)); };
        verifyDone = [&db, tracking] {
            const QDate previous = QDate(thisYear(), thisMonth(), 1).addMonths(-1);
            DashboardSelection selection;
            selection.admin = true;
            selection.year = previous.year();
            selection.month = previous.month();
            TABSDatabase other;
            other.SetDatabaseFileName(db.DatabaseFileName());
            QCOMPARE(joinedRows(tracking->findChild<QTreeWidget *>(QStringLiteral("lvData"))), tableOf(other, selection));
        };
    } else {
        auto *levels = new TFicheParamNiveau(nullptr);
        window.reset(levels);
        levels->SetDatabase(&db);
        levels->SetLevelLabel(QStringLiteral("Chef de secteur"));
        levels->show();
        QVERIFY(QTest::qWaitFor([levels] { return levels->windowTitle().startsWith(QStringLiteral("Paramétrage")); }));
        auto *list = levels->findChild<QTreeWidget *>(QStringLiteral("lvNiveau"));
        QTRY_VERIFY(list->topLevelItemCount() > 0);
        if (action == QLatin1String("add")) {
            QTest::keyClicks(levels->findChild<QLineEdit *>(QStringLiteral("edtNiveau")), QStringLiteral("Secteur Est"));
            act = [levels] { QTest::mouseClick(levels->findChild<QPushButton *>(QStringLiteral("btnAjouter")), Qt::LeftButton); };
            verifyDone = [&content, list] {
                QVERIFY(content().contains(QStringLiteral("niveau U4 Secteur Est")));
                QVERIFY(firstColumn(list).contains(QStringLiteral("Denis Roux")));
            };
        } else {
            act = [levels, list, &boxes] {
                const QList<QTreeWidgetItem *> alice = list->findItems(QStringLiteral("Alice Martin"), Qt::MatchExactly);
                QCOMPARE(alice.size(), 1);
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(alice.first()).center());
                QVERIFY(alice.first()->isSelected());
                boxes.answerNext(QMessageBox::Yes);
                QTest::mouseClick(levels->findChild<QPushButton *>(QStringLiteral("btnSupprimer")), Qt::LeftButton);
            };
            verifyDone = [&content, list] {
                const QStringList now = content();
                QVERIFY(!now.contains(QStringLiteral("niveau U1 Secteur Nord")));
                QVERIFY(!now.contains(QStringLiteral("lien U1 A1")));
                QVERIFY(!firstColumn(list).contains(QStringLiteral("Alice Martin")));
            };
        }
    }

    const int pid = StoppedBackend::pidOf(db);
    if (!StoppedBackend::reachable(pid))
        QSKIP("the test server's processes are out of this test's reach (another machine or account)");
    StoppedBackend backend;
    db.setStatementSpy([&](const QString &sql) {
        if (backend.pid() == 0 && sql.startsWith(stopAt))
            backend.stop(StoppedBackend::pidOf(db));
    });

    QElapsedTimer clock;
    clock.start();
    act();
    const qint64 waited = clock.elapsed();
    QCOMPARE(backend.pid(), pid);

    // The error display said so, within the limit, and the window is there.
    QVERIFY(!boxes.shown().isEmpty());
    QVERIFY(boxes.shown().last().errorDisplay);
    QCOMPARE(boxes.texts().last(), silence);
    QVERIFY2(waited >= limitMs - 50 && waited < limitMs + 2500, qPrintable(QString::number(waited)));
    QVERIFY(!db.isOpen());
    QVERIFY(window->isVisible());

    // Whatever the stopped session does once it goes on, it changes nothing.
    backend.resume();
    QTRY_VERIFY_WITH_TIMEOUT(
        file.scalar(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE pid = %1").arg(pid)).toInt() == 0,
        20000);
    QCOMPARE(content(), before);

    // The same action again, on a new connection (a new press, after the
    // pause that tells it from a double click).
    db.setStatementSpy({});
    boxes.clear();
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    act();
    QVERIFY2(boxes.shown().isEmpty() || !boxes.shown().last().errorDisplay, qPrintable(boxes.texts().join('\n')));
    verifyDone();
    QVERIFY(StoppedBackend::pidOf(db) != pid);
}

// The timeout of the database (limitsReachTheConnection reads it from its
// every source) ends a statement that waits for a lock, with a clear message.
void TestServer::statementTimeoutIsClear()
{
    SKIP_ON_FILE("a server's statement timeout");
    TestDatabase file;
    fillOrganisation(file);
    TestRole person(file, QStringLiteral("delai"), {QStringLiteral("GRANT SELECT ON dim_niveau TO %1")});
    file.exec(QStringLiteral("ALTER DATABASE %1 SET statement_timeout = 500").arg(file.serverDatabase()));

    TABSDatabase db;
    db.SetDatabaseFileName(person.uri());
    const QString levels = QStringLiteral("SELECT code, libelle FROM dim_niveau ORDER BY libelle ASC");
    QCOMPARE(attempt(db, levels), QString());
    const int pid = StoppedBackend::pidOf(db);

    // Another session holds the table: the statement runs out of its time
    // before its lock timeout (10 s).
    file.exec(QStringLiteral("BEGIN"));
    file.exec(QStringLiteral("LOCK TABLE dim_niveau IN ACCESS EXCLUSIVE MODE"));
    QElapsedTimer clock;
    clock.start();
    const QString error = attempt(db, levels);
    const qint64 waited = clock.elapsed();
    file.exec(QStringLiteral("ROLLBACK"));
    QCOMPARE(error, QStringLiteral("La base de données a interrompu l'opération, plus longue que les 0,5 s accordées à "
                                   "chaque instruction : réessayez dans un instant. (canceling statement due to "
                                   "statement timeout (57014))"));
    QVERIFY2(waited >= 450 && waited < 5000, qPrintable(QString::number(waited)));
    // The session goes on.
    QCOMPARE(attempt(db, levels), QString());
    QCOMPARE(StoppedBackend::pidOf(db), pid);
}

// A limit shorter than the session's own set-up (here a role whose
// pg_settings is slow): the time-limit message, not a refused connection.
void TestServer::setUpTimeoutIsClear()
{
    SKIP_ON_FILE("a server's statement timeout");
    TestDatabase file;
    fillOrganisation(file);
    file.exec(QStringLiteral("CREATE SCHEMA lent"));
    file.exec(QStringLiteral("CREATE VIEW lent.pg_settings AS SELECT s.name, s.setting FROM pg_catalog.pg_settings s, "
                             "pg_catalog.pg_sleep(0.5)"));
    TestRole person(file, QStringLiteral("lent"),
                    {QStringLiteral("GRANT USAGE ON SCHEMA lent TO %1"), QStringLiteral("GRANT SELECT ON lent.pg_settings TO %1"),
                     QStringLiteral("ALTER ROLE %1 SET search_path = lent, pg_catalog, public"),
                     QStringLiteral("ALTER ROLE %1 SET statement_timeout = 200")});
    TABSDatabase db;
    db.SetDatabaseFileName(person.uri());
    QCOMPARE(attempt(db, QStringLiteral("SELECT code FROM dim_niveau")),
             QStringLiteral("La base de données a interrompu l'opération, plus longue que les 0,2 s accordées à chaque "
                            "instruction : réessayez dans un instant. (canceling statement due to statement timeout "
                            "(57014))"));
    QVERIFY(!db.isOpen());
}

void TestServer::slowCommitIsSaid_data()
{
    QTest::addColumn<QString>("commitSeconds"); // what the server takes to commit
    QTest::addColumn<bool>("said");
    QTest::newRow("quick") << "0" << false;
    QTest::newRow("slow") << "1.6" << true;
}

// The user waits for a server slow to commit: he is told while he waits,
// and told the wait is over; a quick commit says nothing.
void TestServer::slowCommitIsSaid()
{
    SKIP_ON_FILE("a server's commit");
    QFETCH(QString, commitSeconds);
    QFETCH(bool, said);
    TestDatabase file;
    fillOrganisation(file);
    file.exec(QStringLiteral("CREATE FUNCTION lent() RETURNS trigger LANGUAGE plpgsql AS "
                             "$$ BEGIN PERFORM pg_sleep(%1); RETURN NULL; END $$").arg(commitSeconds));
    file.exec(QStringLiteral("CREATE CONSTRAINT TRIGGER lent AFTER INSERT ON dim_niveau DEFERRABLE INITIALLY DEFERRED "
                             "FOR EACH ROW EXECUTE FUNCTION lent()"));

    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    QElapsedTimer clock;
    QList<QPair<QString, qint64>> told;
    db.setWaitNotice([&](const QString &text) { told << qMakePair(text, clock.elapsed()); });
    clock.start();
    QCOMPARE(attempt(db, QStringLiteral("INSERT INTO dim_niveau (code, libelle) VALUES ('U4', 'Secteur Est')")), QString());
    const qint64 done = clock.elapsed();
    QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau WHERE code = 'U4'")).toInt(), 1);
    if (!said) {
        QVERIFY(told.isEmpty());
        return;
    }
    QCOMPARE(told.size(), 2);
    QCOMPARE(told.at(0).first, QStringLiteral("Le serveur n'a pas encore confirmé l'enregistrement : attente de sa "
                                               "réponse, 35 s au plus…"));
    QVERIFY2(told.at(0).second >= TABSDatabase::WaitNoticeMs && told.at(0).second < 1500,
             qPrintable(QString::number(told.at(0).second)));
    QCOMPARE(told.at(1).first, QString());
    QVERIFY(told.at(1).second >= 1600 && told.at(1).second <= done);
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
        QTest::addRow("%s creates a temporary table", who)
            << administrator << "CREATE TEMPORARY TABLE autre (x int)" << false;
        // Which login is which user: the administrators say.
        QTest::addRow("%s maps a login to a user", who)
            << administrator << "INSERT INTO orvalis_acces (login, utilisateur) VALUES ('quelquun', 'U1')"
            << administrator;
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
        QVERIFY2(error.startsWith(QStringLiteral("La modification n'a pas pu être enregistrée dans la base de données : "
                                                 "permission denied ")),
                 qPrintable(error));
        QVERIFY2(error.endsWith(QStringLiteral("(42501)")), qPrintable(error));
        QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt(), levels);
        QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM niveau_agence")).toInt(), links);
        QVERIFY(!file.tableExists(QStringLiteral("autre")));
    }
    // An administrator's tracking table is its owner's; a reader who is
    // no user of orvalis_acces sees no level at all.
    TABSDatabase owner;
    owner.SetDatabaseFileName(file.path());
    const QStringList owners = levelRows(owner, QStringLiteral("VEXOR"));
    QVERIFY(!owners.isEmpty());
    QCOMPARE(levelRows(db, QStringLiteral("VEXOR")), administrator ? owners : QStringList());
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
    file.exec(QStringLiteral("INSERT INTO orvalis_acces (login, utilisateur) VALUES ('jdupont', 'U1')"));
    file.exec(QStringLiteral("DROP TABLE niveau_agence CASCADE"));
    file.exec(QStringLiteral("CREATE TABLE niveau_agence (niveau TEXT, agence TEXT)"));
    file.exec(QStringLiteral("GRANT TEMPORARY ON DATABASE %1 TO PUBLIC").arg(file.serverDatabase()));
    // And what an earlier set-up left: row-level security, and the
    // readers' privilege on the facts.
    file.exec(QStringLiteral("ALTER TABLE data ENABLE ROW LEVEL SECURITY"));
    file.exec(QStringLiteral("CREATE POLICY orvalis_lecture ON data FOR SELECT TO orvalis_lecture USING (true)"));
    file.exec(QStringLiteral("GRANT SELECT ON data TO orvalis_lecture"));
    createRoles(file);

    const QString privileges = QStringLiteral(
        "SELECT string_agg(p, ' ' ORDER BY p) FROM (SELECT grantee || ':' || table_schema || '.' || table_name || ':' "
        "|| privilege_type AS p FROM information_schema.role_table_grants "
        "WHERE grantee LIKE 'orvalis\\_%' AND table_catalog = current_database()) g");
    QStringList expected{"orvalis_admin:public.data:SELECT", "orvalis_admin:public.orvalis_acces:UPDATE"};
    for (const char *table : {"dim_niveau", "niveau_agence", "orvalis_acces"})
        for (const char *privilege : {"DELETE", "INSERT", "SELECT"})
            expected << QStringLiteral("orvalis_admin:public.%1:%2").arg(QLatin1String(table), QLatin1String(privilege));
    for (const char *table : {"public.dim_agence", "public.dim_fournisseur", "public.dim_utilisateur",
                              "orvalis_lecture.data", "orvalis_lecture.dim_niveau", "orvalis_lecture.niveau_agence"})
        expected << QStringLiteral("orvalis_lecture:%1:SELECT").arg(QLatin1String(table));
    expected.sort();
    QCOMPARE(file.scalar(privileges).toString(), expected.join(QLatin1Char(' ')));

    // No row-level security is left (nobody reads a table he may not read
    // whole); the readers' views read the new table; the mapping is kept;
    // and nobody may create temporary tables again.
    QCOMPARE(column(file, QStringLiteral("SELECT relname FROM pg_class WHERE relrowsecurity UNION ALL "
                                         "SELECT polname FROM pg_policy")),
             QStringList());
    QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM orvalis_lecture.niveau_agence")).toInt(), 0);
    QCOMPARE(column(file, QStringLiteral("SELECT login || ':' || utilisateur FROM orvalis_acces")),
             QStringList{"jdupont:U1"});
    QCOMPARE(file.scalar(QStringLiteral("SELECT has_database_privilege('public', current_database(), 'TEMPORARY')"))
                 .toBool(),
             false);
}

void TestServer::readerCannotChangeLevelsWhateverTheCommandLine()
{
    SKIP_ON_FILE("roles of a server");
    Deployment deployment(QStringLiteral("U1"));
    TestDatabase &file = deployment.server;
    const TestRole &reader = deployment.reader;
    const int levels = file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt();

    // The administrator's code on the command line, a reader's role on
    // the server: the windows open in administrator mode (showing his own
    // level alone), and the server refuses the change.
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
        listed = firstColumn(window->findChild<QTreeWidget *>(QStringLiteral("lvNiveau")));
        typeInto(window->findChild<QLineEdit *>(QStringLiteral("edtNiveau")), QStringLiteral("Secteur Est"));
        clickButton(window->findChild<QPushButton *>(QStringLiteral("btnAjouter")));
        window->close();
    });
    clickButton(button);

    // The window could read the levels; the change reached the error
    // display with the server's refusal, and nothing was written.
    QCOMPARE(listed, QStringList{"Alice Martin"});
    QCOMPARE(boxes.shown().size(), 1);
    QVERIFY(boxes.shown().first().errorDisplay);
    QCOMPARE(boxes.texts().first(), QStringLiteral("La modification n'a pas pu être enregistrée dans la base de "
                                                   "données : permission denied for view dim_niveau (42501)"));
    QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM dim_niveau")).toInt(), levels);
}

void TestServer::readerLearnsNothingOfOtherLevels_data()
{
    QTest::addColumn<QString>("sql");
    const QString month = QStringLiteral("period_year = %1 AND period_month = %2").arg(thisYear()).arg(thisMonth());
    // The hidden rows a policy removes after the reader's own condition,
    // counted; bisecting on valeur gives their values one by one.
    QTest::newRow("plan counts, the facts") << QStringLiteral(
        "EXPLAIN (ANALYZE, COSTS OFF, TIMING OFF, SUMMARY OFF) SELECT * FROM data WHERE %1 AND dim_agence = 'A3' "
        "AND code_account = 'MONTANT_DEVIS_VENTE_HT' AND valeur > 500").arg(month);
    QTest::newRow("plan counts, the readers' view") << QStringLiteral(
        "EXPLAIN (ANALYZE, COSTS OFF, TIMING OFF, SUMMARY OFF) SELECT * FROM orvalis_lecture.data WHERE %1 "
        "AND dim_agence = 'A3' AND valeur > 500").arg(month);
    QTest::newRow("plan counts, the links") << QStringLiteral(
        "EXPLAIN (ANALYZE, COSTS OFF, TIMING OFF, SUMMARY OFF) SELECT * FROM niveau_agence WHERE agence = 'A3'");
    // The planner's estimates, from the statistics of the whole table.
    QTest::newRow("estimates, the facts") << QStringLiteral("EXPLAIN SELECT * FROM data WHERE dim_agence = 'A3'");
    QTest::newRow("estimates, the readers' view")
        << QStringLiteral("EXPLAIN SELECT * FROM orvalis_lecture.data WHERE %1 AND dim_agence = 'A3'").arg(month);
    QTest::newRow("estimates, the levels") << QStringLiteral("EXPLAIN SELECT * FROM dim_niveau");
    QTest::newRow("statistics") << QStringLiteral(
        "SELECT tablename, attname, most_common_vals::text, histogram_bounds::text FROM pg_stats "
        "WHERE tablename IN ('data', 'dim_niveau', 'niveau_agence') ORDER BY 1, 2");
    // The catalogue's counts of rows and pages, the tables' counters and
    // sizes.
    QTest::newRow("catalogue counts") << QStringLiteral(
        "SELECT relname, reltuples, relpages FROM pg_class WHERE relname IN ('data', 'dim_niveau', 'niveau_agence') "
        "ORDER BY 1");
    QTest::newRow("counters") << QStringLiteral(
        "SELECT relname, n_live_tup, n_tup_ins FROM pg_stat_user_tables ORDER BY 1");
    QTest::newRow("sizes") << QStringLiteral(
        "SELECT pg_relation_size('data'), pg_total_relation_size('dim_niveau'), pg_database_size(current_database())");
    // What he may read: his own level, the same in both.
    QTest::newRow("his own facts") << QStringLiteral(
        "SELECT count(*), sum(valeur) FROM orvalis_lecture.data WHERE %1").arg(month);
}

void TestServer::readerLearnsNothingOfOtherLevels()
{
    SKIP_ON_FILE("the catalogue and the plans of a server");
    QFETCH(QString, sql);
    // Two deployments that differ only in what the reader may not know:
    // another level, its link, and facts of an agency of no level of his.
    Deployment same(QStringLiteral("U1"));
    Deployment other(QStringLiteral("U1"));
    other.server.addLevel("U5", "Secteur Sud");
    other.server.link("U5", "A3");
    other.server.link("U'2", "A3");
    for (int i = 0; i < 40; ++i)
        addFigures(other.server, thisYear(), thisMonth(), "A3", "U5", "F1", 600 + i, 1, 1, 1, 1, 1);
    for (Deployment *deployment : {&same, &other}) {
        deployment->server.exec(QStringLiteral("ANALYZE"));
        deployment->server.exec(QStringLiteral("SELECT pg_stat_force_next_flush()"));
    }
    // Whatever he sends, with any program, the answer is the same in both.
    QCOMPARE(asPsql(other.reader.uri(), sql), asPsql(same.reader.uri(), sql));
}

void TestServer::readerSeesOnlyHisLevel_data()
{
    QTest::addColumn<QString>("mapped"); // his user code in orvalis_acces
    QTest::addColumn<QString>("typed");  // on the command line
    QTest::addColumn<QString>("seen");   // the level he sees
    QTest::addColumn<QStringList>("readable");

    const QStringList nord{"U1:Secteur Nord", "U1:A'2", "U1:A1", "24 facts of A'2,A1"};
    QTest::newRow("his own code") << "U1" << "U1" << "U1" << nord;
    QTest::newRow("another user's code") << "U1" << "U'2" << "" << nord;
    QTest::newRow("the administrator's code") << "U1" << "VEXOR" << "U1" << nord;
    QTest::newRow("an unknown code") << "U1" << "U9" << "" << nord;
    QTest::newRow("an agency in two levels")
        << "U'2" << "VEXOR" << "U'2" << QStringList{"U'2:Secteur de l'Ouest", "U'2:A'2", "12 facts of A'2"};
    QTest::newRow("a level without agency") << "U3" << "VEXOR" << "U3"
                                            << QStringList{"U3:Secteur Vide", "0 facts of -"};
    QTest::newRow("no user of his own") << "" << "VEXOR" << "" << QStringList{"0 facts of -"};
}

void TestServer::readerSeesOnlyHisLevel()
{
    SKIP_ON_FILE("row-level security of a server");
    QFETCH(QString, mapped);
    QFETCH(QString, typed);
    QFETCH(QString, seen);
    QFETCH(QStringList, readable);

    Deployment deployment(mapped);
    TestDatabase &server = deployment.server;
    const TestRole &reader = deployment.reader;
    // The same organisation in a file, where nothing but the command line
    // stands between a user and the other levels.
    TestDatabase file(TestDatabase::SixTables, TestDatabase::Engine::File);
    fillOrganisation(file);

    TABSDatabase onServer;
    onServer.SetDatabaseFileName(reader.uri());
    TABSDatabase onFile;
    onFile.SetDatabaseFileName(file.path());

    // Whatever he reads, with the program or without.
    QCOMPARE(::readable(server, reader.name()), readable);

    // The level rows: his own level's, as the file shows them to him.
    QCOMPARE(levelRows(onServer, typed), seen.isEmpty() ? QStringList() : levelRows(onFile, seen));
    // Below any level, whatever the code typed: only his own level's
    // agencies and the users of its agencies, with the file's figures;
    // nothing of the others.
    for (const QString &level : column(file, QStringLiteral("SELECT code FROM dim_niveau ORDER BY code")))
        QCOMPARE(agencyRows(onServer, level), level == mapped ? agencyRows(onFile, level) : QStringList());
    const QStringList hisAgencies =
        column(file, QStringLiteral("SELECT agence FROM niveau_agence WHERE niveau = '%1'").arg(sqlEscape(mapped)));
    for (const QString &agency : column(file, QStringLiteral("SELECT code FROM dim_agence ORDER BY code")))
        QCOMPARE(userRows(onServer, mapped, agency),
                 hisAgencies.contains(agency) ? userRows(onFile, mapped, agency) : QStringList());

    // orvalis-report refuses another level as unknown.
    QByteArray out;
    QBuffer output(&out);
    output.open(QIODevice::WriteOnly);
    QString errors;
    QTextStream err(&errors);
    QCOMPARE(HeadlessReport::run({reader.uri(), QStringLiteral("VEXOR"), QStringLiteral("--niveau"),
                                  mapped == QLatin1String("U1") ? QStringLiteral("U'2") : QStringLiteral("U1")},
                                 output, err),
             2);
}

void TestServer::readerWindowShowsOnlyHisLevel()
{
    SKIP_ON_FILE("row-level security of a server");
    Deployment deployment(QStringLiteral("U1"));
    const TestRole &reader = deployment.reader;
    TestDatabase file(TestDatabase::SixTables, TestDatabase::Engine::File);
    fillOrganisation(file);

    // Started as the administrator: "<Tous>" and his level, his figures.
    TABSDatabase db;
    db.SetDatabaseFileName(reader.uri());
    ScriptedMessages boxes;
    TFicheTDB window(nullptr);
    QVERIFY(openTrackingTable(window, &db, true, QStringLiteral("VEXOR")));
    auto *levels = window.findChild<QComboBox *>(QStringLiteral("cblNiveau"));
    auto *table = window.findChild<QTreeWidget *>(QStringLiteral("lvData"));
    QCOMPARE(comboTexts(levels), (QStringList{"<Tous>", "Secteur Nord"}));
    // The other levels' agencies are not his agencies of no level.
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("lblStatut"))->text(), QString());
    TABSDatabase onFile;
    onFile.SetDatabaseFileName(file.path());
    QCOMPARE(joinedRows(table), levelRows(onFile, QStringLiteral("U1")));
    QVERIFY(pickWithMouse(levels, 1));
    QCOMPARE(joinedRows(table), agencyRows(onFile, QStringLiteral("U1")));
    QVERIFY(boxes.shown().isEmpty());

    // orvalis-report prints what the file prints for him.
    const auto report = [](const QString &database, const QString &user) {
        QByteArray out;
        QBuffer output(&out);
        output.open(QIODevice::WriteOnly);
        QString errors;
        QTextStream err(&errors);
        const int status = HeadlessReport::run({database, user, QStringLiteral("--format"), QStringLiteral("tsv")},
                                               output, err);
        return QString::number(status) + QLatin1Char('\n') + QString::fromUtf8(out) + errors;
    };
    QCOMPARE(report(reader.uri(), QStringLiteral("VEXOR")), report(file.path(), QStringLiteral("U1")));
}

QTEST_MAIN(TestServer)
#include "tst_server.moc"
