// SPDX-License-Identifier: MIT
#include "support/RecordingHost.h"

RecordingHost::RecordingHost(const QDateTime &now) : manualClock(now) {}

void RecordingHost::append(const QString &t)
{
    text += t;
    calls << QStringLiteral("append");
    if (onAppend)
        onAppend(t);
}

void RecordingHost::caretToEnd()
{
    calls << QStringLiteral("caret");
}

void RecordingHost::refresh()
{
    calls << QStringLiteral("refresh");
}

void RecordingHost::setWaitCursor(bool busy)
{
    waitCursor = busy;
    calls << QStringLiteral("cursor:%1").arg(busy ? 1 : 0);
}

void RecordingHost::setStatusVisible(bool visible)
{
    statusVisible = visible;
    calls << QStringLiteral("status:%1").arg(visible ? 1 : 0);
}

void RecordingHost::processEvents()
{
    calls << QStringLiteral("yield");
    ++yields;
    if (onYield)
        onYield(yields);
}

void RecordingHost::progress(qint64 done, qint64)
{
    if (onProgress)
        onProgress(done);
}

void RecordingHost::resetCountdown()
{
    ++countdownResets;
    calls << QStringLiteral("reset");
}

QStringList RecordingHost::lines() const
{
    QStringList out = text.split(QStringLiteral("\r\n"));
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}
