// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "settlement/Clock.h"
#include "settlement/SettlementPass.h"

#include <QString>

/// velmora-cli's commands. Each opens the database the same way, through the run that its work
/// shares with a pass (settlement/PassRun.h), reports on the console, and ends with one of the
/// exit codes below.
namespace Commands {

enum ExitCode {
    Ok = 0,
    PassNotCompleted = 1, ///< no connection, or the pass failed
    BadCommandLine = 2,
    PostingsRefused = 3, ///< the pass ended, but one or more postings were refused
    DatabaseBusy = 4,    ///< another Velmora pass is settling the database
};

/// The database a command works on, as the command line named it and start-up checked it.
struct Database
{
    ConnectionSettings settings;
    ConnectionOptions connection;
    const Clock &clock;
};

/// A settlement pass, its report on standard output; its figures to `metricsFile` unless empty.
int settle(const Database &database, const PassOptions &options, const QString &metricsFile);
/// The forecast of `days` days as CSV on standard output.
int expiring(const Database &database, int days, BalanceStrategy strategy);
/// Every card's book against its ledger of lots, as CSV on standard output.
int audit(const Database &database);
/// The story of one card (of `customer`, unless null) on standard output.
int explain(const Database &database, const QString &card, const QString &customer);

} // namespace Commands
