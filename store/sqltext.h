#pragma once

#include <QString>

// The one place where a value is pasted into a statement. Statements stand
// values between single quotes; doubling every single quote inside the value
// keeps it a literal, so no code or label can change a statement's meaning,
// and an ordinary value (without quotes) gives exactly the text it had.
inline QString sqlEscape(const QString &value)
{
    QString out = value;
    out.replace(QLatin1Char('\''), QLatin1String("''"));
    return out;
}
