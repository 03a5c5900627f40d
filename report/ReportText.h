// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

/// The report's text, without any widget: lines end in CR LF, the oldest at the top.
class ReportText
{
public:
    static constexpr qsizetype Limit = 20000;  ///< characters; above this a pass trims first
    static constexpr qsizetype TrimScan = 500; ///< positions the trim scans for line ends
    /// Characters past which an append drops the oldest lines, down to Limit. Twice the limit:
    /// the text stays near the limit while a pass writes line after line, and each cut moves at
    /// most Limit characters once per Limit characters written, so an append costs in
    /// proportion to its own length.
    static constexpr qsizetype Bound = 2 * Limit;

    const QString &text() const { return m_text; }
    qsizetype length() const { return m_text.size(); }
    void setText(const QString &text) { m_text = text; }
    /// Adds `text` at the end. Past Bound, whole lines go from the top until at most Limit
    /// characters are left; the newest line always stays, even when it alone is longer.
    /// Returns the text that went (empty when nothing did).
    QString append(const QString &text);
    bool overLimit() const { return m_text.size() > Limit; }

    /// Removes whole lines from the top as `LimpraRelatorio` does, then outer spaces.
    /// Returns the number of characters cut from the top by the scan.
    qsizetype trim();

    /// The scan alone: whole lines cut from the top of `text` (no space trimming).
    static QString scanCut(const QString &text);

private:
    QString m_text;
};
