#pragma once

#include <QDate>
#include <QString>
#include <QVector>

// One entry of the month list.
struct Period
{
    int year = 0;
    int month = 0;
    QString text; // "AAAA-MM"
};

// The thirteen months of the month list, newest first: the month of `today`
// and the twelve before it. Moving back cuts the day to the end of shorter
// months, so the month itself is never skipped.
QVector<Period> monthList(const QDate &today);
