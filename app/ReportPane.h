// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>

/// The report pane: shows the report text. Appends cost in proportion to the line added.
///
/// While a pass runs the pane is paced: a pass writes, refreshes and yields once a settled card,
/// and laying out and drawing the pane costs more than settling a card. So the pane takes new
/// text at most once a frame, and redraws at most once a frame at any time; it shows the newest
/// lines without the pass spending most of its time on them.
class ReportPane : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit ReportPane(QWidget *parent = nullptr);

    /// Adds text at the end: at once, or with the next frame while paced.
    void add(const QString &text);
    /// Moves the caret to the end, so that the newest line is in view: at once, or with the
    /// next frame while paced.
    void bringEndIntoView();
    /// Redraws now, after taking what is pending: at most once a frame.
    void redraw();
    /// Takes the text and the caret move that wait for the next frame.
    void bringUpToDate();
    /// Paced or not, after taking what is pending. The next redraw happens at once either way.
    void setPaced(bool paced);
    /// How often, at most, the pane redraws, and a paced one takes new text (0: at every
    /// request).
    void setFrameInterval(int milliseconds) { m_frameMilliseconds = milliseconds; }

    /// Removes the oldest lines, shown or pending: `text`, whole lines of the report as the
    /// report held them, went from its top.
    void dropOldest(const QString &text);
    /// Shows `text` in place of everything, pending text included.
    void showText(const QString &text);
    void caretToEnd();
    void caretToStart();

    /// The CR LF line ends of the report, as the pane shows them.
    static QString forDisplay(const QString &text);

private:
    void appendText(const QString &shownText);

    QString m_backlog; ///< text not yet shown, as the pane shows it
    bool m_caretToEndPending = false;
    bool m_paced = false;
    int m_frameMilliseconds = 0;
    QElapsedTimer m_lastRedraw;
};
