// The tracking table on paper and in PDF files: pages, captions on every
// page, the rows in the order shown, page numbers; read back with poppler's
// pdftotext and pdfinfo.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "ui/activation.h"
#include "ui/filedialogs.h"
#include "dashboard/tableprint.h"
#include "dashboard/tfichetdb.h"

#include <QHeaderView>
#include <QComboBox>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTreeWidget>
#include <QtTest>

namespace {

// The text of each page of a PDF file, as pdftotext lays it out.
QStringList pdfPages(const QString &path)
{
    QProcess process;
    process.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")});
    process.waitForFinished(30000);
    QStringList pages = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\f'));
    if (!pages.isEmpty() && pages.last().trimmed().isEmpty())
        pages.removeLast();
    return pages;
}

QString pdfInfo(const QString &path, const QString &key)
{
    QProcess process;
    process.start(QStringLiteral("pdfinfo"), {path});
    process.waitForFinished(30000);
    for (const QString &line : QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n')))
        if (line.startsWith(key + QLatin1Char(':')))
            return line.mid(key.size() + 1).trimmed();
    return QString();
}

bool haveReaders()
{
    return !QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()
        && !QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty();
}

// The labels of the rows, in the order the pages show them.
QStringList labelsIn(const QStringList &pages, const QStringList &known)
{
    QStringList out;
    for (const QString &page : pages)
        for (const QString &line : page.split(QLatin1Char('\n')))
            for (const QString &label : known)
                if (line.trimmed().startsWith(label + QLatin1Char(' ')))
                    out << label;
    return out;
}

DashboardRow row(const QString &label, double ht)
{
    AccountSums sums;
    sums.ht = ht;
    sums.tva = ht / 5;
    sums.marge = ht / 4;
    sums.devis = 3;
    sums.commandes = 2;
    return DashboardRow::from(label, label, sums);
}

} // namespace

class TestPrint : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void pages_data();
    void pages();
    void windowPrintsWhatItShows();
    void longTextsKeepEveryFigure_data();
    void longTextsKeepEveryFigure();
};

void TestPrint::pages_data()
{
    QTest::addColumn<int>("rows");
    QTest::newRow("three rows") << 3;
    QTest::newRow("a page and more") << 40;
    QTest::newRow("several pages") << 95;
}

// A4 landscape; the title and the captions on every page; every row once,
// in order; "Page i sur N" at the foot of each page.
void TestPrint::pages()
{
    QFETCH(int, rows);
    if (!haveReaders())
        QSKIP("pdftotext and pdfinfo (poppler-utils) are needed");
    TablePrint::Document document;
    document.title.year = 2026;
    document.title.month = 3;
    document.title.level = QStringLiteral("Secteur Nord");
    QStringList labels;
    for (int i = 0; i < rows; ++i) {
        labels << QStringLiteral("Agence n°%1").arg(i + 1, 3, 10, QLatin1Char('0'));
        document.rows << row(labels.last(), 1000.5 * (i + 1));
    }
    AccountSums all;
    all.ht = 123456789.5;
    document.totals = DashboardRow::from(QString(), QStringLiteral("Total"), all);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tableau.pdf"));
    writeFile(path, TablePrint::pdf(document));

    QCOMPARE(pdfInfo(path, QStringLiteral("Page size")), QStringLiteral("842 x 595 pts (A4)"));
    const QStringList pages = pdfPages(path);
    QVERIFY(rows < 30 ? pages.size() == 1 : pages.size() >= 2);
    QCOMPARE(pdfInfo(path, QStringLiteral("Pages")), QString::number(pages.size()));
    for (int p = 0; p < pages.size(); ++p) {
        QVERIFY2(pages.at(p).contains(QStringLiteral("Tableau de suivi – 2026-03 – Chef de secteur : Secteur Nord")),
                 qPrintable(pages.at(p).left(200)));
        QVERIFY(pages.at(p).contains(QStringLiteral("Niveau")));
        QVERIFY(pages.at(p).contains(QStringLiteral("Transformation %")));
        QVERIFY2(pages.at(p).contains(QStringLiteral("Page %1 sur %2").arg(p + 1).arg(pages.size())),
                 qPrintable(pages.at(p).right(200)));
    }
    QCOMPARE(labelsIn(pages, labels + QStringList{"Total"}), labels + QStringList{"Total"});
    // The figures as the table shows them; the totals line after the last
    // row, on the last page.
    QVERIFY(pages.constLast().contains(document.rows.constLast().cells().at(1)));
    QVERIFY(pages.constLast().contains(QStringLiteral("123456789.50")));
    QVERIFY(pages.constLast().indexOf(QStringLiteral("Total ")) > pages.constLast().indexOf(labels.constLast()));
}

// The window's "Imprimer…" prints what the table shows, in the order shown
// (here sorted by a column), with its title.
void TestPrint::windowPrintsWhatItShows()
{
    if (!haveReaders())
        QSKIP("pdftotext and pdfinfo (poppler-utils) are needed");
    OpenedTable open(true);
    QVERIFY(open.opened);
    QVERIFY(pickCodeWithMouse(open.combo("cblNiveau"), "U1"));
    clickHeader(open.table(), 4);
    clickHeader(open.table(), 4); // the largest margin first
    const QStringList shown = firstColumn(open.table());
    QCOMPARE(shown, (QStringList{"Agence de Brest", "Agence d'Orléans"}));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("impression.pdf"));
    int asked = 0;
    QString job;
    FileDialogs::setPrinterHandler([&](QPrinter &printer) {
        ++asked;
        job = printer.docName();
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(path);
        return true;
    });
    const int activations = open.window.activation()->count();
    clickButton(open.window.findChild<QPushButton *>(QStringLiteral("btnImprimer")));
    FileDialogs::setPrinterHandler({});
    QCOMPARE(asked, 1);
    // The dialog proposes a file named after the job: a name any system takes.
    QCOMPARE(job, QStringLiteral("Tableau de suivi ") + open.combo("cblPeriode")->currentText());
    QVERIFY(open.boxes.shown().isEmpty());
    QCOMPARE(open.window.activation()->count(), activations);

    const QStringList pages = pdfPages(path);
    QCOMPARE(pages.size(), 1);
    QVERIFY(pages.first().contains(QStringLiteral("Chef de secteur : Secteur Nord – Agence : <Toutes>")));
    QCOMPARE(labelsIn(pages, shown + QStringList{"Total"}), shown + QStringList{"Total"});
    QVERIFY(pages.first().contains(QStringLiteral("Page 1 sur 1")));
    QVERIFY(pages.first().contains(open.window.totals()->cells().at(1)));
}

void TestPrint::longTextsKeepEveryFigure_data()
{
    QTest::addColumn<int>("labelLength");
    QTest::addColumn<bool>("longFilters"); // a level, an agency and a supplier of long names chosen
    QTest::newRow("a level label of 250 characters") << 250 << false;
    QTest::newRow("a level label of 300 characters") << 300 << false;
    QTest::newRow("every filter chosen, long names") << 20 << true;
}

// Labels and filter names of any length: every figure on the page, the
// long label cut with "…", the title line whole.
void TestPrint::longTextsKeepEveryFigure()
{
    QFETCH(int, labelLength);
    QFETCH(bool, longFilters);
    if (!haveReaders())
        QSKIP("pdftotext and pdfinfo (poppler-utils) are needed");
    const QString label = QStringLiteral("Secteur Nord ").repeated(30).left(labelLength);
    TablePrint::Document document;
    document.title.year = 2026;
    document.title.month = 3;
    if (longFilters) {
        document.title.level = QStringLiteral("Secteur Bourgogne-Franche-Comté, Centre-Val de Loire et Auvergne");
        document.title.agency = QStringLiteral("Agence de Saint-Rémy-de-Provence-les-Bains et de la vallée des Baux");
        document.title.supplier = QStringLiteral("Matériaux et fournitures du bâtiment du Grand Ouest");
    }
    document.rows << row(label, 123456.78) << row(QStringLiteral("Secteur Sud"), 2500);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tableau.pdf"));
    writeFile(path, TablePrint::pdf(document));

    const QStringList pages = pdfPages(path);
    QCOMPARE(pages.size(), 1);
    const auto squeezed = [](QString text) { return text.remove(QRegularExpression(QStringLiteral("\\s"))); };
    const QString page = squeezed(pages.first());
    QVERIFY2(page.contains(squeezed(document.title.text())), qPrintable(pages.first()));
    QVERIFY2(page.contains(squeezed(dashboardCaptions().join(QString()))), qPrintable(pages.first()));
    // The long label, cut where it must be, then its nine figures.
    const QStringList cells = document.rows.first().cells();
    const QString head = label.left(qMin(labelLength, 20));
    QVERIFY2(page.contains(squeezed(head)), qPrintable(pages.first()));
    const QString figures = squeezed(cells.mid(1).join(QString()));
    QVERIFY2(page.contains(figures), qPrintable(pages.first()));
    QCOMPARE(page.contains(QChar(0x2026) + figures), labelLength > 100);
}

QTEST_MAIN(TestPrint)
#include "tst_print.moc"
