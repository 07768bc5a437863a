#pragma once

#include "organisation.h"

#include "dashboard/tfichetdb.h"
#include "store/tabsdatabase.h"
#include "testsupport.h"

#include <QList>
#include <QStringList>

#include <functional>

class QComboBox;
class QTreeWidget;
class TABSDatabase;
class TFicheTDB;

// Drives the windows as a user would and reads what they show.

QStringList comboTexts(const QComboBox *combo);
// The cells of every row, in the order shown.
QList<QStringList> tableRows(const QTreeWidget *table);
QStringList firstColumn(const QTreeWidget *table);
// Each row as its cells joined by '|'.
QStringList joinedRows(const QTreeWidget *table);
// The index of the entry carrying `code`, or -1.
int indexOfCode(const QComboBox *combo, const QString &code);
// Chooses the entry at `index` as the user does (the change handler runs).
void chooseIndex(QComboBox *combo, int index);
// Chooses the entry carrying `code`; false when there is none.
bool chooseCode(QComboBox *combo, const QString &code);

// Sets the tracking table up as the main window does and shows it; true
// once its first activation has run.
bool openTrackingTable(TFicheTDB &window, TABSDatabase *db, bool admin, const QString &user = QString());

// A database filled by `fill` (by default the small organisation of
// organisation.h) and its tracking table, opened as the main window opens it.
struct OpenedTable
{
    explicit OpenedTable(bool admin, const QString &user = QString(),
                         const std::function<void(TestDatabase &)> &fill = fillOrganisation);
    QTreeWidget *table() const;
    QComboBox *combo(const char *name) const;

    TestDatabase file;
    TABSDatabase db;
    ScriptedMessages boxes;
    TFicheTDB window{nullptr};
    bool opened = false;
};
