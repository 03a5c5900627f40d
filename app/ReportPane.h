// SPDX-License-Identifier: MIT
#pragma once

#include <QPlainTextEdit>

/// The report pane: shows the report text. Appends cost in proportion to the line added.
class ReportPane : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit ReportPane(QWidget *parent = nullptr);

    /// Adds text at the end of what is shown, leaving the caret where it is.
    void appendText(const QString &text);
    /// Shows `text` in place of everything.
    void showText(const QString &text);
    void caretToEnd();
    void caretToStart();

    /// The CR LF line ends of the report, as the pane shows them.
    static QString forDisplay(const QString &text);
};
