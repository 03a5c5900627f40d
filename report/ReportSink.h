// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

/// Where the system's report lines go: the window's pane, or a console.
/// Each writer appends its text, then asks for the follow-up steps it needs.
class ReportSink
{
public:
    virtual ~ReportSink() = default;

    /// Adds text at the end of the report, as given (CR LF line ends included).
    virtual void append(const QString &text) = 0;
    /// Moves the caret to the end of the report so that the newest line is in view.
    virtual void caretToEnd() = 0;
    /// Redraws the report now.
    virtual void refresh() = 0;
};
