// Another process writes the fact table while the tracking table refreshes:
// no error reaches the user, and every refresh shows the figures of one
// committed state, never a state in between.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "ui/activation.h"
#include "dashboard/tfichetdb.h"
#include "store/dberror.h"
#include "store/tabsquery.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTreeWidget>
#include <QtTest>

namespace {

using Table = QList<QStringList>;

// Two levels sharing an agency, three agencies, figures this month and
// the month before. Every value is a multiple of a quarter: sums of them
// are exact in any order, so a value and its opposite added by another
// process leave every figure exactly as it was.
void fill(TestDatabase &db)
{
    for (int i = 1; i <= 4; ++i)
        db.addUser(QStringLiteral("U%1").arg(i), QStringLiteral("Utilisateur %1").arg(i));
    db.addLevel(QStringLiteral("U1"), QStringLiteral("Secteur Nord"));
    db.addLevel(QStringLiteral("U2"), QStringLiteral("Secteur Sud"));
    for (int i = 1; i <= 3; ++i)
        db.addAgency(QStringLiteral("A%1").arg(i), QStringLiteral("Agence %1").arg(i));
    db.link(QStringLiteral("U1"), QStringLiteral("A1"));
    db.link(QStringLiteral("U1"), QStringLiteral("A2"));
    db.link(QStringLiteral("U2"), QStringLiteral("A2"));
    db.link(QStringLiteral("U2"), QStringLiteral("A3"));
    db.addSupplier(QStringLiteral("F1"), QStringLiteral("Fournisseur 1"));
    db.addSupplier(QStringLiteral("F2"), QStringLiteral("Fournisseur 2"));
    const QDate before = QDate(thisYear(), thisMonth(), 1).addMonths(-1);
    db.exec(QStringLiteral("BEGIN"));
    for (int i = 0; i < 12; ++i) {
        const QString agency = QStringLiteral("A%1").arg(1 + i % 3);
        const QString user = QStringLiteral("U%1").arg(1 + i % 4);
        const QString supplier = QStringLiteral("F%1").arg(1 + i % 2);
        addFigures(db, thisYear(), thisMonth(), agency, user, supplier, 1000.25 * (i + 1), 200.5 * (i + 1),
                   150.75 * (i + 1) - 400, 1 + i % 3, 2 + i % 4, 1 + i % 2);
        addFigures(db, before.year(), before.month(), agency, user, supplier, 10, 2, 1, 1, 1, 1);
    }
    db.exec(QStringLiteral("COMMIT"));
}

// The helper process that writes.
class Writer
{
public:
    explicit Writer(const QStringList &arguments)
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(QStringLiteral(ORVALIS_TEST_WRITER), arguments);
    }
    ~Writer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Waits for a line of its output.
    bool waitFor(const QString &line, int milliseconds = 30000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_output.contains(line + QLatin1Char('\n'))) {
            if (timer.elapsed() > milliseconds || m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(100);
            m_output += QString::fromUtf8(m_process.readAllStandardOutput());
        }
        return true;
    }

    bool finish()
    {
        if (m_process.state() != QProcess::NotRunning)
            m_process.waitForFinished(30000);
        m_output += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_process.state() == QProcess::NotRunning && m_process.exitStatus() == QProcess::NormalExit
            && m_process.exitCode() == 0;
    }

    QString output() const { return m_output; }
    QString errors() { return QString::fromUtf8(m_process.readAllStandardError()); }

private:
    QProcess m_process;
    QString m_output;
};

// The tracking table of an administrator, shown on a test's database.
struct Dashboard
{
    Dashboard(const QString &database, int busyTimeoutMs)
    {
        db.SetDatabaseFileName(database);
        db.setBusyTimeout(busyTimeoutMs);
        window.SetDatabase(&db);
        window.SetAdmin(true);
        window.show();
    }
    bool opened() const
    {
        return QTest::qWaitFor([this] { return window.activation()->count() == 1; });
    }
    Table rows() const { return tableRows(window.findChild<QTreeWidget *>("lvData")); }
    QComboBox *list(const char *name) const { return window.findChild<QComboBox *>(name); }

    TABSDatabase db;
    TFicheTDB window{nullptr};
};

QString monthArg(bool year)
{
    return QString::number(year ? thisYear() : thisMonth());
}

} // namespace

class TestConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void concurrentWriter_data();
    void concurrentWriter();
    void lockedWriter_data();
    void lockedWriter();
    void busyAtFirstUse();
};

void TestConcurrency::concurrentWriter_data()
{
    QTest::addColumn<QString>("mode");
    // Each transaction adds a value and its opposite to the same figure:
    // every committed state shows the same table.
    QTest::newRow("balanced") << "balanced";
    // Each transaction moves an amount from one level's agency to the
    // other's: the rows change, their sum does not, unless a refresh reads
    // its rows in different states.
    QTest::newRow("moving") << "moving";
}

void TestConcurrency::concurrentWriter()
{
    QFETCH(QString, mode);
    const bool moving = mode == QLatin1String("moving");
    TestDatabase file;
    fill(file);
    const qint64 factsBefore = file.scalar(QStringLiteral("SELECT count(*) FROM data")).toLongLong();
    file.closeConnection();
    ScriptedMessages boxes;
    Dashboard dashboard(file.path(), TABSDatabase::BusyTimeoutMs);
    QVERIFY(dashboard.opened());
    auto *levels = dashboard.list("cblNiveau");
    auto *suppliers = dashboard.list("cblFournisseur");

    // The two views refreshed below, before anybody writes: the levels,
    // and the agencies of the first level.
    const Table levelRows = dashboard.rows();
    QCOMPARE(levelRows.size(), 2);
    QVERIFY(pickWithKeys(levels, 1));
    const Table agencyRows = dashboard.rows();
    QCOMPARE(agencyRows.size(), 2);
    QVERIFY(pickWithKeys(levels, 0));
    QVERIFY(boxes.shown().isEmpty());

    QTemporaryDir scratch;
    const QString stop = scratch.filePath(QStringLiteral("stop"));
    Writer writer({mode, file.path(), stop, monthArg(true), monthArg(false)});
    QVERIFY2(writer.waitFor(QStringLiteral("started")), qPrintable(writer.errors()));

    // Refreshes as the user asks for them: the supplier list again and
    // again, now and then the agencies of the first level.
    int refreshes = 0;
    int changed = 0;
    // At least 300 refreshes, and long enough for the writer to commit
    // many times between them, however fast a refresh is.
    QElapsedTimer running;
    running.start();
    for (int i = 0; i < 300 || running.elapsed() < 3000; ++i) {
        const bool agencies = !moving && i % 50 == 25;
        if (agencies)
            QVERIFY(pickWithKeys(levels, 1));
        else
            QVERIFY(pickWithKeys(suppliers, 0));
        ++refreshes;
        const Table shown = dashboard.rows();
        if (!moving) {
            QCOMPARE(shown, agencies ? agencyRows : levelRows);
        } else {
            // Amount, tax, amount with tax, margin: the two levels share
            // no agency the writer touches.
            QCOMPARE(shown.size(), 2);
            for (int column = 1; column <= 4; ++column)
                QCOMPARE(shown[0][column].toDouble() + shown[1][column].toDouble(),
                         levelRows[0][column].toDouble() + levelRows[1][column].toDouble());
            changed += shown != levelRows;
        }
        if (agencies)
            QVERIFY(pickWithKeys(levels, 0));
    }
    QVERIFY(refreshes >= 200);
    QCOMPARE(boxes.texts(), QStringList());
    // The moves were seen: the check above had something to check.
    QVERIFY(!moving || changed > refreshes / 2);

    QFile(stop).open(QIODevice::WriteOnly);
    QVERIFY2(writer.finish(), qPrintable(writer.output() + writer.errors()));
    const QRegularExpressionMatch commits = QRegularExpression(QStringLiteral("commits (\\d+)")).match(writer.output());
    QVERIFY(commits.hasMatch());
    // The writer really wrote between the refreshes, and every one of its
    // transactions was kept.
    const qint64 committed = commits.captured(1).toLongLong();
    QVERIFY2(committed >= 20, qPrintable(writer.output()));
    QCOMPARE(file.scalar(QStringLiteral("SELECT count(*) FROM data")).toLongLong(), factsBefore + 2 * committed);
    QVERIFY(pickWithKeys(suppliers, 0));
    if (!moving)
        QCOMPARE(dashboard.rows(), levelRows);
    QCOMPARE(boxes.texts(), QStringList());
}

void TestConcurrency::lockedWriter_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("waits");

    // The lock goes before the timeout: the refresh waits, then shows the
    // figures of one committed state.
    QTest::newRow("waits, then shows") << 2000 << 10000 << true;
    // The lock outlasts the timeout: a clear message, and no figures.
    QTest::newRow("waits too long") << 3000 << 500 << false;
}

void TestConcurrency::lockedWriter()
{
    QFETCH(int, holdMs);
    QFETCH(int, timeoutMs);
    QFETCH(bool, waits);

    TestDatabase file;
    fill(file);
    file.closeConnection();
    ScriptedMessages boxes;
    Dashboard dashboard(file.path(), timeoutMs);
    QVERIFY(dashboard.opened());
    auto *suppliers = dashboard.list("cblFournisseur");
    const Table before = dashboard.rows();
    // A server's figures stay read while nothing is committed; a commit
    // elsewhere, as the filling process makes them, has the refresh read
    // again, and so meet the lock.
    if (TestDatabase::onServer())
        file.exec(QStringLiteral("CREATE TEMPORARY TABLE commit_elsewhere (x integer)"));

    Writer writer({QStringLiteral("hold"), file.path(), QString::number(holdMs), monthArg(true), monthArg(false)});
    QVERIFY2(writer.waitFor(QStringLiteral("locked")), qPrintable(writer.errors()));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(pickWithKeys(suppliers, 0));
    const qint64 waited = timer.elapsed();
    const Table shown = dashboard.rows();
    QVERIFY2(writer.finish(), qPrintable(writer.output() + writer.errors()));
    QVERIFY(writer.output().contains(QStringLiteral("committed")));

    QVERIFY(pickWithKeys(suppliers, 0));
    const Table after = dashboard.rows();
    QVERIFY(after != before);
    QCOMPARE(boxes.texts().size(), waits ? 0 : 1);

    if (waits) {
        // It waited for the lock, then read the state before the write
        // (a server's snapshot may begin before the lock was taken) or
        // after it, whole.
        QVERIFY2(waited >= holdMs / 2, qPrintable(QString::number(waited)));
        QVERIFY(shown == before || shown == after);
        if (!TestDatabase::onServer())
            QCOMPARE(shown, after);
    } else {
        QVERIFY2(waited >= timeoutMs && waited < holdMs, qPrintable(QString::number(waited)));
        // The message's text: busyAtFirstUse.
        QVERIFY(boxes.shown().first().errorDisplay);
        QVERIFY(boxes.shown().first().text.startsWith(QStringLiteral("La base de données est occupée")));
        QCOMPARE(shown, Table());
    }
    QCOMPARE(dashboard.window.cursor().shape(), Qt::ArrowCursor);
    QVERIFY(!dashboard.db.inTransaction());
}

// Another program holds the file when the program first opens it: the file
// is busy, not unusable.
void TestConcurrency::busyAtFirstUse()
{
    TestDatabase file;
    fill(file);
    file.closeConnection();
    Writer writer({QStringLiteral("hold"), file.path(), QStringLiteral("3000"), monthArg(true), monthArg(false)});
    QVERIFY2(writer.waitFor(QStringLiteral("locked")), qPrintable(writer.errors()));

    TABSDatabase db;
    db.SetDatabaseFileName(file.path());
    db.setBusyTimeout(500);
    TABSQuery query(&db);
    query.SQL().append(QStringLiteral("SELECT count(*) AS n FROM data"));
    QString message;
    try {
        query.Open();
    } catch (const EDatabaseError &e) {
        message = e.message();
    }
    QVERIFY2(writer.finish(), qPrintable(writer.output() + writer.errors()));
    QVERIFY2(message.startsWith(QStringLiteral("La base de données est occupée par une autre opération depuis plus "
                                               "de 0,5 s : réessayez dans un instant. (")),
             qPrintable(message));
    if (!TestDatabase::onServer())
        QVERIFY2(message.endsWith(QStringLiteral("(database is locked)")), qPrintable(message));
    QVERIFY(!message.contains(QStringLiteral("utilisable")));
    // Once the other program is done, the same connection object works.
    query.Open();
    QVERIFY(!query.Eof());
}

QTEST_MAIN(TestConcurrency)
#include "tst_concurrency.moc"
