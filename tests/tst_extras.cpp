// The tracking table beyond the screen: export to CSV and XLSX, copy to
// the clipboard, sorting by a column, the trend of the months.
#include "support/organisation.h"
#include "support/reportdriver.h"
#include "support/scripteddialogs.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"
#include "support/xlsxreader.h"

#include "ui/activation.h"
#include "charts/tfichetrend.h"
#include "dashboard/dashboarditem.h"
#include "tools/report/reportcommand.h"
#include "dashboard/periods.h"
#include "dashboard/tableexport.h"
#include "dashboard/tfichetdb.h"
#include "dashboard/trend.h"
#include "ui/itemcodes.h"
#include "ui/numbertext.h"

#include <QApplication>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineSeries>
#include <QMimeData>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <clocale>
#include <cmath>

#include <sys/stat.h>

namespace {

DashboardRow makeRow(const QString &label, double ht, double tva, double marge, double relances, double devis,
                     double commandes)
{
    return DashboardRow::from(QStringLiteral("C"), label, AccountSums{ht, tva, marge, relances, devis, commandes});
}

// Three rows with the cases that matter: a negative margin, a rate over
// 100 %, a label to quote in CSV, a label that reads as a formula.
QVector<DashboardRow> sampleRows()
{
    return {
        makeRow(QStringLiteral("Agence; \"Centre\""), 200, 40, -50, 2.9, 2, 3),
        makeRow(QStringLiteral("=HYPERLINK(\"http://x\")"), 1234.5, 246.9, 0, 0, 0, 0),
        makeRow(QStringLiteral("Émile Faure"), 100.25, 20.05, 30, -2.9, 4, 1),
    };
}

// Levels whose statement order (by the bytes of the label) is neither the
// French order nor the order of any figure.
void fillSortable(TestDatabase &db)
{
    struct Level
    {
        const char *code;
        const char *label;
        double ht;
        double devis;
        double commandes;
    };
    const Level levels[] = {
        {"L1", "Secteur 10", 1000, 10, 2}, {"L2", "Secteur 9", -50, 9, 9},     {"L3", "Denis Roux", 200, 100, 5},
        {"L4", "Émile Faure", 9.5, 2, 1},  {"L5", "Fabien Ollier", 30, 0, 3},
    };
    db.addSupplier("F1", "Fournisseur Un");
    for (const Level &level : levels) {
        const QString agency = QStringLiteral("A") + QLatin1String(level.code);
        db.addUser(level.code, level.label);
        db.addLevel(level.code, level.label);
        db.addAgency(agency, QStringLiteral("Agence ") + QLatin1String(level.code));
        db.link(level.code, agency);
        addFigures(db, thisYear(), thisMonth(), agency, level.code, "F1", level.ht, level.ht / 5, level.ht / 10, 0,
                   level.devis, level.commandes);
    }
}

// A title of a month of 2026.
TableExport::Title titleOf(int month)
{
    TableExport::Title title;
    title.year = 2026;
    title.month = month;
    return title;
}

// The workbook of `rows`, written to a file and read back (XlsxSheet parses
// every XML part of the file).
XlsxSheet workbook(const QVector<DashboardRow> &rows, const TableExport::Title &title,
                   const TableExport::Comparison *comparison = nullptr)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.xlsx"));
    TableExport::save(path, TableExport::xlsx(rows, title, std::nullopt, comparison));
    const XlsxSheet sheet = XlsxSheet::read(path);
    [&sheet] { QVERIFY2(sheet.error.isEmpty(), qPrintable(sheet.error)); }();
    return sheet;
}

struct Expected
{
    const char *ref;
    double value;
    const char *format;
};

// Each cell holds a number, not a formula, of that value and format.
void compareNumbers(const XlsxSheet &sheet, std::initializer_list<Expected> cells)
{
    for (const Expected &e : cells) {
        const XlsxCell cell = sheet.cell(QLatin1String(e.ref));
        QVERIFY2(cell.isNumber() && !cell.formula, e.ref);
        QVERIFY2(qFuzzyCompare(1 + cell.number, 1 + e.value), qPrintable(QStringLiteral("%1: %2").arg(e.ref).arg(cell.number)));
        QCOMPARE(cell.numberFormat, QLatin1String(e.format));
    }
}

const QStringList StatementOrder{"Denis Roux", "Fabien Ollier", "Secteur 10", "Secteur 9", "Émile Faure"};

// Facts in older months of the month list, and one month beyond it.
void fillOlderMonths(TestDatabase &db)
{
    const QDate first(thisYear(), thisMonth(), 1);
    const QDate five = first.addMonths(-5), twelve = first.addMonths(-12), thirteen = first.addMonths(-13);
    addFigures(db, five.year(), five.month(), "A'2", "U4", "F1", 80, 16, 8, 1, 7, 5);
    addFigures(db, five.year(), five.month(), "A'2", "U5", "F'2", 20, 4, -3, 0, 2.5, 1.5);
    addFigures(db, twelve.year(), twelve.month(), "A1", "U3", "F1", 55.55, 11.11, 5, 0, 3, 2);
    addFigures(db, thirteen.year(), thirteen.month(), "A1", "U3", "F1", 999, 0, 0, 0, 99, 99);
}

QVector<Period> oldestFirst(const QDate &today = QDate::currentDate())
{
    QVector<Period> months = monthList(today);
    std::reverse(months.begin(), months.end());
    return months;
}

} // namespace

class TestExtras : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void formulaGuard_data();
    void formulaGuard();
    void csvFollowsLocale_data();
    void csvFollowsLocale();
    void textFormatsGuardLabelsOnly();
    void workbookCells();
    void workbookNumbersWhateverTheLocale_data();
    void workbookNumbersWhateverTheLocale();
    void workbookTextsAreValidXml_data();
    void workbookTextsAreValidXml();
    void escapedLabelAtTheLimit();
    void titleNamesFiltersInForce_data();
    void titleNamesFiltersInForce();

    void formKeepsItsControls();
    void sortByColumn_data();
    void sortByColumn();
    void refreshRestoresStatementOrder();
    void frenchLabelOrder_data();
    void frenchLabelOrder();
    void copyRows_data();
    void copyRows();
    void exportFromWindow_data();
    void exportFromWindow();
    void exportCancelledOrFailing();
    void exportRefusesTargets_data();
    void exportRefusesTargets();

    void trendEqualsMonthlyReports_data();
    void trendEqualsMonthlyReports();
    void trendWindow();

    void reportWritesWorkbook();
    void reportOutputFile();
};

void TestExtras::formulaGuard_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("guarded");
    QTest::newRow("equals") << "=1+1" << "'=1+1";
    QTest::newRow("plus") << "+33 1 23" << "'+33 1 23";
    QTest::newRow("minus") << "-2+3" << "'-2+3";
    QTest::newRow("at") << "@SUM(A1)" << "'@SUM(A1)";
    QTest::newRow("tab") << "\t=1" << "'\t=1";
    QTest::newRow("carriage return") << "\r=1" << "'\r=1";
    QTest::newRow("plain") << "Agence de Brest" << "Agence de Brest";
    QTest::newRow("sign inside") << "A=B" << "A=B";
    QTest::newRow("apostrophe already") << "'=1" << "'=1";
    QTest::newRow("empty") << "" << "";
}

void TestExtras::formulaGuard()
{
    QFETCH(QString, label);
    QFETCH(QString, guarded);
    QCOMPARE(TableExport::textCells(makeRow(label, 1, 0, 0, 0, 0, 0)).first(), guarded);
}

void TestExtras::csvFollowsLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("firstRow");
    QTest::newRow("point") << QLocale::c()
                           << "\"Agence; \"\"Centre\"\"\";200.00;40.00;240.00;-50.00;-25.00%;2;2;3;150.00%";
    QTest::newRow("comma") << QLocale(QLocale::French, QLocale::France)
                           << "\"Agence; \"\"Centre\"\"\";200,00;40,00;240,00;-50,00;-25,00%;2;2;3;150,00%";
}

void TestExtras::csvFollowsLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, firstRow);
    QLocale::setDefault(locale);
    const QByteArray bytes = TableExport::csv(sampleRows());
    QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
    QVERIFY(!bytes.mid(3).startsWith("\xEF\xBB\xBF"));
    const QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 5); // header, three rows, nothing after the last line end
    QCOMPARE(lines.at(0), dashboardCaptions().join(';'));
    QCOMPARE(lines.at(1), firstRow);
    QVERIFY2(lines.at(2).startsWith(QStringLiteral("\"'=HYPERLINK(\"\"http://x\"\")\";")), qPrintable(lines.at(2)));
    QVERIFY(lines.at(3).startsWith(QStringLiteral("Émile Faure;")));
    QCOMPARE(lines.at(4), QString());
}

void TestExtras::textFormatsGuardLabelsOnly()
{
    const QVector<DashboardRow> rows = sampleRows();
    const QStringList tsv = QString::fromUtf8(TableExport::tsv(rows)).split('\n');
    QCOMPARE(tsv.size(), 5);
    QCOMPARE(tsv.at(0), dashboardCaptions().join('\t'));
    // Negative figures are numbers, not formulas: they stay as they are.
    QCOMPARE(tsv.at(1), QStringLiteral("Agence; \"Centre\"\t200.00\t40.00\t240.00\t-50.00\t-25.00%\t2\t2\t3\t150.00%"));
    QVERIFY(tsv.at(2).startsWith(QStringLiteral("'=HYPERLINK(\"http://x\")\t1234.50\t")));
    QVERIFY(tsv.at(3).endsWith(QStringLiteral("\t-2\t4\t1\t25.00%")));
    // For a script, the same lines with the labels as the table shows them.
    const QStringList plain = QString::fromUtf8(TableExport::tsv(rows, TableExport::Labels::AsShown)).split('\n');
    QCOMPARE(plain.size(), 5);
    QVERIFY(plain.at(2).startsWith(QStringLiteral("=HYPERLINK(\"http://x\")\t1234.50\t")));
    QCOMPARE(plain.at(1), tsv.at(1));
    QCOMPARE(plain.at(3), tsv.at(3));

    const QString html = TableExport::html(rows);
    QVERIFY(html.contains(QStringLiteral("<th align=\"left\">Niveau</th>")));
    QVERIFY(html.contains(QStringLiteral("<th align=\"right\">Marge €</th>")));
    QVERIFY(html.contains(QStringLiteral(">Agence; &quot;Centre&quot;</td>")));
    QVERIFY(html.contains(QStringLiteral(">'=HYPERLINK(&quot;http://x&quot;)</td>")));
    QVERIFY(html.contains(QStringLiteral("<td align=\"right\">-50.00</td>")));
    QCOMPARE(html.count(QStringLiteral("<tr>")), 4);
    QCOMPARE(html.count(QStringLiteral("<td")), 30);
}

void TestExtras::workbookCells()
{
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    TableExport::Title title = titleOf(3);
    title.level = QStringLiteral("Secteur Nord");
    const XlsxSheet sheet = workbook(sampleRows(), title);
    QCOMPARE(sheet.name, QStringLiteral("Tableau de suivi"));
    QCOMPARE(sheet.cell("A1").text, QStringLiteral("Tableau de suivi – 2026-03 – Chef de secteur : Secteur Nord – "
                                                   "Agence : <Toutes> – Utilisateur : <Tous> – Fournisseur : <Tous>"));
    QVERIFY(!sheet.has("A2"));
    const QStringList captions = dashboardCaptions();
    const QString columns = QStringLiteral("ABCDEFGHIJ");
    for (int c = 0; c < 10; ++c)
        QCOMPARE(sheet.cell(columns.at(c) + QStringLiteral("3")).text, captions.at(c));
    QCOMPARE(sheet.autoFilter, QStringLiteral("A3:J6"));

    // Labels are strings, as they read, formula-like or not.
    QCOMPARE(sheet.cell("A4").type, QStringLiteral("s"));
    QCOMPARE(sheet.cell("A4").text, QStringLiteral("Agence; \"Centre\""));
    QCOMPARE(sheet.cell("A5").type, QStringLiteral("s"));
    QCOMPARE(sheet.cell("A5").text, QStringLiteral("=HYPERLINK(\"http://x\")"));
    QVERIFY(!sheet.cell("A5").formula);
    QCOMPARE(sheet.cell("A6").text, QStringLiteral("Émile Faure"));

    // Amounts and counts with a thousands separator; the values unchanged.
    compareNumbers(sheet, {
        {"B4", 200, "#,##0.00"},   {"C4", 40, "#,##0.00"},     {"D4", 240, "#,##0.00"}, {"E4", -50, "#,##0.00"},
        {"F4", -0.25, "0.00%"},    {"G4", 2, "#,##0"},         {"H4", 2, "#,##0"},      {"I4", 3, "#,##0"},
        {"J4", 1.5, "0.00%"},      {"B5", 1234.5, "#,##0.00"}, {"F5", 0, "0.00%"},      {"G6", -2, "#,##0"},
        {"D6", 120.3, "#,##0.00"}, {"J6", 0.25, "0.00%"},
    });
    // Printed on A4, in landscape.
    const QByteArray sheetXml = sheet.parts.value(QStringLiteral("xl/worksheets/sheet1.xml"));
    QVERIFY2(sheetXml.contains("<pageSetup paperSize=\"9\" "), sheetXml.constData());
    QVERIFY(sheetXml.contains("orientation=\"landscape\""));

    // Against another period, each figure is followed by its value there
    // and its change, numbers too: percent of the other value for amounts,
    // points for rates, no cell where the other value is 0.
    title.firstMonth = 1;
    title.comparedWith = QStringLiteral("2025-01 à 2025-03");
    const TableExport::Comparison comparison{title.comparedWith,
                                             {makeRow("a", 100, 20, -100, 0, 2, 1), makeRow("b", 0, 0, 0, 0, 0, 0),
                                              sampleRows().at(2)},
                                             std::nullopt};
    const XlsxSheet compared = workbook(sampleRows(), title, &comparison);
    QCOMPARE(compared.cell("A1").text,
             QStringLiteral("Tableau de suivi – 2026-01 à 2026-03 – comparé à 2025-01 à 2025-03 – Chef de secteur : "
                            "Secteur Nord – Agence : <Toutes> – Utilisateur : <Tous> – Fournisseur : <Tous>"));
    QCOMPARE(compared.cell("C3").text, QStringLiteral("Montant HT (2025-01 à 2025-03)"));
    QCOMPARE(compared.cell("P3").text, QStringLiteral("Évolution Marge %"));
    QCOMPARE(compared.autoFilter, QStringLiteral("A3:AB6"));
    const char *const percent = "+0.00%;-0.00%;0.00%", *const points = "+0.00\" pt\";-0.00\" pt\";0.00\" pt\"";
    compareNumbers(compared, {
        {"B4", 200, "#,##0.00"}, {"C4", 100, "#,##0.00"}, {"D4", 1, percent},     {"L4", -100, "#,##0.00"},
        {"M4", 0.5, percent},    {"O4", -1, "0.00%"},     {"P4", 75, points},     {"AB4", 100, points},
        {"D6", 0, percent},      {"X6", 1, "#,##0"},      {"Y6", 0, percent},
    });
    QVERIFY(!compared.has("D5"));
}

namespace {

// Rows whose figures have many digits, both signs, tiny and huge values.
QVector<DashboardRow> manyDigitRows()
{
    return {
        makeRow(QStringLiteral("Secteur Bourgogne-Franche-Comté"), 37262.835, 7452.567, 1234.005, 12, 34567, 23456),
        makeRow(QStringLiteral("Agence de Chalon-sur-Saône"), -1234567.891, 0.1 + 0.2, 1e-7, 0, 3, 1),
        makeRow(QStringLiteral("Grand compte"), 12345678901234.5, 2469135780246.9, 98765432.1, 1, 1, 1),
    };
}

// Switches the C library's numbers (LC_NUMERIC) to `name` for the life of
// the object, as a program that took the user's locale runs.
class NumericLocale
{
public:
    explicit NumericLocale(const char *name) : m_previous(std::setlocale(LC_NUMERIC, nullptr))
    {
        m_ok = std::setlocale(LC_NUMERIC, name) != nullptr;
    }
    ~NumericLocale() { std::setlocale(LC_NUMERIC, m_previous.constData()); }
    bool ok() const { return m_ok; }

private:
    QByteArray m_previous;
    bool m_ok = false;
};

} // namespace

void TestExtras::workbookNumbersWhateverTheLocale_data()
{
    QTest::addColumn<QByteArray>("locale");
    QTest::newRow("C") << QByteArray("C.UTF-8");
    QTest::newRow("French") << QByteArray("fr_FR.UTF-8");
}

void TestExtras::workbookNumbersWhateverTheLocale()
{
    QFETCH(QByteArray, locale);
    const QVector<DashboardRow> rows = manyDigitRows();
    // The same workbook made under the C conventions, for comparison.
    const XlsxSheet c = [&rows] {
        const NumericLocale c("C");
        return workbook(rows, titleOf(5));
    }();
    const NumericLocale numbers(locale.constData());
    if (!numbers.ok())
        QSKIP(qPrintable(QStringLiteral("locale %1 missing (scripts/dev test generates it)").arg(QString::fromLatin1(locale))));
    QCOMPARE(QString::asprintf("%.1f", 1.5), QStringLiteral("1.5")); // Qt's own formatting: C always
    const XlsxSheet sheet = workbook(rows, titleOf(5));
    const QString columns = QStringLiteral("ABCDEFGHIJ");
    for (int r = 0; r < rows.size(); ++r) {
        for (int c = 1; c < 10; ++c) {
            const QString ref = columns.at(c) + QString::number(r + 4);
            const XlsxCell cell = sheet.cell(ref);
            QVERIFY2(cell.isNumber(), qPrintable(ref));
            double expected = TableExport::columnValue(rows.at(r), c);
            if (TableExport::columnKind(c) == TableExport::ColumnKind::Percent)
                expected /= 100;
            // The file keeps 16 significant digits.
            QVERIFY2(std::fabs(cell.number - expected) <= 1e-15 * std::fabs(expected),
                     qPrintable(QStringLiteral("%1: %2, expected %3").arg(ref).arg(cell.number, 0, 'g', 17).arg(expected, 0, 'g', 17)));
        }
    }
    // Every other number of the file too (column widths, margins): the
    // parts are those written under the C conventions, byte for byte, but
    // for the creation time.
    QCOMPARE(sheet.parts.keys(), c.parts.keys());
    for (auto it = c.parts.cbegin(); it != c.parts.cend(); ++it)
        if (it.key() != QLatin1String("docProps/core.xml"))
            QVERIFY2(sheet.parts.value(it.key()) == it.value(), qPrintable(it.key()));
    QVERIFY(!sheet.parts.value(QStringLiteral("xl/worksheets/sheet1.xml")).contains(",7109375"));
}

void TestExtras::workbookTextsAreValidXml_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("stored");
    const QChar replacement(QChar::ReplacementCharacter);
    QTest::newRow("control character") << QStringLiteral("Agence\x01Nord") << QStringLiteral("Agence") + replacement + "Nord";
    QTest::newRow("escape and unit separator")
        << QStringLiteral("\x1b[1m\x1f") << QString(replacement) + "[1m" + replacement;
    QTest::newRow("nul") << QString(QChar(0)) + "x" << QString(replacement) + "x";
    QTest::newRow("not characters") << QString(QChar(0xFFFE)) + QChar(0xFFFF) << QString(replacement) + replacement;
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + "a" << QString(replacement) + "a";
    QTest::newRow("kept: tab, line breaks") << QStringLiteral("a\tb\nc\rd") << QStringLiteral("a\tb\nc\rd");
    QTest::newRow("kept: a spreadsheet's escape") << QStringLiteral("a_x0041_b_x005F_") << QStringLiteral("a_x0041_b_x005F_");
    QTest::newRow("kept: markup") << QStringLiteral("<b>&amp; \"x\" ]]> 'y'") << QStringLiteral("<b>&amp; \"x\" ]]> 'y'");
    QTest::newRow("kept: beyond the first plane") << QStringLiteral("Agence 😀 𝄞") << QStringLiteral("Agence 😀 𝄞");
    QTest::newRow("longer than a cell") << QString(40000, QLatin1Char('x'))
                                        << QString(32766, QLatin1Char('x')) + QChar(0x2026);
    QString pairs;
    for (int i = 0; i < 20000; ++i)
        pairs += QStringLiteral("😀");
    // The cut does not split a pair.
    QTest::newRow("longer than a cell, in pairs") << pairs << pairs.left(32766) + QChar(0x2026);
}

void TestExtras::workbookTextsAreValidXml()
{
    QFETCH(QString, label);
    QFETCH(QString, stored);
    TableExport::Title title = titleOf(5);
    title.level = label;
    title.supplier = label;
    const XlsxSheet sheet = workbook({makeRow(label, 1, 2, 3, 4, 5, 6)}, title);
    QCOMPARE(sheet.cell("A4").text, stored);
    QVERIFY(sheet.cell("A1").text.startsWith(QStringLiteral("Tableau de suivi – 2026-05 – Chef de secteur : ")));
    QVERIFY(sheet.documentTitle.startsWith(QStringLiteral("Tableau de suivi – 2026-05 – Chef de secteur : ")));
    QVERIFY(!sheet.documentTitle.contains(QLatin1Char('\n')) && !sheet.documentTitle.contains(QLatin1Char('\r')));
    QCOMPARE(sheet.cell("B4").number, 1.0);
}

// The library counts the escaped text: a label near the limit whose
// escapes lengthen it is cut, not refused.
void TestExtras::escapedLabelAtTheLimit()
{
    const QString label = QStringLiteral("_x0041_").repeated(5000);
    const QString text = workbook({makeRow(label, 1, 2, 3, 4, 5, 6)}, titleOf(5)).cell("A4").text;
    QVERIFY(text.startsWith(QStringLiteral("_x0041_").repeated(2000)));
    QVERIFY(text.endsWith(QChar(0x2026)));
}

void TestExtras::titleNamesFiltersInForce_data()
{
    QTest::addColumn<int>("levelIndex");
    QTest::addColumn<int>("agencyIndex");
    QTest::addColumn<int>("userIndex");
    QTest::addColumn<QString>("supplier");
    QTest::addColumn<QString>("filters");
    QTest::newRow("levels") << 0 << 0 << 0 << ""
                            << "Chef de secteur : <Tous> – Agence : <Toutes> – Utilisateur : <Tous> – Fournisseur : <Tous>";
    QTest::newRow("agencies") << 1 << 0 << 0 << "F'2"
                              << "Chef de secteur : Secteur Nord – Agence : <Toutes> – Utilisateur : <Tous> – "
                                 "Fournisseur : Fournisseur d'Azur";
    QTest::newRow("users") << 1 << 2 << 0 << ""
                           << "Chef de secteur : Secteur Nord – Agence : Agence de Brest – Utilisateur : <Tous> – "
                              "Fournisseur : <Tous>";
    QTest::newRow("one user") << 1 << 2 << 1 << ""
                              << "Chef de secteur : Secteur Nord – Agence : Agence de Brest – Utilisateur : Denis "
                                 "Roux – Fournisseur : <Tous>";
    // A user left selected after a change of level: the table shows level
    // rows, and the title says so.
    QTest::newRow("stale user") << 2 << 0 << 1 << ""
                                << "Chef de secteur : <Tous> – Agence : <Toutes> – Utilisateur : <Tous> – "
                                   "Fournisseur : <Tous>";
}

void TestExtras::titleNamesFiltersInForce()
{
    QFETCH(int, levelIndex);
    QFETCH(int, agencyIndex);
    QFETCH(int, userIndex);
    QFETCH(QString, supplier);
    QFETCH(QString, filters);
    const DashboardSelection selection{.admin = false, .user = {}, .levelIndex = levelIndex,
                                       .agencyIndex = agencyIndex, .userIndex = userIndex, .levelCode = "U1",
                                       .agencyCode = "A'2", .userCode = "U4", .supplierCode = supplier,
                                       .year = 2027, .month = 1};
    const QMap<QString, QString> labels{
        {"U1", "Secteur Nord"}, {"A'2", "Agence de Brest"}, {"U4", "Denis Roux"}, {"F'2", "Fournisseur d'Azur"}};
    const TableExport::Title title = TableExport::titleOf(
        selection, [&labels](TableExport::Filter, const QString &code) { return labels.value(code); });
    QCOMPARE(title.filtersText(), filters);
    QCOMPARE(title.text(), QStringLiteral("Tableau de suivi – 2027-01 – ") + filters);
}

// The buttons added to the form cover none of its controls.
void TestExtras::formKeepsItsControls()
{
    OpenedTable open(true);
    TFicheTDB &window = open.window;
    QVERIFY(open.opened);
    auto *exporter = window.findChild<QPushButton *>("btnExporter");
    auto *evolution = window.findChild<QPushButton *>("btnEvolution");
    QVERIFY(exporter && evolution);
    for (const char *name : {"cblNiveau", "lblNiveau", "Label2", "cblAgence", "Label3", "cblUtilisateur", "lvData",
                             "Label4", "cblFournisseur", "Label1", "cblPeriode", "lblEtendue", "cblEtendue",
                             "lblComparaison", "cblComparaison"}) {
        auto *control = window.findChild<QWidget *>(name);
        QVERIFY2(control, name);
        QVERIFY2(!control->geometry().intersects(exporter->geometry()), name);
        QVERIFY2(!control->geometry().intersects(evolution->geometry()), name);
    }
    QVERIFY(!exporter->geometry().intersects(evolution->geometry()));
    QVERIFY(window.rect().contains(exporter->geometry()));

    // The table still grows with the window; the buttons follow the corner.
    window.resize(1300, 800);
    QTRY_COMPARE(open.table()->geometry(), QRect(16, 72, 1268, 679));
    QCOMPARE(exporter->geometry().bottomRight(), QPoint(1283, 783));
    QVERIFY(!open.table()->geometry().intersects(evolution->geometry()));
    QVERIFY(open.boxes.shown().isEmpty());
}

void TestExtras::sortByColumn_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("labels, French order")
        << 0 << 1 << QStringList{"Denis Roux", "Émile Faure", "Fabien Ollier", "Secteur 9", "Secteur 10"};
    QTest::newRow("labels, reversed")
        << 0 << 2 << QStringList{"Secteur 10", "Secteur 9", "Fabien Ollier", "Émile Faure", "Denis Roux"};
    // -50.00 < 9.50 < 30.00 < 200.00 < 1000.00, whatever the texts say.
    QTest::newRow("amount")
        << 1 << 1 << QStringList{"Secteur 9", "Émile Faure", "Fabien Ollier", "Denis Roux", "Secteur 10"};
    QTest::newRow("amount, reversed")
        << 1 << 2 << QStringList{"Secteur 10", "Denis Roux", "Fabien Ollier", "Émile Faure", "Secteur 9"};
    // 0 < 2 < 9 < 10 < 100 quotes.
    QTest::newRow("count") << 7 << 1
                           << QStringList{"Fabien Ollier", "Émile Faure", "Secteur 9", "Secteur 10", "Denis Roux"};
    // Conversion rates 0 % (no quote) < 5 % < 20 % < 50 % < 100 %.
    QTest::newRow("rate") << 9 << 1
                          << QStringList{"Fabien Ollier", "Denis Roux", "Secteur 10", "Émile Faure", "Secteur 9"};
}

void TestExtras::sortByColumn()
{
    QFETCH(int, column);
    QFETCH(int, clicks);
    QFETCH(QStringList, order);
    OpenedTable open(true, QString(), fillSortable);
    QVERIFY(open.opened);
    QTreeWidget *table = open.table();
    // The table opens in the order of the row statement.
    QCOMPARE(firstColumn(table), StatementOrder);
    QStringList rows = joinedRows(table);
    for (int i = 0; i < clicks; ++i)
        clickHeader(table, column);
    QCOMPARE(firstColumn(table), order);
    QCOMPARE(table->header()->sortIndicatorSection(), column);
    QCOMPARE(table->header()->sortIndicatorOrder(), clicks == 1 ? Qt::AscendingOrder : Qt::DescendingOrder);
    // Sorting moves whole rows.
    QStringList sorted = joinedRows(table);
    std::sort(rows.begin(), rows.end());
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(sorted, rows);
    QVERIFY(open.boxes.shown().isEmpty());
}

void TestExtras::refreshRestoresStatementOrder()
{
    OpenedTable open(true, QString(), fillSortable);
    QVERIFY(open.opened);
    QTreeWidget *table = open.table();
    clickHeader(table, 1);
    clickHeader(table, 1);
    QVERIFY(firstColumn(table) != StatementOrder);

    // A choice in a list rebuilds the table in the statement's order and
    // forgets the sort column.
    QVERIFY(pickCodeWithMouse(open.combo("cblFournisseur"), "F1"));
    QCOMPARE(firstColumn(table), StatementOrder);
    QCOMPARE(table->header()->sortIndicatorSection(), -1);
    QVector<QString> shown;
    for (const DashboardRow &row : open.window.shownRows())
        shown << row.libelle;
    QCOMPARE(QStringList(shown.begin(), shown.end()), StatementOrder);

    // The next click starts again from ascending.
    clickHeader(table, 1);
    QCOMPARE(firstColumn(table).first(), QStringLiteral("Secteur 9"));
    QCOMPARE(table->header()->sortIndicatorOrder(), Qt::AscendingOrder);
    QVERIFY(open.boxes.shown().isEmpty());
}

void TestExtras::frenchLabelOrder_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    // Accents count after the letters: É sorts among the E.
    QTest::newRow("accent among its letter") << "Émile" << "Emma";
    QTest::newRow("accent before next letter") << "Émile" << "Fabien";
    QTest::newRow("after the same plain letter") << "Denis" << "Émile";
    QTest::newRow("accent only") << "Eric" << "Éric";
    QTest::newRow("case only") << "emile" << "Emile";
    // The apostrophe is punctuation, before any letter.
    QTest::newRow("apostrophe") << "Agence d'Orléans" << "Agence de Brest";
    QTest::newRow("numbers by value") << "Secteur 9" << "Secteur 10";
    QTest::newRow("ç as c") << "Françoise" << "Frank";
}

void TestExtras::frenchLabelOrder()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QVERIFY(labelLess(first, second));
    QVERIFY(!labelLess(second, first));
    QVERIFY(!labelLess(first, first));
}

void TestExtras::copyRows_data()
{
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<QStringList>("labels");
    QTest::newRow("none: every row") << QList<int>{}
                                     << QStringList{"'=Secteur Vide", "Secteur Nord", "Secteur de l'Ouest"};
    QTest::newRow("two rows, in the table's order")
        << QList<int>{2, 0} << QStringList{"'=Secteur Vide", "Secteur de l'Ouest"};
    QTest::newRow("one row") << QList<int>{1} << QStringList{"Secteur Nord"};
}

void TestExtras::copyRows()
{
    QFETCH(QList<int>, selected);
    QFETCH(QStringList, labels);
    OpenedTable open(true, QString(), [](TestDatabase &db) {
        fillOrganisation(db);
        db.exec("UPDATE dim_niveau SET libelle = '=Secteur Vide' WHERE code = 'U3'");
    });
    QVERIFY(open.opened);
    QTreeWidget *table = open.table();
    // The statement order puts "=Secteur Vide" first.
    const QStringList shown = firstColumn(table);
    QCOMPARE(shown, (QStringList{"=Secteur Vide", "Secteur Nord", "Secteur de l'Ouest"}));
    table->clearSelection();
    for (int r : selected)
        table->topLevelItem(r)->setSelected(true);

    QGuiApplication::clipboard()->clear();
    table->setFocus();
    QTest::keySequence(table, QKeySequence::Copy);
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data);
    QStringList lines = data->text().split('\n');
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.takeFirst(), dashboardCaptions().join('\t'));
    // The whole table comes with its totals line, a part of it alone.
    const bool whole = selected.isEmpty() || selected.size() == shown.size();
    if (whole)
        QCOMPARE(lines.takeLast(), open.window.totals()->cells().join('\t'));
    QCOMPARE(lines.size(), labels.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QStringList cells = lines.at(i).split('\t');
        QCOMPARE(cells.size(), 10);
        QCOMPARE(cells.first(), labels.at(i));
        // The figures are the ones the table shows for that row.
        const QString label = cells.first().startsWith('\'') ? cells.first().mid(1) : cells.first();
        const QTreeWidgetItem *item = table->topLevelItem(shown.indexOf(label));
        for (int c = 1; c < 10; ++c)
            QCOMPARE(cells.at(c), item->text(c));
    }
    const QString html = data->html();
    QCOMPARE(html.count(QStringLiteral("<tr>")), labels.size() + 1 + (whole ? 1 : 0));
    QCOMPARE(html.contains(QStringLiteral("<tfoot>")), whole);
    for (const QString &caption : dashboardCaptions())
        QVERIFY(html.contains(QStringLiteral(">%1</th>").arg(caption.toHtmlEscaped())));
    for (const QString &label : labels)
        QVERIFY(html.contains(QStringLiteral(">%1</td>").arg(label.toHtmlEscaped())));
    QVERIFY(open.boxes.shown().isEmpty());
}

void TestExtras::exportFromWindow_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("written");
    QTest::addColumn<bool>("workbook");
    QTest::addColumn<bool>("compared"); // against the month before
    const QString xlsx = QStringLiteral("Classeur Excel (*.xlsx)");
    const QString csv = QStringLiteral("CSV, séparateur point-virgule (*.csv)");
    QTest::newRow("workbook by its filter") << "tableau" << xlsx << "tableau.xlsx" << true << false;
    QTest::newRow("CSV by its filter") << "tableau" << csv << "tableau.csv" << false << false;
    QTest::newRow("the extension decides") << "t.csv" << xlsx << "t.csv" << false << false;
    QTest::newRow("upper-case extension") << "t.XLSX" << csv << "t.XLSX" << true << false;
    QTest::newRow("another extension") << "t.txt" << csv << "t.txt.csv" << false << false;
    QTest::newRow("workbook against the month before") << "tableau" << xlsx << "tableau.xlsx" << true << true;
}

void TestExtras::exportFromWindow()
{
    QFETCH(QString, answer);
    QFETCH(QString, filter);
    QFETCH(QString, written);
    QFETCH(bool, workbook);
    QFETCH(bool, compared);
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    OpenedTable open(true);
    QVERIFY(open.opened);
    QVERIFY(pickCodeWithMouse(open.combo("cblNiveau"), "U1"));
    QVERIFY(pickCodeWithMouse(open.combo("cblFournisseur"), "F1"));
    if (compared)
        QVERIFY(pickWithMouse(open.combo("cblComparaison"), 1));
    QTreeWidget *table = open.table();
    QCOMPARE(firstColumn(table), (QStringList{"Agence d'Orléans", "Agence de Brest"}));
    clickHeader(table, 4); // margin: -50 (Orléans) before 12 (Brest)
    clickHeader(table, 4);
    const QStringList shown = firstColumn(table);
    QCOMPARE(shown, (QStringList{"Agence de Brest", "Agence d'Orléans"}));

    QTemporaryDir dir;
    ScriptedFileDialogs dialogs;
    dialogs.answerNext(dir.filePath(answer), filter);
    const int activations = open.window.activation()->count();
    clickButton(open.window.findChild<QPushButton *>("btnExporter"));
    QCOMPARE(dialogs.asked().size(), 1);
    QCOMPARE(dialogs.asked().first().caption, QStringLiteral("Exporter le tableau de suivi"));
    QVERIFY(dialogs.asked().first().dir.endsWith(
        QStringLiteral("Tableau de suivi %1%2.xlsx")
            .arg(open.combo("cblPeriode")->currentText(),
                 compared ? QStringLiteral(" comparé à ") + open.combo("cblPeriode")->itemText(1) : QString())));
    QVERIFY(dialogs.asked().first().filter.contains(QStringLiteral("(*.csv)")));
    QVERIFY2(open.boxes.shown().isEmpty(), qPrintable(open.boxes.texts().join('\n')));
    QCOMPARE(open.window.activation()->count(), activations);

    const QString path = dir.filePath(written);
    QVERIFY2(QFile::exists(path), qPrintable(path));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
    const XlsxSheet sheet = workbook ? XlsxSheet::read(path) : XlsxSheet();
    QVERIFY2(sheet.error.isEmpty(), qPrintable(sheet.error));
    if (compared) {
        // Sorted rows keep their own values of the month before: Orléans
        // had 7.00 with this supplier, Brest nothing (no change to give).
        QVERIFY(sheet.cell("A1").text.contains(QStringLiteral(" – comparé à %1 – ").arg(open.combo("cblPeriode")->itemText(1))));
        QCOMPARE(sheet.cell("A4").text, shown.at(0));
        QCOMPARE(sheet.cell("C4").number, 0.0);
        QVERIFY(!sheet.has("D4"));
        QCOMPARE(sheet.cell("C5").number, 7.0);
        QCOMPARE(sheet.cell("D5").number, (200.0 - 7.0) / 7.0);
        QCOMPARE(sheet.cell("C6").number, 7.0); // the totals then
    } else if (workbook) {
        QVERIFY(sheet.cell("A1").text.contains(QStringLiteral("Chef de secteur : Secteur Nord – Agence : <Toutes>")));
        QVERIFY(sheet.cell("A1").text.endsWith(QStringLiteral("Fournisseur : Fournisseur Un")));
        QCOMPARE(sheet.cell("A4").text, shown.at(0));
        QCOMPARE(sheet.cell("A5").text, shown.at(1));
        QCOMPARE(sheet.cell("E4").number, 12.0);
        QCOMPARE(sheet.cell("E5").number, -50.0);
        // The totals line last: the facts of both agencies, each once.
        QCOMPARE(sheet.cell("A6").text, QStringLiteral("Total"));
        QCOMPARE(sheet.cell("E6").number, open.window.totals()->Marge);
        QVERIFY(!sheet.has("A7"));
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(QString::fromUtf8(bytes).endsWith(open.window.totals()->cells().join(QLatin1Char(';')) + "\r\n"));
        const QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
        QVERIFY(lines.at(1).startsWith(QStringLiteral("Agence de Brest;0,00;0,00;0,00;12,00;0,00%;")));
        QVERIFY(lines.at(2).startsWith(QStringLiteral("Agence d'Orléans;200,00;")));
    }

    // The next export proposes the same folder and format.
    clickButton(open.window.findChild<QPushButton *>("btnExporter"));
    QCOMPARE(dialogs.asked().size(), 2);
    QVERIFY(dialogs.asked().last().dir.startsWith(dir.path() + QLatin1Char('/')));
    QVERIFY(dialogs.asked().last().dir.endsWith(workbook ? QStringLiteral(".xlsx") : QStringLiteral(".csv")));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

void TestExtras::exportCancelledOrFailing()
{
    OpenedTable open(true);
    QVERIFY(open.opened);
    QTemporaryDir dir;
    ScriptedFileDialogs dialogs;
    auto *exporter = open.window.findChild<QPushButton *>("btnExporter");
    clickButton(exporter); // no answer: cancelled
    QCOMPARE(dialogs.asked().size(), 1);
    QVERIFY(open.boxes.shown().isEmpty());
    QVERIFY(QDir(dir.path()).isEmpty());

    dialogs.answerNext(dir.filePath(QStringLiteral("absent/tableau.xlsx")));
    clickButton(exporter);
    QCOMPARE(open.boxes.shown().size(), 1);
    QVERIFY(open.boxes.shown().first().errorDisplay);
    QVERIFY2(open.boxes.texts().first().contains(QStringLiteral("absent/tableau.xlsx")), qPrintable(open.boxes.texts().first()));
    QVERIFY(QDir(dir.path()).isEmpty());
    QCOMPARE(open.window.cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(firstColumn(open.table()).size(), 3);
}

void TestExtras::exportRefusesTargets_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    // The window adds .xlsx to a name without .xlsx or .csv: each of these
    // carries one.
    QTest::newRow("the database, through a link") << "database" << "est la base de données elle-même";
    QTest::newRow("a folder") << "folder" << "est un dossier";
    QTest::newRow("a named pipe") << "pipe" << "n'est pas un fichier ordinaire";
    QTest::newRow("a device, through a link") << "device" << "n'est pas un fichier ordinaire";
}

void TestExtras::exportRefusesTargets()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    OpenedTable open(true);
    QVERIFY(open.opened);
    if (kind == QLatin1String("database"))
        SKIP_ON_SERVER("the database is no file on a server");
    QTemporaryDir dir;
    const QString target = dir.filePath(kind == QLatin1String("pipe") ? QStringLiteral("tube.csv")
                                                                       : QStringLiteral("sortie.xlsx"));
    if (kind == QLatin1String("database"))
        QVERIFY(QFile::link(open.file.path(), target));
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(target));
    else if (kind == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
    else
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), target));
    const QByteArray database = TestDatabase::onServer() ? QByteArray() : readFile(open.file.path());
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

    ScriptedFileDialogs dialogs;
    dialogs.answerNext(target);
    clickButton(open.window.findChild<QPushButton *>("btnExporter"));
    QCOMPARE(open.boxes.shown().size(), 1);
    const Messages::Box box = open.boxes.shown().first();
    QVERIFY(!box.errorDisplay);
    QCOMPARE(box.icon, Messages::Icon::None);
    QVERIFY2(box.text.startsWith(target + QLatin1Char(' ')) && box.text.contains(message), qPrintable(box.text));

    // Nothing was written, nothing replaced.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), before);
    if (!database.isEmpty())
        QCOMPARE(readFile(open.file.path()), database);
    struct stat info;
    QCOMPARE(::lstat(QFile::encodeName(target).constData(), &info), 0);
    QVERIFY(kind == QLatin1String("folder") ? S_ISDIR(info.st_mode)
            : kind == QLatin1String("pipe") ? S_ISFIFO(info.st_mode)
                                            : S_ISLNK(info.st_mode));
    QCOMPARE(firstColumn(open.table()).size(), 3);
}

void TestExtras::trendEqualsMonthlyReports_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QStringList>("filters");
    QTest::newRow("levels") << "VEXOR" << QStringList{};
    QTest::newRow("levels, supplier") << "VEXOR" << QStringList{"--fournisseur", "F'2"};
    QTest::newRow("agencies of a level") << "VEXOR" << QStringList{"--niveau", "U1"};
    QTest::newRow("users of an agency") << "VEXOR" << QStringList{"--niveau", "U'2", "--agence", "A'2"};
    QTest::newRow("one user") << "VEXOR" << QStringList{"--niveau", "U1", "--agence", "A1", "--utilisateur", "U3"};
    QTest::newRow("own level") << "U'2" << QStringList{};
}

void TestExtras::trendEqualsMonthlyReports()
{
    QFETCH(QString, user);
    QFETCH(QStringList, filters);
    TestDatabase file;
    fillOrganisation(file);
    fillOlderMonths(file);
    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    const QStringList arguments = QStringList{file.path(), user} + filters;
    const DashboardSelection selection = HeadlessReport::resolve(db, HeadlessReport::parse(arguments));

    const QVector<Period> months = oldestFirst();
    const QVector<MonthTotals> trend = monthlyTotals(&db, selection, months);
    QCOMPARE(trend.size(), 13);
    double allAmounts = 0;
    for (int i = 0; i < 13; ++i) {
        QCOMPARE(trend.at(i).period.text, months.at(i).text);
        const ReportOutcome month = runReport(arguments + QStringList{"--format", "json", "--mois", months.at(i).text});
        QCOMPARE(month.status, 0);
        double ht = 0, marge = 0;
        qint64 devis = 0, commandes = 0;
        for (const QJsonValue &row : QJsonDocument::fromJson(month.out).array()) {
            const QJsonObject values = row.toObject()["valeurs"].toObject();
            ht += values["montant_ht"].toDouble();
            marge += values["marge"].toDouble();
            devis += values["nb_devis"].toInt();
            commandes += values["nb_commandes"].toInt();
        }
        QCOMPARE(trend.at(i).HT, ht);
        QCOMPARE(trend.at(i).Marge, marge);
        QCOMPARE(trend.at(i).NbDevis, devis);
        QCOMPARE(trend.at(i).NbCommandes, commandes);
        allAmounts += ht;
    }
    if (filters.isEmpty() && user == QLatin1String("VEXOR")) {
        // This month's level rows: 300.25 + 0 + 100.25; the shared agency
        // counts in both of its levels, as in the table.
        QCOMPARE(trend.last().HT, 400.5);
        QCOMPARE(trend.last().Marge, 34.0);
        QCOMPARE(trend.last().NbDevis, qint64(10));
        QCOMPARE(trend.last().NbCommandes, qint64(9));
        // Five months back: one level row per level of A'2; counts
        // truncated row by row: 7 + 2.5 -> 9 in each level.
        QCOMPARE(trend.at(7).HT, 200.0);
        QCOMPARE(trend.at(7).NbDevis, qint64(18));
        // Twelve months back is in the list; thirteen is not.
        QCOMPARE(trend.first().HT, 55.55);
        QVERIFY(allAmounts < 999);
    }
}

void TestExtras::trendWindow()
{
    OpenedTable open(true, QString(), [](TestDatabase &db) {
        fillOrganisation(db);
        fillOlderMonths(db);
    });
    TFicheTDB &window = open.window;
    QVERIFY(open.opened);
    QVERIFY(pickCodeWithMouse(open.combo("cblNiveau"), "U1"));
    const QStringList rowsBefore = firstColumn(open.table());
    const int activations = window.activation()->count();
    const QVector<MonthTotals> expected = monthlyTotals(&open.db, window.selection(), oldestFirst());

    QString title, upperTitle;
    QStringList months0, months1;
    QMap<QString, QList<qreal>> bars;     // by bar set
    QMap<QString, QList<QPointF>> lines; // by line series
    bool modal = false;
    QTimer poll;
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, &window, [&] {
        auto *chart = qobject_cast<TFicheTrend *>(QApplication::activeModalWidget());
        if (!chart)
            return;
        poll.stop();
        modal = chart->isModal();
        title = chart->windowTitle();
        upperTitle = chart->findChild<QChartView *>("Chart1")->chart()->title();
        QChart *upper = chart->findChild<QChartView *>("Chart1")->chart();
        QChart *lower = chart->findChild<QChartView *>("Chart2")->chart();
        for (QBarSet *set : qobject_cast<QBarSeries *>(upper->series().at(0))->barSets())
            for (int i = 0; i < set->count(); ++i)
                bars[set->label()] << set->at(i);
        months0 = qobject_cast<QBarCategoryAxis *>(upper->axes(Qt::Horizontal).at(0))->categories();
        months1 = qobject_cast<QBarCategoryAxis *>(lower->axes(Qt::Horizontal).at(0))->categories();
        for (QAbstractSeries *series : lower->series() + upper->series())
            if (auto *line = qobject_cast<QLineSeries *>(series))
                lines[line->name()] = line->points();
        chart->reject();
    });
    poll.start();
    clickButton(window.findChild<QPushButton *>("btnEvolution"));
    QVERIFY(modal);
    const QString filters = QStringLiteral(
        "Chef de secteur : Secteur Nord – Agence : <Toutes> – Utilisateur : <Tous> – Fournisseur : <Tous>");
    QCOMPARE(title, QStringLiteral("Évolution – ") + filters);
    QCOMPARE(upperTitle, QStringLiteral("Montant HT et marge – ") + filters.toHtmlEscaped());

    QStringList expectedMonths;
    for (const Period &period : oldestFirst())
        expectedMonths << period.text;
    QCOMPARE(months0, expectedMonths);
    QCOMPARE(months1, expectedMonths);
    const QList<qreal> amounts = bars.value("Montant HT"), margins = bars.value("Marge €");
    const QList<QPointF> quotes = lines.value("Nb Devis"), orders = lines.value("Nb Commandes");
    const QList<QPointF> amountsEarlier = lines.value("Montant HT N-1"), quotesEarlier = lines.value("Nb Devis N-1");
    QCOMPARE(amounts.size(), 13);
    QCOMPARE(margins.size(), 13);
    QCOMPARE(quotes.size(), 13);
    QCOMPARE(orders.size(), 13);
    for (int i = 0; i < 13; ++i) {
        QCOMPARE(amounts.at(i), expected.at(i).HT);
        QCOMPARE(margins.at(i), expected.at(i).Marge);
        QCOMPARE(quotes.at(i), QPointF(i, double(expected.at(i).NbDevis)));
        QCOMPARE(orders.at(i), QPointF(i, double(expected.at(i).NbCommandes)));
    }
    // The agencies of Secteur Nord this month: Orléans 200, Brest 100.25 + 0.
    QCOMPARE(amounts.last(), 300.25);
    // A year earlier, beside each month: Orléans 13 months ago (999, 99
    // quotes) beside last month, 12 months ago (55.55, 3) beside this one.
    QCOMPARE(amountsEarlier.size(), 13);
    QCOMPARE(amountsEarlier.at(12), QPointF(12, 55.55));
    QCOMPARE(amountsEarlier.at(11), QPointF(11, 999));
    QCOMPARE(quotesEarlier.at(11), QPointF(11, 99));
    QCOMPARE(amountsEarlier.at(0), QPointF(0, 0));

    // Closing the chart hands the focus back to the table (this platform
    // leaves that to the window manager), and leaves the table as it was.
    window.activateWindow();
    QTRY_COMPARE(QGuiApplication::focusWindow(), window.windowHandle());
    QTest::qWait(50);
    QCOMPARE(window.activation()->count(), activations);
    QCOMPARE(open.combo("cblNiveau")->currentText(), QStringLiteral("Secteur Nord"));
    QCOMPARE(firstColumn(open.table()), rowsBefore);
    QVERIFY(open.boxes.shown().isEmpty());
}

void TestExtras::reportWritesWorkbook()
{
    TestDatabase file;
    fillOrganisation(file);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("suivi.xlsx"));
    const ReportOutcome outcome = runReport({file.path(), "VEXOR", "--niveau", "U1", "--fournisseur", "F'2", "--format", "xlsx",
                                    "--sortie", path});
    QCOMPARE(outcome.err, QString());
    QCOMPARE(outcome.status, 0);
    QVERIFY(outcome.out.isEmpty());

    const XlsxSheet sheet = XlsxSheet::read(path);
    QVERIFY2(sheet.error.isEmpty(), qPrintable(sheet.error));
    QCOMPARE(sheet.cell("A1").text,
             QStringLiteral("Tableau de suivi – %1-%2 – Chef de secteur : Secteur Nord – Agence : <Toutes> – "
                            "Utilisateur : <Tous> – Fournisseur : Fournisseur d'Azur")
                 .arg(thisYear(), 4, 10, QLatin1Char('0'))
                 .arg(thisMonth(), 2, 10, QLatin1Char('0')));
    // The agencies of Secteur Nord with that supplier: Orléans has no
    // figure, Brest 100.25 (margin 30, -2.9 reminders, 4 quotes, 1 order).
    QCOMPARE(sheet.cells.size(), 1 + 10 + 2 * 10);
    QCOMPARE(sheet.cell("A4").text, QStringLiteral("Agence d'Orléans"));
    QCOMPARE(sheet.cell("B4").number, 0.0);
    QCOMPARE(sheet.cell("A5").text, QStringLiteral("Agence de Brest"));
    QCOMPARE(sheet.cell("B5").number, 100.25);
    QCOMPARE(sheet.cell("E5").number, 30.0);
    QCOMPARE(sheet.cell("G5").number, -2.0);
    QCOMPARE(sheet.cell("J5").number, 0.25);
    QCOMPARE(sheet.cell("J5").numberFormat, QStringLiteral("0.00%"));
}

void TestExtras::reportOutputFile()
{
    TestDatabase file;
    fillOrganisation(file);
    QTemporaryDir dir;

    const ReportOutcome noFile = runReport({file.path(), "VEXOR", "--format", "xlsx"});
    QCOMPARE(noFile.status, 2);
    QVERIFY(noFile.err.contains(QStringLiteral("--sortie")));
    QVERIFY(noFile.out.isEmpty());

    const QString csvPath = dir.filePath(QStringLiteral("suivi.csv"));
    const ReportOutcome csv = runReport({file.path(), "VEXOR", "--format", "csv", "--sortie", csvPath});
    QCOMPARE(csv.status, 0);
    QVERIFY(csv.out.isEmpty());
    const ReportOutcome stdoutCsv = runReport({file.path(), "VEXOR", "--format", "csv"});
    QFile written(csvPath);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), stdoutCsv.out);

    const ReportOutcome unwritable =
        runReport({file.path(), "VEXOR", "--format", "csv", "--sortie", dir.filePath(QStringLiteral("absent/x.csv"))});
    QCOMPARE(unwritable.status, 1);
    QVERIFY(unwritable.err.contains(QStringLiteral("absent/x.csv")));
}

QTEST_MAIN(TestExtras)
#include "tst_extras.moc"
