#pragma once

#include <QString>

// The statements of the tracking table. Every value goes through the
// quoting helper; numbers are written in decimal.
namespace DashboardStatements {

// Levels: every level for the administrator, the user's own otherwise.
QString levels(bool admin, const QString &user);
// Agencies linked to a level.
QString agencies(const QString &level);
// Users with at least one fact row for the agency in the month (or in the
// months firstMonth to month of the year).
QString usersOfAgency(const QString &agency, int year, int month, int firstMonth = 0);
// The one user, within the agency (no month condition).
QString oneUser(const QString &agency, const QString &user);
QString suppliers();
// Agencies linked to no level, by label.
QString unlinkedAgencies();

} // namespace DashboardStatements
