#pragma once

#include <QLocale>
#include <QString>

#include <optional>

// How the program writes its figures: the tracking table and its exports,
// the value marks of the charts. What rounds to zero is written without a
// sign (-0.004 is 0.00, -0.0 is 0); an infinity keeps its sign.
namespace Format {

// Two decimals, the decimal separator of the locale, no thousands
// separator; past 15 integer digits, 15 significant digits and an exponent
// of at least three digits (1.00000000000000E+015).
QString amount(double value, QLocale locale = QLocale());

// A count: the integer in decimal, exact for any count below 10^15 (the
// engine's integers summed as doubles); beyond, as amount() writes it.
QString count(double value, const QLocale &locale = QLocale());

// The value mark of a bar: the locale's digits and thousands separator,
// two decimals only where the value has a fraction; past 15 integer digits,
// 6 significant digits and an exponent.
QString mark(double value, const QLocale &locale = QLocale());

// A change, signed as amount() writes it with "+" before a positive one
// ("+12.50%", "-3.00 pt"): a percent, or points; empty for none. What
// rounds to zero has no sign.
QString change(std::optional<double> value, bool points, const QLocale &locale = QLocale());

} // namespace Format
