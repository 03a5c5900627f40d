// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/PassHost.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

/// Runs a pass from the console: report lines go to standard output as they are written; on a
/// terminal, a one-line progress counter goes to standard error once a pass takes a while.
class ConsoleHost : public PassHost
{
public:
    explicit ConsoleHost(std::FILE *out = stdout, std::FILE *err = stderr);

    void append(const QString &text) override;
    void caretToEnd() override {}
    void refresh() override { std::fflush(m_out); }
    void setWaitCursor(bool) override {}
    void setStatusVisible(bool) override {}
    void processEvents() override {}
    /// Nothing runs on a yield here, so the pass need not commit for one.
    bool yieldDue() const override { return false; }
    void progress(qint64 done, qint64 total) override;
    /// True once stopOnSignals() caught a signal: the pass ends at the next card boundary.
    bool stopRequested() const override { return stopSignal() != 0; }

    /// SIGINT and SIGTERM (and SIGPIPE where there is one) ask the pass to stop at its next card
    /// boundary; a second one ends the program at once, with 128 and its number.
    static void stopOnSignals();
    /// The signal that asked the pass to stop; 0 for none.
    static int stopSignal();

    /// Clears the progress line, if one is shown.
    void finish();

private:
    std::FILE *m_out;
    std::FILE *m_err;
    bool m_progressOnTerminal;
    QString m_eraseLine;
    bool m_progressShown = false;
    QElapsedTimer m_elapsed;
    qint64 m_lastDrawMs = -1;
};
