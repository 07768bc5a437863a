#pragma once

#include <QString>
#include <QStringList>

// The one place where a value is pasted into a statement. Statements stand
// values between single quotes; doubling every single quote inside the value
// keeps it a literal, so no code or label can change a statement's meaning,
// and an ordinary value (without quotes) gives exactly the text it had. An
// unpaired surrogate, which is no character, becomes U+FFFD: the engine
// would read the quote after it as its other half and end the literal there.
inline QString sqlEscape(const QString &value)
{
    QString out;
    out.reserve(value.size() + 2);
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c.isHighSurrogate() && i + 1 < value.size() && value.at(i + 1).isLowSurrogate()) {
            out += c;
            out += value.at(++i);
        } else if (c.isSurrogate()) {
            out += QChar(QChar::ReplacementCharacter);
        } else if (c == QLatin1Char('\'')) {
            out += QLatin1String("''");
        } else {
            out += c;
        }
    }
    return out;
}

// A value as a literal between single quotes, and a list of them for IN (...).
inline QString sqlQuoted(const QString &value)
{
    return QLatin1Char('\'') + sqlEscape(value) + QLatin1Char('\'');
}

inline QString sqlQuotedList(const QStringList &values)
{
    QStringList out;
    for (const QString &value : values)
        out << sqlQuoted(value);
    return out.join(QStringLiteral(", "));
}
