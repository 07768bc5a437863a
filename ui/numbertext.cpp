#include "ui/numbertext.h"

#include <algorithm>
#include <cmath>

namespace Format {

namespace {

// Fixed-point text with `decimals` decimals; what rounds to zero loses its
// sign.
QString fixed(double value, int decimals, const QLocale &locale)
{
    QString text = locale.toString(value, 'f', decimals);
    if (std::isfinite(value) && text.startsWith(locale.negativeSign())
        && std::none_of(text.cbegin(), text.cend(), [](QChar c) { return c.digitValue() > 0; }))
        text.remove(0, locale.negativeSign().size());
    return text;
}

} // namespace

QString amount(double value, QLocale locale)
{
    locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    if (!std::isfinite(value) || std::fabs(value) < 1e15)
        return fixed(value, 2, locale);
    // Past fifteen integer digits: 15 significant digits and an exponent of
    // at least three digits, as fixed-point output of this precision has
    // always written it.
    QString text = locale.toString(value, 'E', 14);
    const int e = text.indexOf(QLatin1Char('E'));
    if (e >= 0 && e + 2 < text.size()) {
        QString digits = text.mid(e + 2);
        while (digits.size() < 3)
            digits.prepend(QLatin1Char('0'));
        text = text.left(e + 2) + digits;
    }
    return text;
}

QString count(double value, const QLocale &locale)
{
    // Exact up to fifteen digits, as a double holds them; past that (or
    // infinite) written as an amount is, without decimals to invent.
    if (std::isfinite(value) && std::fabs(value) < 1e15)
        return QString::number(qint64(value));
    return amount(value, locale);
}

QString change(std::optional<double> value, bool points, const QLocale &locale)
{
    if (!value)
        return QString();
    QString text = amount(*value, locale);
    if (*value > 0 && text != amount(0.0, locale))
        text.prepend(locale.positiveSign());
    return text + (points ? QStringLiteral(" pt") : QStringLiteral("%"));
}

QString mark(double value, const QLocale &locale)
{
    if (!std::isfinite(value) || std::fabs(value) >= 1e15)
        return locale.toString(value, 'g', 6);
    return fixed(value, value == std::floor(value) ? 0 : 2, locale);
}

} // namespace Format
