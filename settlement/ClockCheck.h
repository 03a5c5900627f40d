// SPDX-License-Identifier: MIT
#pragma once

#include <QDate>
#include <QDateTime>

class DbConnection;
class PassClock;
struct ConnectionOptions;

/// Every machine that settles one database dates its rows by one clock, and no pass runs
/// behind one that has already posted: it would post again what that one posted.
namespace ClockCheck {

/// On SQL Server, unless `options` keep the machine's clock: reads the server's date and time
/// once, and sets `clock` to run by it from then on. The run fails (PassRun::fail) when the
/// server's time cannot be read.
void followServer(PassClock &clock, const DbConnection &connection,
                  const ConnectionOptions &options);

/// The run fails when the history holds an automatic adjustment dated later than a pass at
/// `now` would date it: a lift after its today, or a lapse or refill after its cutoff. Only
/// the newest of each kind is read, by Id: every pass that posted ran this check, so no older
/// one is dated later.
void failIfBehind(const DbConnection &connection, const QDateTime &now, const QDate &cutoff);

} // namespace ClockCheck
