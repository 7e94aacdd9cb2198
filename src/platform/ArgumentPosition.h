#pragma once

#include <QString>

// Where a word stands on a command line, the program's name not counted:
// "the 2nd argument". Both programs say this instead of the word itself,
// which may be a password typed in the wrong place. Header-only, so that
// keynook-cli, which links no window code, shares it.
inline QString argumentAt(qsizetype position) {
    const qsizetype lastTwo = position % 100;
    const qsizetype last = position % 10;
    const char* suffix = lastTwo >= 11 && lastTwo <= 13 ? "th"
                         : last == 1                    ? "st"
                         : last == 2                    ? "nd"
                         : last == 3                    ? "rd"
                                                        : "th";
    return QStringLiteral("the %1%2 argument").arg(position).arg(QLatin1String(suffix));
}
