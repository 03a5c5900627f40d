// SPDX-License-Identifier: MIT
#pragma once

#include <QDate>
#include <QDateTime>

/// Today's date and the present moment. The pass and the tick read time only through this.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    QDate today() const { return now().date(); }
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

/// A clock that stands still until told otherwise.
class ManualClock final : public Clock
{
public:
    explicit ManualClock(const QDateTime &start) : m_now(start) {}
    QDateTime now() const override { return m_now; }
    void set(const QDateTime &moment) { m_now = moment; }

private:
    QDateTime m_now;
};

/// The clock a pass runs by: the machine's, moved by the difference to the database server's
/// clock once the pass has read it (settlement/ClockCheck.h), so that every machine that
/// settles one database dates its rows by one clock.
class PassClock final : public Clock
{
public:
    explicit PassClock(const Clock &machine) : m_machine(machine) {}
    QDateTime now() const override { return m_machine.now().addMSecs(m_offsetMs); }
    const Clock &machine() const { return m_machine; }
    /// The server's clock less the machine's, in milliseconds; 0 runs by the machine's.
    qint64 offsetMs() const { return m_offsetMs; }
    void setOffsetMs(qint64 offset) { m_offsetMs = offset; }

private:
    const Clock &m_machine;
    qint64 m_offsetMs = 0;
};
