// SPDX-License-Identifier: MIT
#pragma once

#include "db/DbConnection.h"

#include <QDate>
#include <QString>

namespace Measure {

/// The day every measurement takes as today, so that a seed gives the same passes.
inline QDate today()
{
    return QDate(2026, 12, 6);
}

/// What one child process measures.
struct Request
{
    enum class Kind { Bound, Pass, Script, Audit };
    enum class Host { Headless, Window };
    Kind kind = Kind::Pass;
    Host host = Host::Headless;
    bool setBased = false;
    QString database;
    QString workFolder; ///< for the window's settings file
    /// "server;database;login;password;mode;" of a SQL Server; empty for the SQLite file.
    QString server;
    ConnectionOptions connection;
};

/// What it found, as printed on the child's last line of output.
struct Result
{
    bool ok = false;
    double seconds = 0;     ///< wall time of the pass (or the query)
    double cpuSeconds = 0;  ///< processor time of this process over the same span
    double hostSeconds = 0; ///< wall time spent inside the host's calls
    qint64 cards = 0;
    qint64 settled = 0;
    qint64 rows = 0;
    qint64 peakKiB = 0;
    qint64 batchMs = 0;   ///< the longest a batch of the pass held its transaction
    qint64 batchRows = 0; ///< the most rows one batch posted
    QString error;

    QString toLine() const;
    static Result fromLine(const QString &line);
};

/// Opens the connection that `request` names, as a pass opens it; false with the reason.
bool connect(const Request &request, ConnectionPtr &connection, QString *error);

/// Runs one measurement in this process, which must have been started for it alone (the
/// peak resident size is the process's own). Needs a QApplication for the window host and a
/// QCoreApplication otherwise.
Result run(const Request &request);

/// The single grouped statement that reads every card's old balance in one scan of the
/// history: what no strategy can beat. Placeholder: the date bound.
QString boundSql();
/// The same on SQL Server. Placeholder: the date bound.
QString serverBoundSql();

/// Statements that post, set-wise, the rows a first pass posts, on SQL Server or SQLite (a
/// timing reference only). Named placeholders :cutoff, :cutoffBound, :today, :todayBound,
/// :now, :note.
QStringList scriptSql(bool sqlServer);

} // namespace Measure
