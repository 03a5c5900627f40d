// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace TextUtil {

/// Removes blanks (U+0020 only) from both ends; tabs, CR and LF stay.
inline QString trimBlanks(const QString &s)
{
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && s.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && s.at(end - 1) == QLatin1Char(' '))
        --end;
    return s.mid(begin, end - begin);
}

inline bool isBlank(const QString &s)
{
    return trimBlanks(s).isEmpty();
}

} // namespace TextUtil
