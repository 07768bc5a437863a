#pragma once

#include <QDate>
#include <QString>
#include <QVector>

#include <optional>

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

// The months the figures cover: `first` to `last` of one year.
struct MonthSpan
{
    int year = 0;
    int first = 0;
    int last = 0;

    int months() const { return last - first + 1; }
    bool operator==(const MonthSpan &) const = default;
    // "2026-03", or "2026-01 à 2026-03".
    QString text() const;
};

// What the figures of a chosen month cover, and what they are compared with.
struct PeriodChoice
{
    // The month alone, or January to the month (year to date).
    enum Span { Month, YearToDate } span = Month;
    enum Comparison { None, PreviousMonth, YearEarlier } comparison = None;

    // The comparisons that mean something for a span, None first: the
    // previous month only for a month.
    static QVector<Comparison> comparisonsFor(Span span);

    // The months of the chosen period, for the month year/month.
    MonthSpan chosen(int year, int month) const;
    // The months it is compared with: the month before (January's is
    // December of the year before), or the same span a year earlier;
    // nothing without a comparison or with one the span does not offer.
    std::optional<MonthSpan> compared(int year, int month) const;
};
