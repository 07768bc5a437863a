#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QComboBox;
class QTreeWidget;
class QWidget;
class TABSDatabase;
class TABSQuery;

// What the two level administration windows share to run their statements
// and fill their lists.
namespace LevelLists {

// Runs a reading statement on a new query and hands each row to `row`.
void ReadRows(TABSDatabase *database, const QString &sql, const std::function<void(const TABSQuery &)> &row);
// Runs a changing statement on a new query.
void ExecStatement(TABSDatabase *database, const QString &sql);
// Empties `combo`, fills it with the `libelle` of every row of `sql`, each
// entry carrying the row's `code`, and selects the first entry, if any.
void FillCodeCombo(QComboBox *combo, TABSDatabase *database, const QString &sql);
// Appends to `list` one row per row of `sql`: its cells are the `columns`
// read by name, and the row carries the `code` column. No row is selected
// afterwards.
void AppendCodeRows(QTreeWidget *list, TABSDatabase *database, const QString &sql, const QStringList &columns);
// Binds a new query to the database, raising an error when there is none.
void BindQuery(TABSQuery &query, TABSDatabase *database);

// The code carried by the selected row of `list`. When no row is selected,
// tells the user so (no statement is run) and returns nothing.
std::optional<QString> SelectedRowCode(QWidget *window, const QTreeWidget *list);

} // namespace LevelLists
