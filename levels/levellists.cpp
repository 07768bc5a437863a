#include "levels/levellists.h"

#include "ui/fitting.h"
#include "ui/messages.h"
#include "store/dberror.h"
#include "store/tabsdatabase.h"
#include "store/tabsquery.h"
#include "ui/itemcodes.h"

#include <QComboBox>
#include <QTreeWidget>

namespace LevelLists {

void BindQuery(TABSQuery &query, TABSDatabase *database)
{
    if (!database)
        throw EDatabaseError(QStringLiteral("Aucune base de données n'est indiquée."));
    query.SetDatabaseName(database->DatabaseName());
}

void ReadRows(TABSDatabase *database, const QString &sql, const std::function<void(const TABSQuery &)> &row)
{
    TABSQuery query(database);
    BindQuery(query, database);
    query.SQL().append(sql);
    query.Open();
    while (!query.Eof()) {
        row(query);
        query.Next();
    }
    query.Close();
}

void ExecStatement(TABSDatabase *database, const QString &sql)
{
    TABSQuery query(database);
    BindQuery(query, database);
    query.SQL().append(sql);
    query.ExecSQL();
}

void FillCodeCombo(QComboBox *combo, TABSDatabase *database, const QString &sql)
{
    ClearComboItems(combo);
    ReadRows(database, sql, [combo](const TABSQuery &query) {
        const QString code = query.FieldByName(QStringLiteral("code")).AsString();
        const QString label = query.FieldByName(QStringLiteral("libelle")).AsString();
        AddComboItem(combo, label, code);
    });
    combo->setCurrentIndex(combo->count() > 0 ? 0 : -1);
    Fitting::fitPopup(combo);
}

void AppendCodeRows(QTreeWidget *list, TABSDatabase *database, const QString &sql, const QStringList &columns)
{
    ReadRows(database, sql, [list, &columns](const TABSQuery &query) {
        QStringList cells;
        for (const QString &column : columns)
            cells << query.FieldByName(column).AsString();
        auto *row = new QTreeWidgetItem(list, cells);
        SetRowCode(row, query.FieldByName(QStringLiteral("code")).AsString());
    });
    list->clearSelection();
}

std::optional<QString> SelectedRowCode(QWidget *window, const QTreeWidget *list)
{
    const QList<QTreeWidgetItem *> selection = list->selectedItems();
    if (selection.isEmpty()) {
        Messages::ShowMessage(window, QStringLiteral("Vous devez sélectionner une ligne pour pouvoir la supprimer"));
        return std::nullopt;
    }
    return GetRowCode(selection.first());
}

} // namespace LevelLists
