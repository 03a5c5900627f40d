// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/Clock.h"
#include "settlement/PassHost.h"

#include <QString>
#include <QStringList>

#include <functional>

/// A PassHost that keeps the report text and a log of every call, for tests.
class RecordingHost : public PassHost
{
public:
    explicit RecordingHost(const QDateTime &now = QDateTime(QDate(2026, 12, 6), QTime(10, 0, 0)));

    void append(const QString &text) override;
    void caretToEnd() override;
    void refresh() override;
    void setWaitCursor(bool busy) override;
    void setStatusVisible(bool visible) override;
    void processEvents() override;
    bool yieldDue() const override { return yieldsDue; }
    void progress(qint64 done, qint64 total) override;
    bool stopRequested() const override { return stop; }
    void resetCountdown() override;

    /// The report's lines without their CR LF (an empty line stays as an empty entry).
    QStringList lines() const;

    ManualClock manualClock;
    QString text;      ///< everything appended, as appended
    QStringList calls; ///< "append", "caret", "refresh", "cursor:1", "status:0", "yield", "reset"
    bool waitCursor = false;
    bool statusVisible = false;
    int countdownResets = 0;
    bool stop = false;
    /// Runs at every yield, with the number of yields so far (1 for the first).
    std::function<void(int)> onYield;
    /// Runs after every append, with the text appended.
    std::function<void(const QString &)> onAppend;
    int yields = 0;
    /// What yieldDue() answers: false makes a host like the console's, whose yields do
    /// nothing, so that the pass keeps its batches open across cards.
    bool yieldsDue = true;
    /// Runs after every card, with the cards done so far (not logged in `calls`).
    std::function<void(qint64)> onProgress;
};
