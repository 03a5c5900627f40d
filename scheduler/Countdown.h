// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QtGlobal>

/// The minute counter between passes and the caption that shows the minutes left.
/// Plain logic: the window's timer calls tick() once a minute.
class Countdown
{
public:
    static constexpr int TickMilliseconds = 60000;
    static constexpr int MinutesPerPass = 30;
    static constexpr int Activated = 1; ///< the check box value that runs the check

    enum class Tick {
        Paused,  ///< box not ticked: nothing changed
        Counted, ///< one minute counted, no pass due
        PassDue, ///< counted, and a pass is due now
    };

    /// One minute with the check box at `checkState` (0, 1 or 2). The counter stops at its
    /// ceiling rather than overflow, so a pass is still attempted every minute.
    Tick tick(int checkState);
    /// A pass ended normally: the count starts again.
    void reset() { m_intMinutos = 0; }

    qint16 intMinutos() const { return m_intMinutos; }
    void setIntMinutos(qint16 value) { m_intMinutos = value; }
    /// "30 Min." before the first tick, then 30 minus the counter: "29 Min.", ..., "-1 Min.".
    QString caption() const;

private:
    qint16 m_intMinutos = 0;
};
