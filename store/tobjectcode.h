#pragma once

#include <QMetaType>
#include <QString>

class QComboBox;
class QTreeWidgetItem;

// The database code of the row that a list entry shows. It travels as the
// entry's item data, so it lives exactly as long as its entry: removing the
// entry removes the code, and nothing is left to free.
class TObjectCode
{
public:
    TObjectCode() { ++s_live; }
    explicit TObjectCode(const QString &code) : m_code(code) { ++s_live; }
    TObjectCode(const TObjectCode &other) : m_code(other.m_code) { ++s_live; }
    TObjectCode &operator=(const TObjectCode &other) = default;
    ~TObjectCode() { --s_live; }

    QString GetCode() const { return m_code; }

    // Holders alive in the program: lets a test see that reloading lists
    // leaves none behind.
    static int liveCount() { return s_live; }

private:
    QString m_code;
    static inline int s_live = 0;
};

Q_DECLARE_METATYPE(TObjectCode)

// The item data role that carries the holder.
constexpr int ObjectCodeRole = Qt::UserRole;

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
bool HasRowCode(const QTreeWidgetItem *item);
QString GetRowCode(const QTreeWidgetItem *item);
