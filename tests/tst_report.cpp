// orvalis-report: the same table as the window, without a window.
#include "support/organisation.h"
#include "support/reportdriver.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "app/activation.h"
#include "dashboard/headlessreport.h"
#include "dashboard/tfichetdb.h"
#include "store/tobjectcode.h"

#include <QBuffer>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTreeWidget>
#include <QtTest>

namespace {

QString monthText(int monthsBack)
{
    return QDate(thisYear(), thisMonth(), 1).addMonths(-monthsBack).toString(QStringLiteral("yyyy-MM"));
}

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void sameTableAsTheWindow_data();
    void sameTableAsTheWindow();
    void refusals_data();
    void refusals();
    void userWithoutLevelGetsHeaderOnly();
    void formats();
    void decimalCommaFollowsLocale();
    void programExitStatuses();
};

void TestReport::sameTableAsTheWindow_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("monthsBack");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("agency");
    QTest::addColumn<QString>("person");
    QTest::addColumn<QString>("supplier");
    QTest::newRow("levels") << "VEXOR" << 0 << "" << "" << "" << "";
    QTest::newRow("levels, supplier") << "VEXOR" << 0 << "" << "" << "" << "F'2";
    QTest::newRow("agencies of a level") << "VEXOR" << 0 << "U1" << "" << "" << "";
    QTest::newRow("users of an agency") << "VEXOR" << 0 << "U1" << "A'2" << "" << "";
    QTest::newRow("one user, supplier") << "VEXOR" << 0 << "U1" << "A'2" << "U4" << "F1";
    QTest::newRow("last month") << "VEXOR" << 1 << "U1" << "A1" << "" << "";
    QTest::newRow("own level") << "U'2" << 0 << "" << "" << "" << "";
    QTest::newRow("own level, its agencies") << "U'2" << 0 << "U'2" << "" << "" << "";
}

void TestReport::sameTableAsTheWindow()
{
    QFETCH(QString, user);
    QFETCH(int, monthsBack);
    QFETCH(QString, level);
    QFETCH(QString, agency);
    QFETCH(QString, person);
    QFETCH(QString, supplier);

    const bool admin = user == QLatin1String("VEXOR");
    OpenedTable fixture(admin, admin ? QString() : user);
    QVERIFY(fixture.opened);
    QVERIFY(pickWithMouse(fixture.combo("cblPeriode"), monthsBack));
    QStringList arguments{fixture.file.path(), user, "--format", "tsv", "--mois", monthText(monthsBack)};
    // Each filter chosen in the window is given to the report too.
    const struct
    {
        const char *combo;
        const char *option;
        QString code;
    } filters[] = {{"cblNiveau", "--niveau", level},
                   {"cblAgence", "--agence", agency},
                   {"cblUtilisateur", "--utilisateur", person},
                   {"cblFournisseur", "--fournisseur", supplier}};
    for (const auto &filter : filters) {
        if (filter.code.isEmpty())
            continue;
        QVERIFY2(pickCodeWithMouse(fixture.combo(filter.combo), filter.code), filter.combo);
        arguments << filter.option << filter.code;
    }
    QVERIFY(fixture.boxes.shown().isEmpty());

    QStringList shown{dashboardCaptions().join('\t')};
    for (const QStringList &cells : tableRows(fixture.table()))
        shown << cells.join('\t');
    QVERIFY(shown.size() > 1);

    const ReportOutcome outcome = runReport(arguments);
    QCOMPARE(outcome.err, QString());
    QCOMPARE(outcome.status, 0);
    QCOMPARE(QString::fromUtf8(outcome.out).split('\n', Qt::SkipEmptyParts), shown);
}

void TestReport::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("another's level") << QStringList{"U1", "--niveau", "U'2"} << "n'est pas accessible";
    QTest::newRow("unknown level") << QStringList{"VEXOR", "--niveau", "X9"} << "Niveau inconnu";
    QTest::newRow("agency outside the level")
        << QStringList{"VEXOR", "--niveau", "U'2", "--agence", "A1"} << "n'est pas rattachée";
    QTest::newRow("unknown agency") << QStringList{"VEXOR", "--niveau", "U1", "--agence", "A9"} << "Agence inconnue";
    QTest::newRow("unknown user") << QStringList{"VEXOR", "--niveau", "U1", "--agence", "A1", "--utilisateur", "U9"}
                                  << "Utilisateur inconnu";
    QTest::newRow("unknown supplier") << QStringList{"VEXOR", "--fournisseur", "F9"} << "Fournisseur inconnu";
    QTest::newRow("injection") << QStringList{"U1", "--niveau", "x' OR '1'='1"} << "n'est pas accessible";
    QTest::newRow("agency without level") << QStringList{"VEXOR", "--agence", "A1"} << "--agence demande --niveau";
    QTest::newRow("bad month") << QStringList{"VEXOR", "--mois", "2026-13"} << "Mois invalide";
    QTest::newRow("bad format") << QStringList{"VEXOR", "--format", "xml"} << "Format inconnu";
    QTest::newRow("unknown option") << QStringList{"VEXOR", "--tout"} << "Option inconnue";
}

void TestReport::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    TestDatabase file;
    fillOrganisation(file);
    const ReportOutcome outcome = runReport(QStringList{file.path()} + arguments);
    QCOMPARE(outcome.status, 2);
    QVERIFY2(outcome.err.contains(message), qPrintable(outcome.err));
    QVERIFY(outcome.out.isEmpty());
}

void TestReport::userWithoutLevelGetsHeaderOnly()
{
    TestDatabase file;
    fillOrganisation(file);
    const ReportOutcome outcome = runReport({file.path(), "U4", "--format", "tsv"});
    QCOMPARE(outcome.status, 0);
    QCOMPARE(QString::fromUtf8(outcome.out), dashboardCaptions().join('\t') + '\n');
}

void TestReport::formats()
{
    TestDatabase file;
    fillOrganisation(file);
    file.exec("UPDATE dim_agence SET libelle = 'Agence; \"Centre\"' WHERE code = 'A1'");

    const ReportOutcome csv = runReport({file.path(), "VEXOR", "--niveau", "U1", "--format", "csv"});
    QCOMPARE(csv.status, 0);
    QVERIFY(csv.out.startsWith("\xEF\xBB\xBF"));
    const QStringList lines = QString::fromUtf8(csv.out.mid(3)).split("\r\n", Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), dashboardCaptions().join(';'));
    QCOMPARE(lines.at(2), QStringLiteral("\"Agence; \"\"Centre\"\"\";200.00;40.00;240.00;-50.00;-25.00%;2;2;3;150.00%"));

    const ReportOutcome json = runReport({file.path(), "VEXOR", "--niveau", "U1", "--format", "json"});
    QCOMPARE(json.status, 0);
    const QJsonArray array = QJsonDocument::fromJson(json.out).array();
    QCOMPARE(array.size(), 2);
    const QJsonObject first = array.at(1).toObject();
    QCOMPARE(first["code"].toString(), QStringLiteral("A1"));
    QCOMPARE(first["valeurs"].toObject()["marge_pct"].toDouble(), -25.0);
    QCOMPARE(first["valeurs"].toObject()["nb_commandes"].toInt(), 3);
    QCOMPARE(first["textes"].toObject()["Transformation %"].toString(), QStringLiteral("150.00%"));

    const ReportOutcome text = runReport({file.path(), "VEXOR", "--niveau", "U1"});
    QCOMPARE(text.status, 0);
    const QStringList textLines = QString::fromUtf8(text.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(textLines.size(), 3);
    QVERIFY(textLines.at(0).startsWith("Niveau"));
    QVERIFY(textLines.at(1).startsWith("Agence de Brest"));
    QVERIFY(textLines.at(1).endsWith("75.00%"));
    // Columns line up: every line has the same length up to its last cell.
    QCOMPARE(textLines.at(1).size(), textLines.at(0).size());
}

void TestReport::decimalCommaFollowsLocale()
{
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    TestDatabase file;
    fillOrganisation(file);
    const ReportOutcome outcome = runReport({file.path(), "VEXOR", "--format", "tsv"});
    QVERIFY(QString::fromUtf8(outcome.out).contains(QStringLiteral("Secteur Nord\t300,25\t60,05\t360,30\t-8,00\t-2,66%")));
}

void TestReport::programExitStatuses()
{
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/../orvalis-report");
    QVERIFY(QFile::exists(program));
    TestDatabase file;
    fillOrganisation(file);
    QTemporaryDir dir;

    auto runProgram = [&](const QStringList &arguments, const QString &lang) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", lang);
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        process.waitForFinished(30000);
        return std::make_pair(process.exitCode(), QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError()));
    };
    const auto missing = runProgram({dir.filePath("absente.db"), "VEXOR"}, "C.UTF-8");
    QCOMPARE(missing.first, 1);
    QVERIFY(missing.second.contains("absente.db"));
    QVERIFY(!QFile::exists(dir.filePath("absente.db")));
    QCOMPARE(runProgram({file.path()}, "C.UTF-8").first, 2);
    const auto french = runProgram({file.path(), "VEXOR", "--format", "tsv"}, "fr_FR.UTF-8");
    QCOMPARE(french.first, 0);
    QVERIFY2(french.second.contains("Secteur Nord\t300,25\t"), qPrintable(french.second));
}

QTEST_MAIN(TestReport)
#include "tst_report.moc"
