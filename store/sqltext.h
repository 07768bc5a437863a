#pragma once

#include <QString>
#include <QStringList>

// The one place where a value is pasted into a statement. Statements stand
// values between single quotes; doubling every single quote inside the value
// keeps it a literal, so no code or label can change a statement's meaning,
// and an ordinary value (without quotes) gives exactly the text it had. An
// unpaired surrogate, which is no character, becomes U+FFFD: the engine
// would read the quote after it as its other half and end the literal there.
// A NUL character would end the whole statement for SQLite, which reads a
// statement's text only up to its first NUL: the literal is closed before
// it and opened again after, the character written as char(0) between
// them, so that the engine reads the value whole ('A' || char(0) || 'y').
// A server's texts hold no NUL; there the statement fails with the server's
// own words.
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
        } else if (c.isNull()) {
            out += QLatin1String("' || char(0) || '");
        } else {
            out += c;
        }
    }
    return out;
}
