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
