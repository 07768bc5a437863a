#include "windowdriver.h"

#include "app/activation.h"
#include "dashboard/tfichetdb.h"
#include "store/tobjectcode.h"

#include <QComboBox>
#include <QTest>
#include <QTreeWidget>

QStringList comboTexts(const QComboBox *combo)
{
    QStringList out;
    for (int i = 0; i < combo->count(); ++i)
        out << combo->itemText(i);
    return out;
}

QList<QStringList> tableRows(const QTreeWidget *table)
{
    QList<QStringList> out;
    for (int r = 0; r < table->topLevelItemCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < table->columnCount(); ++c)
            cells << table->topLevelItem(r)->text(c);
        out << cells;
    }
    return out;
}

QStringList firstColumn(const QTreeWidget *table)
{
    QStringList out;
    for (const QStringList &row : tableRows(table))
        out << row.first();
    return out;
}

QStringList joinedRows(const QTreeWidget *table)
{
    QStringList out;
    for (const QStringList &row : tableRows(table))
        out << row.join(QLatin1Char('|'));
    return out;
}

int indexOfCode(const QComboBox *combo, const QString &code)
{
    for (int i = 0; i < combo->count(); ++i)
        if (GetItemCode(combo, i) == code)
            return i;
    return -1;
}

void chooseIndex(QComboBox *combo, int index)
{
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

bool chooseCode(QComboBox *combo, const QString &code)
{
    const int index = indexOfCode(combo, code);
    if (index < 0)
        return false;
    chooseIndex(combo, index);
    return true;
}

bool openTrackingTable(TFicheTDB &window, TABSDatabase *db, bool admin, const QString &user)
{
    window.SetDatabase(db);
    window.SetAdmin(admin);
    window.SetUser(user);
    window.show();
    return QTest::qWaitFor([&window] { return window.activation()->count() >= 1; });
}

OpenedTable::OpenedTable(bool admin, const QString &user, const std::function<void(TestDatabase &)> &fill)
{
    fill(file);
    db.SetDatabaseFileName(file.path());
    opened = openTrackingTable(window, &db, admin, user);
}

QTreeWidget *OpenedTable::table() const
{
    return window.findChild<QTreeWidget *>(QStringLiteral("lvData"));
}

QComboBox *OpenedTable::combo(const char *name) const
{
    return window.findChild<QComboBox *>(QLatin1String(name));
}
