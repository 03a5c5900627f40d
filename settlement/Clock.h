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
