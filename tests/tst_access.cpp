// The windows as a screen reader reads them: through the accessibility tree
// of the real windows, every control says what it is for, and the totals
// line is read with the table.
#include "support/organisation.h"
#include "support/testsupport.h"
#include "support/windowdriver.h"

#include "app/tficheprincipale.h"
#include "levels/tficheparamniveau.h"
#include "levels/tficheparamniveauagence.h"

#include <QAccessible>
#include <QAccessibleInterface>
#include <QTreeWidget>
#include <QtTest>

namespace {

// What a screen reader announces a control by: its name, or, where the
// name is the control's value (a drop-down list on this platform), the text
// of the control that labels it.
QString announced(QAccessibleInterface *control)
{
    const auto labels = control->relations(QAccessible::Label);
    for (const auto &label : labels) {
        const QString text = label.first->text(QAccessible::Name).trimmed();
        if (!text.isEmpty())
            return text;
    }
    if (control->role() == QAccessible::ComboBox)
        return {};
    return control->text(QAccessible::Name).trimmed();
}

// Every control of the tree under `node` that a user operates and that
// announces nothing, by object name.
void unnamed(QAccessibleInterface *node, QStringList &out)
{
    static const QList<QAccessible::Role> operated = {
        QAccessible::ComboBox, QAccessible::EditableText, QAccessible::PushButton, QAccessible::Tree,
        QAccessible::Table,    QAccessible::List,
    };
    if (!node || node->state().invisible)
        return;
    if (operated.contains(node->role()) && announced(node).isEmpty())
        out << (node->object() ? node->object()->objectName() : QStringLiteral("?"));
    // The rows of a list are its own: their texts name them.
    if (node->role() == QAccessible::Tree || node->role() == QAccessible::Table || node->role() == QAccessible::List
        || node->role() == QAccessible::ComboBox)
        return;
    for (int i = 0; i < node->childCount(); ++i)
        unnamed(node->child(i), out);
}

} // namespace

class TestAccess : public QObject
{
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void everyControlSaysWhatItIsFor_data();
    void everyControlSaysWhatItIsFor();
};

void TestAccess::everyControlSaysWhatItIsFor_data()
{
    QTest::addColumn<QString>("window");
    QTest::newRow("main window") << "TFichePrincipale";
    QTest::newRow("tracking table") << "TFicheTDB";
    QTest::newRow("levels") << "TFicheParamNiveau";
    QTest::newRow("agencies of a level") << "TFicheParamNiveauAgence";
}

void TestAccess::everyControlSaysWhatItIsFor()
{
    QFETCH(QString, window);
    ProgramWindow made(window);
    if (auto *table = qobject_cast<TFicheTDB *>(made.window.get()))
        QVERIFY(openTrackingTable(*table, &made.db, true, QString()));
    QVERIFY(made.show());
    QTest::qWait(50);

    QAccessibleInterface *root = QAccessible::queryAccessibleInterface(made.window.get());
    QVERIFY(root);
    QVERIFY2(!root->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(window));
    QStringList missing;
    unnamed(root, missing);
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QLatin1Char(' '))));

    if (window == QLatin1String("TFicheTDB")) {
        // The totals line, painted inside the table's frame, is read with
        // the table: the total amount of the two linked agencies.
        QAccessibleInterface *table =
            QAccessible::queryAccessibleInterface(made.window->findChild<QTreeWidget *>(QStringLiteral("lvData")));
        const QString description = table->text(QAccessible::Description);
        QVERIFY2(description.startsWith(QStringLiteral("Total")), qPrintable(description));
        QVERIFY2(description.contains(QStringLiteral("Montant HT : 300.25")), qPrintable(description));
    }
    QVERIFY(made.boxes.shown().isEmpty());
}

QTEST_MAIN(TestAccess)
#include "tst_access.moc"
