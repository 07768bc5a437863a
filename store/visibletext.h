#pragma once

#include <QString>

// A message that quotes a stored text (a code, a label, the engine's words
// about them) shows it as it is, but for the characters that would act
// instead of showing: control characters (a NUL, an escape sequence that
// recolours or clears a terminal) and the direction controls that reorder
// what follows them. Each is written as its code point, <U+001B>. Line
// breaks and tabs stay.
inline QString visibleText(const QString &text)
{
    const auto acts = [](char32_t c) {
        if (c == U'\n' || c == U'\t')
            return false;
        return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x061C || c == 0x200E || c == 0x200F
            || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    };
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (acts(c.unicode()))
            out += QStringLiteral("<U+%1>").arg(QString::number(c.unicode(), 16).toUpper(), 4, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}
