#include "dashboard/periods.h"

QVector<Period> monthList(const QDate &today)
{
    QVector<Period> periods;
    for (int i = 0; i <= 12; ++i) {
        const QDate date = today.addMonths(-i);
        const QString yearText = date.toString(QStringLiteral("yyyy"));
        const QString monthText = date.toString(QStringLiteral("MM"));
        periods.append({yearText.toInt(), monthText.toInt(), yearText + QLatin1Char('-') + monthText});
    }
    return periods;
}

QVector<PeriodChoice::Comparison> PeriodChoice::comparisonsFor(Span span)
{
    if (span == YearToDate)
        return {None, YearEarlier};
    return {None, PreviousMonth, YearEarlier};
}

MonthSpan PeriodChoice::chosen(int year, int month) const
{
    return {year, span == YearToDate ? 1 : month, month};
}

std::optional<MonthSpan> PeriodChoice::compared(int year, int month) const
{
    if (!comparisonsFor(span).contains(comparison))
        return std::nullopt;
    switch (comparison) {
    case PreviousMonth:
        return month == 1 ? MonthSpan{year - 1, 12, 12} : MonthSpan{year, month - 1, month - 1};
    case YearEarlier: {
        MonthSpan earlier = chosen(year, month);
        --earlier.year;
        return earlier;
    }
    default:
        return std::nullopt;
    }
}

QString MonthSpan::text() const
{
    const auto month = [this](int m) { return QStringLiteral("%1-%2").arg(year, 4, 10, QLatin1Char('0')).arg(m, 2, 10, QLatin1Char('0')); };
    return first == last ? month(last) : QStringLiteral("%1 à %2").arg(month(first), month(last));
}
