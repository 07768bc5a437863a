// orvalis-report: the same table as the window, without a window.
#include "support/organisation.h"
#include "support/reportdriver.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "ui/activation.h"
#include "tools/common/toolexit.h"
#include "tools/report/reportcommand.h"
#include "dashboard/tfichetdb.h"
#include "store/schema.h"
#include "ui/itemcodes.h"
#include "ui/numbertext.h"

#include <QBuffer>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QLabel>
#include <QTreeWidget>
#include <QtTest>

#include <sqlite3.h>

#include <csignal>
#include <functional>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString monthText(int monthsBack)
{
    return QDate(thisYear(), thisMonth(), 1).addMonths(-monthsBack).toString(QStringLiteral("yyyy-MM"));
}

QString programPath(const QString &program)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../") + program;
}

QString toolPath(const QString &tool)
{
    return programPath(QStringLiteral("orvalis-") + tool);
}

// Runs `tool` (orvalis-<tool>, or a program of the build given its path).
ToolRun runTool(const QString &tool, const QStringList &arguments, const std::function<void()> &inChild = {},
                const QString &stdoutFile = QString(),
                const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return runProgram(tool.contains(QLatin1Char('/')) ? tool : toolPath(tool), arguments, inChild, stdoutFile,
                      environment);
}

// The address space of the child, in MiB.
std::function<void()> memoryLimit(int mebibytes)
{
    return [mebibytes] {
        const rlimit limit{rlim_t(mebibytes) << 20, rlim_t(mebibytes) << 20};
        ::setrlimit(RLIMIT_AS, &limit);
    };
}

// A disk that takes only `bytes` bytes of any file: past them, a write
// fails (EFBIG), as on a full disk.
std::function<void()> fileSizeLimit(int bytes)
{
    return [bytes] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{rlim_t(bytes), rlim_t(bytes)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
}

// The child as an ordinary user: root reads and writes whatever the rights
// say, a user does not.
void asOrdinaryUser()
{
    if (::geteuid() != 0)
        return;
    ::setgroups(0, nullptr);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0)
        ::_exit(99);
}

// A device that takes `room` bytes and then fails.
class FullDevice : public QIODevice
{
public:
    explicit FullDevice(qint64 room) : m_room(room) { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 length) override
    {
        if (m_room <= 0) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        const qint64 taken = qMin(length, m_room);
        m_room -= taken;
        return taken;
    }

private:
    qint64 m_room;
};

QString sourcePath(const QString &file)
{
    return QStringLiteral(ORVALIS_SOURCE_DIR "/") + file;
}

} // namespace

// AddressSanitizer reserves terabytes of address space for its shadow
// memory: a program under an address-space limit cannot even start.
#if defined(__SANITIZE_ADDRESS__)
#define skipUnderAddressSanitizer() QSKIP("a limit on the address space leaves AddressSanitizer no room")
#else
#define skipUnderAddressSanitizer() (void)0
#endif

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
    void adminWithoutLevelsIsTold();
    void windowSaysWhenThereIsNoLevel_data();
    void windowSaysWhenThereIsNoLevel();
    void anyCharacterInStoredTexts_data();
    void anyCharacterInStoredTexts();
    void json();
    void textLabelsAreCut();
    void formulaLikeLabels_data();
    void formulaLikeLabels();
    void frenchNumbers();

    void help_data();
    void help();
    void everyToolAnswersHelp_data();
    void everyToolAnswersHelp();
    void refusedOutputs_data();
    void refusedOutputs();
    void failedWritesAreReported_data();
    void failedWritesAreReported();
    void fullDiskKeepsExistingFile_data();
    void fullDiskKeepsExistingFile();
    void longLabelInBoundedMemory();
    void outOfMemoryIsAMessage();
    void writeSignalsDoNotKill_data();
    void writeSignalsDoNotKill();
    void withoutDisplay_data();
    void withoutDisplay();
    void databaseProblemsAreNamed_data();
    void databaseProblemsAreNamed();
    void shippedSchemaScript();
};

void TestReport::sameTableAsTheWindow_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("monthsBack");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("agency");
    QTest::addColumn<QString>("person");
    QTest::addColumn<QString>("supplier");
    QTest::addColumn<QStringList>("period"); // the span's and the comparison's list indexes, the report's options
    const QStringList month{"0", "0"};
    QTest::newRow("levels") << "VEXOR" << 0 << "" << "" << "" << "" << month;
    QTest::newRow("levels, supplier") << "VEXOR" << 0 << "" << "" << "" << "F'2" << month;
    QTest::newRow("agencies of a level") << "VEXOR" << 0 << "U1" << "" << "" << "" << month;
    QTest::newRow("users of an agency") << "VEXOR" << 0 << "U1" << "A'2" << "" << "" << month;
    QTest::newRow("one user, supplier") << "VEXOR" << 0 << "U1" << "A'2" << "U4" << "F1" << month;
    QTest::newRow("last month") << "VEXOR" << 1 << "U1" << "A1" << "" << "" << month;
    QTest::newRow("own level") << "U'2" << 0 << "" << "" << "" << "" << month;
    QTest::newRow("own level, its agencies") << "U'2" << 0 << "U'2" << "" << "" << "" << month;
    QTest::newRow("levels against the month before")
        << "VEXOR" << 0 << "" << "" << "" << "" << QStringList{"0", "1", "--comparer", "mois-precedent"};
    QTest::newRow("users, last month against the month before")
        << "VEXOR" << 1 << "U1" << "A1" << "" << "" << QStringList{"0", "1", "--comparer", "mois-precedent"};
    QTest::newRow("agencies, since January against a year earlier")
        << "VEXOR" << 0 << "U1" << "" << "" << "" << QStringList{"1", "1", "--cumul", "--comparer", "annee-precedente"};
    QTest::newRow("levels since January") << "VEXOR" << 0 << "" << "" << "" << "" << QStringList{"1", "0", "--cumul"};
}

void TestReport::sameTableAsTheWindow()
{
    QFETCH(QString, user);
    QFETCH(int, monthsBack);
    QFETCH(QString, level);
    QFETCH(QString, agency);
    QFETCH(QString, person);
    QFETCH(QString, supplier);
    QFETCH(QStringList, period);

    const bool admin = user == QLatin1String("VEXOR");
    OpenedTable fixture(admin, admin ? QString() : user);
    QVERIFY(fixture.opened);
    QVERIFY(pickWithMouse(fixture.combo("cblPeriode"), monthsBack));
    QVERIFY(pickWithMouse(fixture.combo("cblEtendue"), period.at(0).toInt()));
    QVERIFY(pickWithMouse(fixture.combo("cblComparaison"), period.at(1).toInt()));
    QStringList arguments{fixture.file.path(), user, "--format", "tsv", "--mois", monthText(monthsBack)};
    arguments << period.mid(2);
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

    // A compared cell shows its value, and under it the other period's and
    // the change after its mark: the report gives them as three columns.
    const bool compared = period.contains("--comparer");
    QStringList shown{compared ? QString() : dashboardCaptions().join('\t')};
    const QRegularExpression twoLines("^(.*)\n(\\S+)(?:  [▲▼=] (.*))?$");
    QStringList changes;
    for (QStringList cells : tableRows(fixture.table())) {
        for (int c = 1; compared && c < cells.size(); ++c) {
            const QRegularExpressionMatch parts = twoLines.match(cells.at(c));
            QVERIFY2(parts.hasMatch(), qPrintable(cells.at(c)));
            cells[c] = parts.captured(1) + '\t' + parts.captured(2) + '\t' + parts.captured(3);
            changes << parts.captured(3);
        }
        shown << cells.join('\t');
    }
    QVERIFY(shown.size() > 1);

    const ReportOutcome outcome = runReport(arguments);
    QCOMPARE(outcome.err, QString());
    QCOMPARE(outcome.status, 0);
    QStringList lines = QString::fromUtf8(outcome.out).split('\n', Qt::SkipEmptyParts);
    if (compared) {
        QVERIFY(lines.first().contains("Évolution Montant HT"));
        lines[0].clear();
    }
    QCOMPARE(lines, shown);
    if (!compared)
        return;

    // JSON gives the same changes as numbers, null where the table shows none.
    const ReportOutcome json = runReport(arguments.mid(0, 2) + QStringList{"--format", "json"} + arguments.mid(4));
    QCOMPARE(json.status, 0);
    QStringList fromJson;
    for (const QJsonValue &row : QJsonDocument::fromJson(json.out).array()) {
        const QJsonObject change = row.toObject()["evolution"].toObject();
        QCOMPARE(row.toObject()["comparaison"].toObject().size(), 9);
        for (const char *key : {"montant_ht", "tva", "montant_ttc", "marge", "marge_pct", "nb_relances", "nb_devis",
                                "nb_commandes", "transformation_pct"}) {
            const QJsonValue value = change[key];
            const bool points = QByteArray(key).endsWith("_pct");
            fromJson << (value.isNull() ? QString() : Format::change(value.toDouble(), points, QLocale::c()));
        }
    }
    QCOMPARE(fromJson, changes);
    QVERIFY(changes.contains(QString()) || period.contains("--cumul"));
}

void TestReport::refusals_data()
{
    QTest::addColumn<QString>("damage"); // run on the database first, when not empty
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const auto usage = [](const char *name, const QStringList &arguments, const char *message) {
        QTest::newRow(name) << QString() << arguments << 2 << QString::fromUtf8(message);
    };
    usage("another's level", {"U1", "--niveau", "U'2"}, "n'est pas accessible");
    usage("unknown level", {"VEXOR", "--niveau", "X9"}, "Niveau inconnu");
    usage("agency outside the level", {"VEXOR", "--niveau", "U'2", "--agence", "A1"}, "n'est pas rattachée");
    usage("unknown agency", {"VEXOR", "--niveau", "U1", "--agence", "A9"}, "Agence inconnue");
    usage("unknown user", {"VEXOR", "--niveau", "U1", "--agence", "A1", "--utilisateur", "U9"}, "Utilisateur inconnu");
    usage("unknown supplier", {"VEXOR", "--fournisseur", "F9"}, "Fournisseur inconnu");
    usage("injection", {"U1", "--niveau", "x' OR '1'='1"}, "n'est pas accessible");
    usage("agency without level", {"VEXOR", "--agence", "A1"}, "--agence demande --niveau");
    usage("bad month", {"VEXOR", "--mois", "2026-13"}, "Mois invalide");
    usage("bad format", {"VEXOR", "--format", "xml"}, "Format inconnu");
    usage("unknown option", {"VEXOR", "--tout"}, "Option inconnue");
    usage("unknown short option", {"VEXOR", "-x"}, "Option inconnue : -x\n");
    // A part of the database missing: a database error that names it.
    const auto damaged = [](const char *name, const char *damage, const QStringList &filters, const char *message) {
        QTest::newRow(name) << QString::fromLatin1(damage) << QStringList{"VEXOR"} + filters << 1
                            << QString::fromUtf8(message);
    };
    damaged("level label", "ALTER TABLE dim_niveau DROP COLUMN libelle", {},
            "La colonne libelle manque dans la table dim_niveau : ");
    damaged("agency label", "ALTER TABLE dim_agence DROP COLUMN libelle", {"--niveau", "U1"},
            "La colonne libelle manque dans la table dim_agence : ");
    damaged("fact value", "ALTER TABLE data DROP COLUMN valeur", {}, "La colonne valeur manque dans la table data : ");
    damaged("link table", "DROP TABLE niveau_agence", {}, "La table niveau_agence manque dans la base de données : ");
    damaged("supplier table", "DROP TABLE dim_fournisseur", {"--fournisseur", "F1"},
            "La table dim_fournisseur manque dans la base de données : ");
}

void TestReport::refusals()
{
    QFETCH(QString, damage);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    TestDatabase file;
    fillOrganisation(file);
    if (!damage.isEmpty())
        file.exec(damage);
    const ReportOutcome outcome = runReport(QStringList{file.path()} + arguments);
    QCOMPARE(outcome.status, status);
    QVERIFY2(status == 2 ? outcome.err.contains(message) : outcome.err.startsWith(message), qPrintable(outcome.err));
    QVERIFY(outcome.out.isEmpty());
}

void TestReport::userWithoutLevelGetsHeaderOnly()
{
    TestDatabase file;
    fillOrganisation(file);
    const ReportOutcome outcome = runReport({file.path(), "U4", "--format", "tsv"});
    QCOMPARE(outcome.status, 0);
    QCOMPARE(QString::fromUtf8(outcome.out), dashboardCaptions().join('\t') + '\n');
    // The table stays as it is; the standard error says why it is empty.
    QCOMPARE(outcome.err, QStringLiteral("Information : L'utilisateur « U4 » n'a pas de niveau : aucune ligne de "
                                         "dim_niveau n'a ce code. Le tableau est vide.\n"));
    // Asked for a level's agencies, the user gets the usual refusal.
    const ReportOutcome refused = runReport({file.path(), "U4", "--niveau", "U1"});
    QCOMPARE(refused.status, 2);
    QVERIFY(!refused.err.contains(QStringLiteral("Information")));
}

void TestReport::adminWithoutLevelsIsTold()
{
    TestDatabase file;
    file.addAgency("A1", "Agence d'Orléans");
    const ReportOutcome outcome = runReport({file.path(), "VEXOR", "--format", "csv"});
    QCOMPARE(outcome.status, 0);
    QVERIFY(outcome.out.startsWith("\xEF\xBB\xBFNiveau;Montant HT;") && outcome.out.count('\n') == 1);
    QCOMPARE(outcome.err, QStringLiteral("Information : Aucun niveau n'est défini : la table dim_niveau est vide. "
                                         "Le tableau est vide.\n"));
    // A level with nothing in it is a level: no word.
    file.addLevel("U1", "Secteur Nord");
    QCOMPARE(runReport({file.path(), "VEXOR"}).err, QString());
}

void TestReport::windowSaysWhenThereIsNoLevel_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<bool>("levels");
    QTest::addColumn<QString>("status");
    QTest::newRow("user without level") << "U4" << true << noLevelNotice(false, "U4");
    QTest::newRow("user with a level") << "U1" << true << "";
    QTest::newRow("administrator") << "VEXOR" << true << "";
    QTest::newRow("administrator, no level") << "VEXOR" << false << noLevelNotice(true, QString());
}

void TestReport::windowSaysWhenThereIsNoLevel()
{
    QFETCH(QString, user);
    QFETCH(bool, levels);
    QFETCH(QString, status);
    const bool admin = user == QLatin1String("VEXOR");
    OpenedTable open(admin, admin ? QString() : user, [levels](TestDatabase &db) {
        fillOrganisation(db);
        db.link("U1", "A3"); // every agency has a level
        if (!levels)
            db.exec("DELETE FROM dim_niveau");
    });
    QVERIFY(open.opened);
    auto *line = open.window.findChild<QLabel *>("lblStatut");
    QCOMPARE(line->text(), status);
    QCOMPARE(line->isVisible(), true);
    // Rows only where there is a level.
    QCOMPARE(open.table()->topLevelItemCount() == 0, !status.isEmpty());
    QVERIFY(!line->geometry().intersects(open.table()->geometry()));
    QVERIFY(!line->geometry().intersects(open.window.findChild<QWidget *>("btnEvolution")->geometry()));
    QVERIFY(open.boxes.shown().isEmpty());
}

void TestReport::anyCharacterInStoredTexts_data()
{
    QTest::addColumn<QString>("agency"); // a code of the level U1's third agency
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("level");  // --niveau
    QTest::addColumn<QString>("row");    // the label of the row that holds its facts
    QTest::addColumn<QString>("err");
    const QString nul = QStringLiteral("A") + QChar(0) + QStringLiteral("y");
    QTest::newRow("NUL in an agency code, levels") << nul << "VEXOR" << "" << "Secteur Nord" << "";
    QTest::newRow("NUL, the agencies of its level") << nul << "VEXOR" << "U1" << "Agence étrange" << "";
    QTest::newRow("NUL, a level without it") << nul << "U'2" << "" << "" << "";
    QTest::newRow("escape and direction characters") << "A\x1b[2J\u202Ey" << "VEXOR" << "U1" << "Agence étrange" << "";
    // The terminal shows the characters, and does not act on them.
    QTest::newRow("told of a user code with them")
        << "A4" << "U\x1b[2J\u202Eevil" << "" << ""
        << "Information : L'utilisateur « U<U+001B>[2J<U+202E>evil » n'a pas de niveau";
}

// Whatever a code holds, the statements carry it whole to the engine: the
// facts of an agency whose code holds a NUL count where they belong, and no
// other row stops on it.
void TestReport::anyCharacterInStoredTexts()
{
    QFETCH(QString, agency);
    QFETCH(QString, user);
    QFETCH(QString, level);
    QFETCH(QString, row);
    QFETCH(QString, err);
    if (agency.contains(QChar(0)))
        SKIP_ON_SERVER("a server's texts hold no NUL");
    TestDatabase file;
    fillOrganisation(file);
    file.addAgency(agency, QStringLiteral("Agence étrange"));
    file.link("U1", agency);
    addFigures(file, thisYear(), thisMonth(), agency, "U4", "F1", 1000.25, 200, 100, 1, 1, 1);

    QStringList arguments{file.path(), user, "--format", "tsv"};
    if (!level.isEmpty())
        arguments << "--niveau" << level;
    const ReportOutcome outcome = runReport(arguments);
    QCOMPARE(outcome.status, 0);
    QVERIFY2(err.isEmpty() ? outcome.err.isEmpty() : outcome.err.startsWith(err) && outcome.err.endsWith('\n'),
             qPrintable(outcome.err));
    QVERIFY(!outcome.err.contains(QChar(0x1b)) && !outcome.err.contains(QChar(0x202e)));
    if (row.isEmpty())
        return;
    // The row's amount, as the engine sums it without our statements.
    const QString cover = level.isEmpty() ? QStringLiteral("IN (SELECT agence FROM niveau_agence WHERE niveau = 'U1')")
                                          : QStringLiteral("= (SELECT code FROM dim_agence WHERE libelle = 'Agence étrange')");
    const double sum = file.scalar(QStringLiteral("SELECT SUM(valeur) FROM data WHERE code_account = 'MONTANT_DEVIS_VENTE_HT'"
                                                  " AND period_year = %1 AND period_month = %2 AND dim_agence %3")
                                       .arg(thisYear()).arg(thisMonth()).arg(cover)).toDouble();
    QVERIFY(sum >= 1000.25);
    const QString expected = row + QLatin1Char('\t') + QString::number(sum, 'f', 2) + QLatin1Char('\t');
    QVERIFY2(QString::fromUtf8(outcome.out).split('\n').filter(QRegularExpression('^' + QRegularExpression::escape(expected))).size() == 1,
             qPrintable(QString::fromUtf8(outcome.out)));
}

// The CSV cells are tst_extras', every format's shape the fuzz test's; the
// JSON rows carry codes and numbers the texts do not.
void TestReport::json()
{
    TestDatabase file;
    fillOrganisation(file);
    const ReportOutcome json = runReport({file.path(), "VEXOR", "--niveau", "U1", "--format", "json"});
    QCOMPARE(json.status, 0);
    const QJsonArray array = QJsonDocument::fromJson(json.out).array();
    QCOMPARE(array.size(), 2);
    const QJsonObject first = array.at(0).toObject();
    QCOMPARE(first["libelle"].toString(), QStringLiteral("Agence d'Orléans"));
    QCOMPARE(first["code"].toString(), QStringLiteral("A1"));
    QCOMPARE(first["valeurs"].toObject()["marge_pct"].toDouble(), -25.0);
    QCOMPARE(first["valeurs"].toObject()["nb_commandes"].toInt(), 3);
    QCOMPARE(first["textes"].toObject()["Transformation %"].toString(), QStringLiteral("150.00%"));

    // The program itself, under the C locale and under the French one: the
    // same bytes.
    QByteArray underC;
    for (const char *locale : {"C.UTF-8", "fr_FR.UTF-8"}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), QLatin1String(locale));
        const ToolRun run = runTool("report", {file.path(), "VEXOR", "--niveau", "U1", "--format", "json", "--total"},
                                    {}, QString(), environment);
        QCOMPARE(run.status, 0);
        if (underC.isEmpty())
            underC = run.out;
        QVERIFY2(run.out == underC, locale);
    }
    QVERIFY2(underC.contains("\"Transformation %\": \"150.00%\""), underC.constData());
}

void TestReport::textLabelsAreCut()
{
    TestDatabase file;
    fillOrganisation(file);
    const QString longLabel = QStringLiteral("Secteur Bourgogne-Franche-Comté, Centre-Val de Loire et Auvergne");
    file.exec("UPDATE dim_niveau SET libelle = ? WHERE code = 'U1'", {longLabel});
    const ReportOutcome text = runReport({file.path(), "VEXOR"});
    QCOMPARE(text.status, 0);
    const QStringList lines = QString::fromUtf8(text.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    const QString cut = longLabel.left(HeadlessReport::TextLabelWidth - 1) + QChar(0x2026);
    QVERIFY2(lines.at(1).startsWith(cut + QStringLiteral("  ")), qPrintable(lines.at(1)));
    QVERIFY(lines.at(1).simplified().endsWith(QStringLiteral(" 300.25 60.05 360.30 -8.00 -2.66% 1 6 6 100.00%")));
    // The other labels are padded to the cut width, not beyond.
    QVERIFY(lines.at(2).startsWith(QStringLiteral("Secteur Vide").leftJustified(HeadlessReport::TextLabelWidth) + "  "));
    for (const QString &line : lines)
        QCOMPARE(line.size(), lines.at(1).size());
    // Every other format keeps the whole label.
    for (const char *format : {"tsv", "csv", "json"})
        QVERIFY2(QString::fromUtf8(runReport({file.path(), "VEXOR", "--format", format}).out).contains(longLabel), format);
}

void TestReport::formulaLikeLabels_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("guarded"); // a spreadsheet reads the cells as input
    QTest::newRow("texte") << "texte" << false;
    QTest::newRow("tsv") << "tsv" << false;
    QTest::newRow("json") << "json" << false;
    QTest::newRow("csv") << "csv" << true;
}

// Labels that a spreadsheet would run as formulas: the formats made for
// scripts carry the window's text, the spreadsheet formats guard them.
void TestReport::formulaLikeLabels()
{
    QFETCH(QString, format);
    QFETCH(bool, guarded);
    TestDatabase file;
    const QStringList labels{"=SOMME(A1:A9)", "+33 Nord", "-Est", "@Ouest"};
    for (int i = 0; i < labels.size(); ++i)
        file.addLevel(QStringLiteral("L%1").arg(i), labels.at(i));
    const ReportOutcome outcome = runReport({file.path(), "VEXOR", "--format", format});
    QCOMPARE(outcome.status, 0);
    const QString out = QString::fromUtf8(outcome.out);
    for (const QString &label : labels) {
        if (guarded) {
            QVERIFY2(out.contains(QLatin1Char('\'') + label), qPrintable(label));
        } else {
            QVERIFY2(out.contains(label), qPrintable(label));
            QVERIFY2(!out.contains(QLatin1Char('\'') + label), qPrintable(label));
        }
    }
}

// The program under the French locale writes its numbers with a comma.
void TestReport::frenchNumbers()
{
    TestDatabase file;
    fillOrganisation(file);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("fr_FR.UTF-8"));
    const ToolRun run = runTool("report", {file.path(), "VEXOR", "--format", "tsv"}, {}, QString(), environment);
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.contains("Secteur Nord\t300,25\t"), run.out.constData());
}

void TestReport::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    // (--help itself is everyToolAnswersHelp's.)
    QTest::newRow("-h") << QStringList{"-h"};
    QTest::newRow("after the arguments") << QStringList{"base.db", "VEXOR", "--format", "csv", "--help"};
}

void TestReport::help()
{
    QFETCH(QStringList, arguments);
    const ReportOutcome outcome = runReport(arguments);
    QCOMPARE(outcome.status, 0);
    QCOMPARE(outcome.err, QString());
    QVERIFY(outcome.out.startsWith("Utilisation : orvalis-report BASE UTILISATEUR"));
    QCOMPARE(outcome.out, runReport({"--help"}).out);

    // A usage error says what is wrong and where the help is.
    const ReportOutcome wrong = runReport({"base.db"});
    QCOMPARE(wrong.status, 2);
    QVERIFY(wrong.out.isEmpty());
    QCOMPARE(wrong.err, QStringLiteral("Il faut la base de données et l'utilisateur.\n"
                                       "Utilisation : orvalis-report BASE UTILISATEUR [options] "
                                       "(orvalis-report --help : l'aide)\n"));
}

void TestReport::everyToolAnswersHelp_data()
{
    QTest::addColumn<QString>("tool");
    for (const char *tool : {"report", "sample", "bench", "shots"})
        QTest::newRow(tool) << QString::fromLatin1(tool);
}

void TestReport::everyToolAnswersHelp()
{
    QFETCH(QString, tool);
    QVERIFY2(QFile::exists(toolPath(tool)), qPrintable(toolPath(tool)));
    const ToolRun help = runTool(tool, {"--help"});
    QVERIFY(help.finished);
    QCOMPARE(help.status, 0);
    QCOMPARE(help.err, QString());
    const QString text = QString::fromUtf8(help.out);
    QVERIFY2(text.startsWith(QStringLiteral("Utilisation : ")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Options :")), qPrintable(text));
    QVERIFY2(text.endsWith(ToolExit::statusHelp()), qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("Usage:")) && !text.contains(QStringLiteral("Displays")), qPrintable(text));

    // The same rule everywhere: an unknown option is a usage error (2),
    // which points to the help; nothing on the standard output.
    const ToolRun wrong = runTool(tool, {"--inconnue"});
    QVERIFY(wrong.finished);
    QCOMPARE(wrong.status, 2);
    QVERIFY(wrong.out.isEmpty());
    QVERIFY2(wrong.err.contains(QStringLiteral("orvalis-%1 --help").arg(tool)), qPrintable(wrong.err));

    // A database that is not there is a database error (1). The bench
    // takes no database: a server it cannot reach is its database error.
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("absente.db"));
    QStringList arguments{missing, "VEXOR"};
    if (tool == QLatin1String("sample"))
        arguments = QStringList{dir.filePath(QStringLiteral("dossier-absent/base.db"))};
    else if (tool == QLatin1String("shots"))
        arguments = QStringList{missing, dir.filePath(QStringLiteral("images"))};
    else if (tool == QLatin1String("bench"))
        arguments = QStringList{"postgresql://personne@127.0.0.1:1/orvalis", "--server-only", "--sizes", "10",
                                "--dir", dir.path()};
    const ToolRun failed = runTool(tool, arguments);
    QVERIFY(failed.finished);
    QCOMPARE(failed.status, 1);
    QVERIFY2(!failed.err.trimmed().isEmpty(), qPrintable(tool));
    QVERIFY(!QFile::exists(missing));
}

void TestReport::refusedOutputs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("the database") << "database" << "est la base de données elle-même";
    QTest::newRow("the database, spelt otherwise") << "spelling" << "est la base de données elle-même";
    QTest::newRow("the database, through a link") << "link" << "est la base de données elle-même";
    QTest::newRow("its rollback journal") << "journal" << "est un journal de la base de données";
    QTest::newRow("its write-ahead log") << "wal" << "est un journal de la base de données";
    QTest::newRow("its write-ahead log, the database through a hard link")
        << "hard link" << "est un journal de la base de données";
    QTest::newRow("a folder") << "folder" << "est un dossier";
    QTest::newRow("a named pipe") << "pipe" << "n'est pas un fichier ordinaire";
    QTest::newRow("a device") << "device" << "n'est pas un fichier ordinaire";
}

void TestReport::refusedOutputs()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    TestDatabase file;
    fillOrganisation(file);
    const bool aboutTheDatabase = kind == QLatin1String("database") || kind == QLatin1String("spelling")
                                  || kind == QLatin1String("link") || kind == QLatin1String("journal")
                                  || kind == QLatin1String("wal") || kind == QLatin1String("hard link");
    if (aboutTheDatabase)
        SKIP_ON_SERVER("the database is no file on a server");
    QTemporaryDir dir;
    const QString database = file.path();
    const QFileInfo info(database);
    QString opened = database; // the name the report is given
    QString target;
    if (kind == QLatin1String("database"))
        target = database;
    else if (kind == QLatin1String("spelling"))
        target = info.absolutePath() + QStringLiteral("/../") + QFileInfo(info.absolutePath()).fileName()
                 + QStringLiteral("/./") + info.fileName();
    else if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(database, target = dir.filePath(QStringLiteral("lien.csv"))));
    else if (kind == QLatin1String("journal"))
        target = database + QStringLiteral("-journal");
    else if (kind == QLatin1String("wal"))
        target = database + QStringLiteral("-wal");
    else if (kind == QLatin1String("hard link")) {
        opened = dir.filePath(QStringLiteral("lien-dur.db"));
        QCOMPARE(::link(QFile::encodeName(database).constData(), QFile::encodeName(opened).constData()), 0);
        target = database + QStringLiteral("-wal");
    }
    else if (kind == QLatin1String("folder"))
        target = dir.path();
    else if (kind == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(QFile::encodeName(target = dir.filePath(QStringLiteral("tube"))).constData(), 0600), 0);
    else
        target = QStringLiteral("/dev/null");
    const QByteArray before = TestDatabase::onServer() ? QByteArray() : readFile(database);
    const QStringList folder = QDir(info.absolutePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

    for (const char *format : {"csv", "xlsx", "texte"}) {
        const ReportOutcome outcome = runReport({opened, "VEXOR", "--format", format, "--sortie", target});
        QCOMPARE(outcome.status, 2);
        QVERIFY(outcome.out.isEmpty());
        QVERIFY2(outcome.err.startsWith(target + QLatin1Char(' ')) && outcome.err.contains(message),
                 qPrintable(outcome.err));
    }
    if (!TestDatabase::onServer()) {
        QCOMPARE(readFile(database), before);
        QCOMPARE(QDir(info.absolutePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), folder);
    }
    struct stat kept;
    if (kind == QLatin1String("pipe")) {
        QCOMPARE(::lstat(QFile::encodeName(target).constData(), &kept), 0);
        QVERIFY(S_ISFIFO(kept.st_mode));
    }
    if (kind == QLatin1String("device")) {
        QCOMPARE(::lstat("/dev/null", &kept), 0);
        QVERIFY(S_ISCHR(kept.st_mode));
    }
    // A file of its own beside the database is fine.
    const ReportOutcome fine = runReport({database, "VEXOR", "--sortie", dir.filePath(QStringLiteral("suivi.txt"))});
    QCOMPARE(fine.status, 0);
}

void TestReport::failedWritesAreReported_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<qint64>("room");
    for (const char *format : {"texte", "tsv", "csv", "json"}) {
        QTest::addRow("%s, nothing taken", format) << format << qint64(0);
        QTest::addRow("%s, cut short", format) << format << qint64(100);
    }
}

void TestReport::failedWritesAreReported()
{
    QFETCH(QString, format);
    QFETCH(qint64, room);
    TestDatabase file;
    fillOrganisation(file);
    FullDevice out(room);
    QString err;
    QTextStream errors(&err);
    QCOMPARE(HeadlessReport::run({file.path(), "VEXOR", "--format", format}, out, errors), 1);
    errors.flush();
    QCOMPARE(err, QStringLiteral("La sortie standard n'a pas pu être écrite : No space left on device\n"));
}

void TestReport::fullDiskKeepsExistingFile_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("message");
    QTest::newRow("csv") << "csv" << "Impossible d'écrire le fichier";
    QTest::newRow("workbook") << "xlsx" << "Le classeur n'a pas pu être écrit";
    QTest::newRow("texte") << "texte" << "Impossible d'écrire le fichier";
}

void TestReport::fullDiskKeepsExistingFile()
{
    QFETCH(QString, format);
    QFETCH(QString, message);
    TestDatabase file;
    fillOrganisation(file);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("suivi.") + format);
    writeFile(path, "ancien contenu");
    // Room for 64 bytes of any file: the new file cannot be completed.
    const ToolRun run = runTool("report", {file.path(), "VEXOR", "--format", format, "--sortie", path}, fileSizeLimit(64));
    QVERIFY(run.finished);
    QVERIFY(!run.crashed);
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QCOMPARE(readFile(path), QByteArray("ancien contenu"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden),
             QStringList{QFileInfo(path).fileName()});
    // With room, the same command replaces it.
    const ToolRun room = runTool("report", {file.path(), "VEXOR", "--format", format, "--sortie", path});
    QCOMPARE(room.status, 0);
    QVERIFY(readFile(path).size() > 64);
}

void TestReport::longLabelInBoundedMemory()
{
    skipUnderAddressSanitizer();
    // 3 000 levels, one of them with a label of a million characters: the
    // texte format once padded every line to it (gigabytes).
    TestDatabase file;
    file.exec("BEGIN");
    for (int i = 0; i < 3000; ++i)
        file.addLevel(QStringLiteral("L%1").arg(i, 4, 10, QLatin1Char('0')), QStringLiteral("Secteur %1").arg(i));
    file.exec("COMMIT");
    file.exec("UPDATE dim_niveau SET libelle = ? WHERE code = 'L0007'", {QString(1000000, QLatin1Char('x'))});
    const ToolRun run = runTool("report", {file.path(), "VEXOR"}, memoryLimit(512));
    QVERIFY(run.finished);
    QVERIFY2(!run.crashed && run.status == 0, qPrintable(run.err));
    const QList<QByteArray> lines = run.out.split('\n');
    QCOMPARE(lines.size(), 3002); // the captions, the rows, nothing after the last line end
    for (const QByteArray &line : lines)
        QVERIFY(line.size() < 200);
    QVERIFY(run.out.contains(QString(HeadlessReport::TextLabelWidth - 1, QLatin1Char('x')).toUtf8() + "\xE2\x80\xA6"));
}

void TestReport::outOfMemoryIsAMessage()
{
    skipUnderAddressSanitizer();
    // Address spaces from too small to start to large enough: wherever an
    // allocation fails (the engine, Qt, the output), the run ends with a
    // message and status 1, never an abort.
    SKIP_ON_SERVER("the limits are those of one process reading a file");
    TestDatabase file;
    fillOrganisation(file);
    file.exec("UPDATE dim_niveau SET libelle = ? WHERE code = 'U1'", {QString(4000000, QLatin1Char('x'))});
    QTemporaryDir dir;
    int started = 0, refused = 0, done = 0;
    for (int mebibytes = 40; mebibytes <= 220; mebibytes += 6) {
        for (const char *format : {"json", "texte", "pdf"}) {
            QStringList arguments{file.path(), "VEXOR", "--format", format};
            if (format == QLatin1String("pdf"))
                arguments << "--sortie" << dir.filePath(QStringLiteral("suivi.pdf"));
            const ToolRun run = runTool("report", arguments, memoryLimit(mebibytes));
            QVERIFY(run.finished);
            const QString where = QStringLiteral("%1 MiB, %2: %3 %4").arg(mebibytes).arg(format).arg(run.status).arg(run.err);
            QVERIFY2(!run.crashed, qPrintable(where));
            if (run.status == 127 && run.err.contains(QStringLiteral("shared libraries")))
                continue; // the system could not even load the program
            ++started;
            QVERIFY2(run.status == 0 || run.status == 1, qPrintable(where));
            if (run.status == 1) {
                ++refused;
                QVERIFY2(run.out.isEmpty() && !run.err.trimmed().isEmpty(), qPrintable(where));
            } else {
                ++done;
            }
        }
    }
    QVERIFY(refused > 0);
    QVERIFY(done > 0);
    QVERIFY(started > refused);
}

void TestReport::writeSignalsDoNotKill_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("output"); // "pipe", "limit" (file size) or "full" (/dev/full)
    const QStringList table{"BASE", "VEXOR", "--format", "csv"};
    QTest::newRow("orvalis-report, closed pipe") << "report" << table << "pipe";
    QTest::newRow("orvalis-report, file-size limit") << "report" << table << "limit";
    QTest::newRow("orvalis-report, full disk") << "report" << table << "full";
    QTest::newRow("orvalis-report texte, full disk") << "report" << QStringList{"BASE", "VEXOR"} << "full";
    QTest::newRow("orvalis-report --help, full disk") << "report" << QStringList{"--help"} << "full";
    QTest::newRow("orvalis-report --help, closed pipe") << "report" << QStringList{"--help"} << "pipe";
    QTest::newRow("orvalis-sample --help, closed pipe") << "sample" << QStringList{"--help"} << "pipe";
    QTest::newRow("orvalis-bench --help, closed pipe") << "bench" << QStringList{"--help"} << "pipe";
    QTest::newRow("orvalis-shots --help, closed pipe") << "shots" << QStringList{"--help"} << "pipe";
}

// A reader that went away (orvalis-report … | head -c0), a file-size limit
// or a full disk (> /dev/full), with the signals as a shell leaves them: a
// message and status 1.
void TestReport::writeSignalsDoNotKill()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, arguments);
    QFETCH(QString, output);
    TestDatabase file;
    fillOrganisation(file);
    arguments.replaceInStrings(QStringLiteral("BASE"), file.path());
    QTemporaryDir dir;
    const auto closedReader = [] {
        std::signal(SIGPIPE, SIG_DFL);
        int ends[2];
        if (::pipe(ends) != 0)
            ::_exit(99);
        ::close(ends[0]);
        ::dup2(ends[1], STDOUT_FILENO);
    };
    const auto tinyFiles = [] {
        std::signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    const ToolRun run = output == QLatin1String("pipe")  ? runTool(tool, arguments, closedReader)
                        : output == QLatin1String("full") ? runTool(tool, arguments, {}, "/dev/full")
                                                          : runTool(tool, arguments, tinyFiles, dir.filePath("sortie.csv"));
    QVERIFY(run.finished);
    QVERIFY2(!run.crashed, qPrintable(run.err));
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(QStringLiteral("La sortie standard n'a pas pu être écrite : ")), qPrintable(run.err));
}

void TestReport::withoutDisplay_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QString parameters = QStringLiteral(
        "orvalis : Veuillez renseigner les paramètres (1)chemin de la base de données (2)utilisateur\n");
    const QString noDisplay = QStringLiteral("aucun affichage (ni DISPLAY ni WAYLAND_DISPLAY n'est défini) : "
                                             "les fenêtres ne peuvent pas s'ouvrir.\n");
    // Qt's own options are arguments like any other: three or four here.
    QTest::newRow("orvalis, -reverse after") << "orvalis" << QStringList{"base.db", "VEXOR", "-reverse"} << 2 << parameters;
    QTest::newRow("orvalis, -style before") << "orvalis" << QStringList{"-style", "fusion", "base.db", "VEXOR"} << 2
                                            << parameters;
    QTest::newRow("orvalis") << "orvalis" << QStringList{"base.db", "VEXOR"} << 1
                             << QStringLiteral("orvalis : ") + noDisplay;
    QTest::newRow("orvalis-shots, unknown option") << "orvalis-shots" << QStringList{"--bogus"} << 2
                                                   << QStringLiteral("orvalis-shots : il faut la base de données et "
                                                                     "le dossier des images (orvalis-shots --help : "
                                                                     "l'aide)\n");
    QTest::newRow("orvalis-shots") << "orvalis-shots" << QStringList{"base.db", "images"} << 1
                                   << QStringLiteral("orvalis-shots : ") + noDisplay;
}

// A server or a container without a display: the command line first, then
// the display, in French; never Qt's abort.
void TestReport::withoutDisplay()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    QTemporaryDir dir;
    const QString before = QDir::currentPath();
    QDir::setCurrent(dir.path());
    const ToolRun run = runTool(programPath(program), arguments, {}, QString(), environment);
    QDir::setCurrent(before);
    QVERIFY(run.finished);
    QVERIFY2(!run.crashed, qPrintable(run.err));
    QCOMPARE(run.err, message);
    QCOMPARE(run.status, status);
    QVERIFY(run.out.isEmpty());
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestReport::databaseProblemsAreNamed_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("an empty name") << "empty" << 2 << "Le nom de la base de données est vide.";
    QTest::newRow("a symbolic-link loop") << "loop" << 1 << "tourne en rond : ses liens symboliques";
    QTest::newRow("a path too long") << "long" << 1 << "est trop long pour le système.";
    QTest::newRow("a file the user may not read") << "unreadable" << 1 << "Les droits du fichier";
    QTest::newRow("a WAL database in a read-only folder") << "wal" << 1 << "Les droits du dossier";
    QTest::newRow("a journal to roll back in a read-only folder") << "journal" << 1 << "a un journal inachevé";
}

// Each reason a database file cannot be opened named as it is, in French,
// before the engine's own words; run as an ordinary user.
void TestReport::databaseProblemsAreNamed()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QString, message);
    SKIP_ON_SERVER("the rights of files and folders");
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                                  | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup));
    const QString folder = dir.filePath(QStringLiteral("dossier"));
    QVERIFY(QDir().mkdir(folder));
    QString path = QDir(folder).filePath(QStringLiteral("base.db"));
    const auto exec = [](sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); };
    if (kind == QLatin1String("empty")) {
        path.clear();
    } else if (kind == QLatin1String("loop")) {
        QVERIFY(QFile::link(QStringLiteral("b.db"), QDir(folder).filePath(QStringLiteral("a.db"))));
        QVERIFY(QFile::link(QStringLiteral("a.db"), QDir(folder).filePath(QStringLiteral("b.db"))));
        path = QDir(folder).filePath(QStringLiteral("a.db"));
    } else if (kind == QLatin1String("long")) {
        path = QDir(folder).filePath(QString(300, QLatin1Char('n')) + QStringLiteral(".db"));
    } else {
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        QCOMPARE(exec(db, kind == QLatin1String("wal") ? "PRAGMA journal_mode = WAL" : "PRAGMA journal_mode = DELETE"),
                 SQLITE_OK);
        QCOMPARE(exec(db, "CREATE TABLE t (a); INSERT INTO t VALUES (1)"), SQLITE_OK);
        if (kind == QLatin1String("journal")) {
            // A copy of the file and its journal in the middle of a write
            // that has reached the file: what a crash leaves.
            QCOMPARE(exec(db, "PRAGMA cache_size = 1; BEGIN; "
                              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                              "INSERT INTO t SELECT hex(randomblob(40)) FROM n"),
                     SQLITE_OK);
            const QString copy = dir.filePath(QStringLiteral("copie"));
            QVERIFY(QDir().mkdir(copy));
            for (const char *suffix : {"", "-journal"})
                QVERIFY(QFile::copy(path + QLatin1String(suffix), QDir(copy).filePath(QStringLiteral("base.db")
                                                                                      + QLatin1String(suffix))));
            QCOMPARE(exec(db, "ROLLBACK"), SQLITE_OK);
            path = QDir(copy).filePath(QStringLiteral("base.db"));
        }
        sqlite3_close(db);
        const QString inside = QFileInfo(path).absolutePath();
        for (const QString &name : QDir(inside).entryList(QDir::Files))
            QVERIFY(QFile::setPermissions(QDir(inside).filePath(name), kind == QLatin1String("unreadable")
                                                                           ? QFile::Permissions()
                                                                           : QFile::ReadOwner | QFile::ReadGroup
                                                                                 | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(inside, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                                  | QFile::ReadOther | QFile::ExeOther));
    }
    // A copy of the tool that the ordinary user reaches wherever the build
    // lies (a clone in a folder of its owner's alone).
    const QString tool = dir.filePath(QStringLiteral("orvalis-report"));
    QVERIFY(QFile::copy(toolPath(QStringLiteral("report")), tool));
    QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    const ToolRun run = runTool(tool, {path, "VEXOR"}, asOrdinaryUser);
    QVERIFY(run.finished);
    QVERIFY2(!run.crashed, qPrintable(run.err));
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY2(!run.err.contains(QStringLiteral("introuvable")), qPrintable(run.err));
    // Our words first: the engine's, if any, come after them.
    QVERIFY2(!run.err.contains(QStringLiteral("readonly")) || run.err.indexOf(message) < run.err.indexOf("readonly"),
             qPrintable(run.err));
    for (const QString &name : QDir(dir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        QFile::setPermissions(dir.filePath(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestReport::shippedSchemaScript()
{
    // What the README tells a newcomer: the script of the repository makes
    // the six tables, the example fills them, the report shows figures.
    SKIP_ON_SERVER("a script for SQLite files");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("base.db"));
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    for (const char *script : {"deploy/sqlite-schema.sql", "deploy/sqlite-example.sql"}) {
        const QByteArray text = readFile(sourcePath(QLatin1String(script)));
        QVERIFY2(!text.isEmpty(), script);
        char *error = nullptr;
        const int rc = sqlite3_exec(db, text.constData(), nullptr, nullptr, &error);
        const QString why = QString::fromUtf8(error ? error : "");
        sqlite3_free(error);
        QVERIFY2(rc == SQLITE_OK, qPrintable(why));
    }
    sqlite3_close(db);

    // The tables and their columns are those the program's own code makes.
    QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("script"));
    check.setDatabaseName(path);
    QVERIFY(check.open());
    for (const Schema::Table &table : Schema::tables()) {
        QSqlQuery columns(check);
        QVERIFY(columns.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table.name)));
        QStringList found, expected;
        while (columns.next())
            found << columns.value(1).toString() + QLatin1Char(' ') + columns.value(2).toString();
        for (const Schema::Column &column : table.columns)
            expected << column.name + QLatin1Char(' ') + column.type;
        QCOMPARE(found, expected);
    }
    QSqlQuery index(check);
    QVERIFY(index.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'index'")));
    QVERIFY(index.next());
    QCOMPARE(index.value(0).toString(), Schema::recommendedIndexName());
    check.close();
    check = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("script"));

    const ReportOutcome admin = runReport({path, "VEXOR", "--format", "tsv"});
    QCOMPARE(admin.err, QString());
    QCOMPARE(admin.status, 0);
    QStringList lines = QString::fromUtf8(admin.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(1), QStringLiteral("Secteur Nord\t2500.00\t500.00\t3000.00\t600.00\t24.00%\t2\t2\t1\t50.00%"));
    const ReportOutcome own = runReport({path, "U0001", "--niveau", "U0001", "--format", "tsv"});
    QCOMPARE(own.status, 0);
    lines = QString::fromUtf8(own.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(2).startsWith(QStringLiteral("Agence de Lille\t1250.00\t")));
}

QTEST_MAIN(TestReport)
#include "tst_report.moc"
