#pragma once

#include <QString>

// The statements of the two level administration windows. Each one is
// assembled from fixed pieces and values; every value goes through
// sqlEscape, so an ordinary value gives exactly the statement text below
// and a value with an apostrophe stays a literal.
namespace LevelStatements {

// Level management window.
QString freeUsers();
QString levelList();
QString insertLevel(const QString &userCode, const QString &label);
QString levelLinks(const QString &levelCode);
QString deleteLevelLinks(const QString &levelCode);
QString deleteLevel(const QString &levelCode);
// The question asked before deleting a level that has `linkCount` (> 0)
// agencies.
QString deletionQuestion(int linkCount);

// Level-agency assignment window.
QString levelCombo();
QString freeAgencies(const QString &levelCode);
QString levelAgencies(const QString &levelCode);
QString insertLink(const QString &levelCode, const QString &agencyCode);
// Removes the link between one level and one agency; the agency keeps its
// links to other levels.
QString deleteLink(const QString &levelCode, const QString &agencyCode);

} // namespace LevelStatements
