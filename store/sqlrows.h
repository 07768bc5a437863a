#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QVariantList>

// Every row of a statement run on a Qt connection of the tools' or tests'
// own (the program's statements go through TABSQuery). Raises
// EDatabaseError with the statement and the engine's message.
QList<QVariantList> queryRows(const QSqlDatabase &db, const QString &sql);
