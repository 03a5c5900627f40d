// SPDX-License-Identifier: MIT
#pragma once

#include "report/ReportSink.h"

#include <QThread>

/// What a settlement pass needs from whoever runs it: the window, or the console runner. It only
/// shows what the pass tells it; the pass reads time from the clock it is given.
class PassHost : public ReportSink
{
public:
    /// The busy pointer over the whole screen (true) or the default one (false).
    virtual void setWaitCursor(bool busy) = 0;
    /// Shows or hides the "in progress" status, and redraws it at once.
    virtual void setStatusVisible(bool visible) = 0;
    /// Lets the user interface handle what is pending.
    virtual void processEvents() = 0;
    /// True when processEvents() would let the user interface run now. The pass commits its
    /// open batch of cards before each such yield, and skips the yields that would do
    /// nothing, so that a batch stays open across the cards between two real yields.
    virtual bool yieldDue() const { return true; }
    /// Waits `milliseconds` with no transaction open, the user interface running as at a yield.
    virtual void pause(int milliseconds)
    {
        QThread::msleep(static_cast<unsigned long>(milliseconds));
    }
    /// True once the host is going away: the pass stops at the next card boundary.
    virtual bool stopRequested() const { return false; }
    /// The countdown starts again: the counter to 0 and the caption to "30 Min.".
    virtual void resetCountdown() {}
    /// Cards done out of cards read so far, after each card.
    // The part, then the whole, as every progress counter reads; a swap shows at once as a
    // count above its total.
    // NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
    virtual void progress(qint64 done, qint64 total)
    {
        Q_UNUSED(done)
        Q_UNUSED(total)
    }
};
