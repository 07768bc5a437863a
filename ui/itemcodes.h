#pragma once

#include "store/tobjectcode.h"

#include <QString>

class QComboBox;
class QTreeWidgetItem;

// What the windows' lists do with the code holders: every entry filled from
// a database row carries its row's code (TObjectCode) as its item data.

// Appends an entry showing `text` that carries `code`.
void AddComboItem(QComboBox *combo, const QString &text, const QString &code);
// Appends an entry without a holder (a placeholder such as "<Tous>").
void AddComboPlaceholder(QComboBox *combo, const QString &text);
// The code of the entry at `index`; the empty text for an index below 0 or
// an entry that carries no holder.
QString GetItemCode(const QComboBox *combo, int index);
// Removes every entry and, with it, every holder.
void ClearComboItems(QComboBox *combo);

// The same for the rows of the level windows' lists.
void SetRowCode(QTreeWidgetItem *item, const QString &code);
QString GetRowCode(const QTreeWidgetItem *item);
