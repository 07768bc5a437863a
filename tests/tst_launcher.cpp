// The start dialog of the desktop menu's entry: what is typed in it is what
// the program is started with, and what it offers the next time.
#include "tools/lanceur/launcher.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

class TestLauncher : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settings;

    static QLineEdit *field(const Launcher &launcher, const QString &name)
    {
        for (QLineEdit *edit : launcher.findChildren<QLineEdit *>())
            if (edit->accessibleName() == name)
                return edit;
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        // The choices are remembered in a folder of the test's own.
        QVERIFY(m_settings.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
    }

    void startsTheProgramWithWhatWasTyped_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QStringList>("started"); // empty: nothing started

        QTest::newRow("file with spaces") << "/srv/bases/ventes 2026.db" << "U0153"
                                          << QStringList{"/srv/bases/ventes 2026.db", "U0153"};
        QTest::newRow("server, code between spaces") << "postgresql://ventes@srv.example/orvalis" << " VEXOR "
                                                     << QStringList{"postgresql://ventes@srv.example/orvalis", "VEXOR"};
        QTest::newRow("no user code") << "/srv/bases/ventes.db" << "  " << QStringList{};
    }

    void startsTheProgramWithWhatWasTyped()
    {
        QFETCH(QString, database);
        QFETCH(QString, user);
        QFETCH(QStringList, started);
        QSettings(QStringLiteral("Orvalis"), QStringLiteral("lanceur")).clear();

        std::optional<QPair<QString, QStringList>> start;
        Launcher launcher([&](const QString &program, const QStringList &arguments) {
            start.emplace(program, arguments);
            return true;
        });
        launcher.show();
        QVERIFY(QTest::qWaitForWindowActive(&launcher));
        // Typed as a user does: the database, Tab past its chooser, the code.
        QLineEdit *databaseField = field(launcher, QStringLiteral("Base de données"));
        QTest::mouseClick(databaseField, Qt::LeftButton);
        QTest::keyClicks(databaseField, database);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), field(launcher, QStringLiteral("Code utilisateur")));
        QTest::keyClicks(QApplication::focusWidget(), user);
        QPushButton *open = nullptr;
        for (QPushButton *button : launcher.findChildren<QPushButton *>())
            if (button->text() == QStringLiteral("&Ouvrir"))
                open = button;
        QVERIFY(open);
        QTest::mouseClick(open, Qt::LeftButton);

        if (started.isEmpty()) {
            QVERIFY(!start);
            QVERIFY(launcher.isVisible());
            return;
        }
        QVERIFY(start);
        QCOMPARE(start->first, QApplication::applicationDirPath() + QStringLiteral("/orvalis"));
        QCOMPARE(start->second, started);
        QVERIFY(!launcher.isVisible());
        // Offered again the next time.
        const Launcher next([](const QString &, const QStringList &) { return true; });
        QCOMPARE(field(next, QStringLiteral("Base de données"))->text(), started.at(0));
        QCOMPARE(field(next, QStringLiteral("Code utilisateur"))->text(), started.at(1));
    }
};

QTEST_MAIN(TestLauncher)
#include "tst_launcher.moc"
