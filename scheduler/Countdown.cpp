// SPDX-License-Identifier: MIT
#include "scheduler/Countdown.h"

#include <limits>

Countdown::Tick Countdown::tick(int checkState)
{
    if (checkState != Activated)
        return Tick::Paused;
    if (m_intMinutos < std::numeric_limits<qint16>::max())
        ++m_intMinutos;
    return m_intMinutos > MinutesPerPass - 1 ? Tick::PassDue : Tick::Counted;
}

QString Countdown::caption() const
{
    return QString::number(MinutesPerPass - int(m_intMinutos)) + QStringLiteral(" Min.");
}
