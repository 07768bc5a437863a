// The start dialog of the desktop menu's entry: what is typed in it is what
// the program is started with, and what it offers the next time.
#include "tools/lanceur/launcher.h"
#include "ui/filedialogs.h"

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
        QTest::addColumn<QString>("database"); // typed, or chosen with "Parcourir…" when it starts with "?"
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("opening");  // click, double click, or held Enter (auto-repeated)
        QTest::addColumn<QStringList>("started"); // empty: nothing started

        QTest::newRow("file with spaces") << "/srv/bases/ventes 2026.db" << "U0153" << "click"
                                          << QStringList{"/srv/bases/ventes 2026.db", "U0153"};
        QTest::newRow("server, code between spaces, double click")
            << "postgresql://ventes@srv.example/orvalis" << " VEXOR " << "double click"
            << QStringList{"postgresql://ventes@srv.example/orvalis", "VEXOR"};
        QTest::newRow("file chosen, held Enter") << "?/srv/bases/ventes.db" << "U1" << "held Enter"
                                                 << QStringList{"/srv/bases/ventes.db", "U1"};
        QTest::newRow("no user code") << "/srv/bases/ventes.db" << "  " << "click" << QStringList{};
    }

    void startsTheProgramWithWhatWasTyped()
    {
        QFETCH(QString, database);
        QFETCH(QString, user);
        QFETCH(QString, opening);
        QFETCH(QStringList, started);
        QSettings(QStringLiteral("Orvalis"), QStringLiteral("lanceur")).clear();

        std::optional<QPair<QString, QStringList>> start;
        int starts = 0;
        Launcher launcher([&](const QString &program, const QStringList &arguments) {
            start.emplace(program, arguments);
            ++starts;
            return true;
        });
        launcher.show();
        QVERIFY(QTest::qWaitForWindowActive(&launcher));
        const auto button = [&launcher](const QString &text) {
            for (QPushButton *candidate : launcher.findChildren<QPushButton *>())
                if (candidate->text() == text)
                    return candidate;
            return static_cast<QPushButton *>(nullptr);
        };
        // As a user does: the database typed or chosen, Tab past its
        // chooser, the code.
        QLineEdit *databaseField = field(launcher, QStringLiteral("Base de données"));
        QTest::mouseClick(databaseField, Qt::LeftButton);
        if (database.startsWith(QLatin1Char('?'))) {
            const FileDialogs::Handler before = FileDialogs::setHandler(
                [&database](const FileDialogs::Request &) { return FileDialogs::Answer{database.mid(1), {}}; });
            QTest::mouseClick(button(QStringLiteral("&Parcourir…")), Qt::LeftButton);
            FileDialogs::setHandler(before);
            databaseField->setFocus();
        } else {
            QTest::keyClicks(databaseField, database);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), field(launcher, QStringLiteral("Code utilisateur")));
        QTest::keyClicks(QApplication::focusWidget(), user);
        QPushButton *open = button(QStringLiteral("&Ouvrir"));
        QVERIFY(open);
        if (opening == QLatin1String("double click")) {
            // Press, release, press, release, within the double-click time.
            QTest::mouseClick(open, Qt::LeftButton);
            QTest::mouseClick(open, Qt::LeftButton);
        } else if (opening == QLatin1String("held Enter")) {
            QWidget *focused = QApplication::focusWidget();
            for (int repeat = 0; repeat < 4; ++repeat)
                QTest::sendKeyEvent(QTest::KeyAction::Press, focused, Qt::Key_Return, '\r', Qt::NoModifier);
            QTest::sendKeyEvent(QTest::KeyAction::Release, focused, Qt::Key_Return, '\r', Qt::NoModifier);
        } else {
            QTest::mouseClick(open, Qt::LeftButton);
        }

        if (started.isEmpty()) {
            QVERIFY(!start);
            QVERIFY(launcher.isVisible());
            return;
        }
        QCOMPARE(starts, 1);
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
