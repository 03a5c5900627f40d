// SPDX-License-Identifier: MIT
#include "report/ReportText.h"

#include <algorithm>

QString ReportText::scanCut(const QString &text)
{
    // Positions count from 1. After each cut the scan goes on from the next position of the
    // shortened text, so later cuts fall further in and drop more lines at once.
    QString work = text;
    for (qsizetype p = 1; p <= TrimScan; ++p) {
        const qsizetype i = p - 1;
        if (i + 1 < work.size() && work.at(i) == QLatin1Char('\r') &&
            work.at(i + 1) == QLatin1Char('\n')) {
            work.remove(0, i + 2);
        }
    }
    return work;
}

qsizetype ReportText::trim()
{
    const QString cut = scanCut(m_text);
    const qsizetype removed = m_text.size() - cut.size();
    // Then the blanks (U+0020 only) at either end; a line end there stays.
    const auto blank = [](QChar c) {
        return c == QLatin1Char(' ');
    };
    const auto first = std::find_if_not(cut.cbegin(), cut.cend(), blank);
    const auto last = std::find_if_not(cut.crbegin(), std::make_reverse_iterator(first), blank);
    m_text = QString(first, last.base() - first);
    return removed;
}

QString ReportText::append(const QString &text)
{
    m_text += text;
    if (m_text.size() <= Bound)
        return {};
    // The first line end that leaves at most Limit characters after it, short of the end.
    const qsizetype lineEnd =
        m_text.indexOf(QLatin1String("\r\n"), std::max<qsizetype>(0, m_text.size() - Limit - 2));
    if (lineEnd < 0 || lineEnd + 2 >= m_text.size())
        return {};
    QString dropped = m_text.left(lineEnd + 2);
    m_text.remove(0, lineEnd + 2);
    return dropped;
}
