#pragma once

#include "organisation.h"

#include "dashboard/tfichetdb.h"
#include "store/tabsdatabase.h"
#include "testsupport.h"

#include <QList>
#include <QPoint>
#include <QStringList>

#include <functional>
#include <memory>

class QAbstractButton;
class QColor;
class QComboBox;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TABSDatabase;
class TFicheTDB;

// Drives the windows as a user would, through the real input path (mouse
// clicks on the opened list of a drop-down, keys, button clicks), and reads
// what they show.

QStringList comboTexts(const QComboBox *combo);
// The cells of every row, in the order shown.
QList<QStringList> tableRows(const QTreeWidget *table);
QStringList firstColumn(const QTreeWidget *table);
// Each row as its cells joined by '|'.
QStringList joinedRows(const QTreeWidget *table);
// The index of the entry carrying `code`, or -1.
int indexOfCode(const QComboBox *combo, const QString &code);
// Opens the list of `combo` with a mouse click, clicks the entry at `index`
// in the opened list, and waits until the focus is back on the window.
// False (with a warning saying why) when the list did not open or close.
bool pickWithMouse(QComboBox *combo, int index);
// The same with the keyboard: Alt+Down opens the list, the arrow keys move
// to the entry, Return chooses it.
bool pickWithKeys(QComboBox *combo, int index);
// Picks the entry carrying `code` with the mouse; false when there is none.
bool pickCodeWithMouse(QComboBox *combo, const QString &code);
// Opens the list with the mouse and closes it with Escape.
bool openAndEscape(QComboBox *combo);
// Clicks `widget` at `at` (in its own coordinates), through the platform
// window that holds it.
void clickAt(QWidget *widget, QPoint at, Qt::MouseButton button = Qt::LeftButton);
// Gives `widget` the keyboard focus (as Tab would) and presses `key` there,
// through the platform window that has the focus.
void pressKey(QWidget *widget, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
// Clicks a button with the mouse.
void clickButton(QAbstractButton *button);
// Clicks the caption of a column of a table (it sorts by that column).
void clickHeader(QTreeWidget *table, int column);
// Clicks a row of a list with the mouse (it becomes the selection).
void clickRow(QTreeWidget *list, QTreeWidgetItem *row);
// Double-clicks a row of a list with the mouse.
void doubleClickRow(QTreeWidget *list, QTreeWidgetItem *row);
// Clicks into a line edit, selects what it holds and types `text` over it.
void typeInto(QLineEdit *edit, const QString &text);
// Lets the events that follow a user's action arrive (focus changes, the
// platform's answers), so that what they would do has happened.
void settle(QWidget *window);

// Sets the tracking table up as the main window does and shows it; true
// once its first activation has run.
bool openTrackingTable(TFicheTDB &window, TABSDatabase *db, bool admin, const QString &user = QString());

// The contrast ratio of two colours as readers of a screen perceive it:
// 1 (the same) to 21 (black on white); 4.5 reads as ordinary text.
double contrastRatio(const QColor &one, const QColor &other);

// One of the program's windows by its class name ("TFichePrincipale",
// "TFicheTDB", "TFicheParamNiveau", "TFicheParamNiveauAgence") on a
// database of the small organisation, set up as the main window sets it up
// for an administrator; not shown.
struct ProgramWindow
{
    explicit ProgramWindow(const QString &className);
    // Shows the window and waits until it is drawn.
    bool show();

    TestDatabase file;
    TABSDatabase db;
    ScriptedMessages boxes;
    std::unique_ptr<QWidget> window;
};

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
