// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/SettlementPass.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QString>

class Clock;
class ReportSink;

/// The figures of the last pass, for a monitoring agent: a file in the Prometheus text
/// exposition format (node_exporter's and windows_exporter's textfile collectors), written
/// whole after every pass. It replaces the file of the pass before; only the time of the last
/// success is carried over from it when this pass did not succeed, so that an alert on "no
/// success for an hour" holds across failures.
namespace PassMetrics {

/// One pass as the file shows it.
struct Pass
{
    PassOutcome outcome = PassOutcome::Completed;
    PassStats stats;
    QDateTime ended;
    qint64 durationMs = 0;
};

/// "completed", "failed", "interrupted" (stopped at a card boundary: by a signal, or by the
/// window closing), "no_connection", "busy", or "refused": the pass ended, but left cards for
/// the next one (a refused posting, a balance unread).
QString outcomeLabel(PassOutcome outcome, const PassStats &stats);

/// The file's text for `pass`, with `lastSuccess` (seconds since the epoch; 0 for none) as the
/// last success when the pass itself did not succeed.
QByteArray text(const Pass &pass, double lastSuccess);

/// The last success that an earlier file's text holds; 0 when it holds none.
double lastSuccess(const QByteArray &previous);

/// Why `path` cannot take the file: it exists and is no regular file (a device, a FIFO, a
/// folder), which the rename would replace or the write would block on. Empty when it can.
QString pathRefusal(const QString &path);

/// Writes the file at `path`: a temporary file in the same folder, renamed over it once
/// whole, readable by every user (the collector runs as a user of its own). False, with the
/// reason, when it could not be written; the earlier file then stays as it was.
bool write(const QString &path, const Pass &pass, QString *error);

/// write(), and a line in `report` when the file could not be written. The pass's own outcome
/// is left as it was.
void record(const QString &path, const Pass &pass, ReportSink &report);

/// A pass's figures as each program leaves them: made just before the pass runs, it times the
/// pass, and record() then writes them with record(path, ...) above, ended at `clock`'s now.
/// With no file named, nothing is written.
class Recorder
{
public:
    Recorder(QString path, const Clock &clock);
    /// Writes the file for the pass that has just ended with `outcome` and `stats`.
    void record(PassOutcome outcome, const PassStats &stats, ReportSink &report) const;

private:
    QString m_path;
    const Clock &m_clock;
    QElapsedTimer m_started;
};

} // namespace PassMetrics
