#include "ui/itemcodes.h"

#include <QComboBox>
#include <QTreeWidgetItem>

void AddComboItem(QComboBox *combo, const QString &text, const QString &code)
{
    combo->addItem(text, QVariant::fromValue(TObjectCode(code)));
}

void AddComboPlaceholder(QComboBox *combo, const QString &text)
{
    combo->addItem(text);
}

QString GetItemCode(const QComboBox *combo, int index)
{
    if (index < 0 || index >= combo->count())
        return QString();
    const QVariant data = combo->itemData(index, ObjectCodeRole);
    if (!data.canConvert<TObjectCode>())
        return QString();
    return data.value<TObjectCode>().GetCode();
}

void ClearComboItems(QComboBox *combo)
{
    const QSignalBlocker blocker(combo);
    combo->clear();
}

void SetRowCode(QTreeWidgetItem *item, const QString &code)
{
    item->setData(0, ObjectCodeRole, QVariant::fromValue(TObjectCode(code)));
}

QString GetRowCode(const QTreeWidgetItem *item)
{
    const QVariant data = item->data(0, ObjectCodeRole);
    return data.canConvert<TObjectCode>() ? data.value<TObjectCode>().GetCode() : QString();
}
