// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "db/DbConnection.h"
#include "settlement/PassStats.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <memory>

class CardBalance;
class PassClock;
class PassHost;
class PassLock;

/// How a pass ended.
enum class PassOutcome {
    Completed,    ///< ran to its end; the countdown starts again
    NoConnection, ///< the connection did not open (reported by LigarServidor)
    Failed,       ///< ended through the failure path
    Stopped,      ///< the host went away; ended at a card boundary
    Busy,         ///< another pass, here or on another machine, is settling the database
};

/// What a settlement pass and an expiry forecast share around their own work: open the
/// connection, take the database's pass lock or put the run off while another holds it, run the
/// body, end on the one failure path, and let everything go.
class PassRun
{
public:
    /// What ends a run through its failure path, with the report's words for it.
    struct Failure
    {
        QString description;
    };
    [[noreturn]] static void fail(const QString &description);
    /// Fails the run when the connection is lost.
    static void failIfLost(const DbConnection &connection);
    /// The rows of the card list, for the progress counter; fails the run when it cannot tell.
    static qint64 countCards(const DbConnection &connection);
    /// After a card's sums failed to read (`error`): the run fails unless the same statement
    /// runs for the card without movements, when the failure was the card's own.
    static void failUnlessTheCardsOwn(CardBalance &balance, const DbConnection &connection,
                                      QStringView cliente, QStringView numCartao,
                                      const QString &error);

    struct Steps
    {
        /// The run's own work, with the lock held; Failure or any exception ends it as failed.
        std::function<PassOutcome()> body;
        /// Lets go of the lock and the connections, whatever is open; may run more than once.
        std::function<void()> release;
        /// On the failure path, in place of release(): keeps what can be kept, then releases.
        std::function<void()> failing;
        /// False for a run that only reads a snapshot and may run beside a pass.
        bool lock = true;
    };

    /// `clock` runs by the database server's clock once the connection is open (ClockCheck).
    PassRun(const ConnectionSettings &settings, const ConnectionOptions &options, PassHost &host,
            PassClock &clock);

    /// Opens `connection`, reads the server's clock, and takes `lock` on it, then runs `steps`.
    PassOutcome run(ConnectionPtr &connection, std::unique_ptr<PassLock> &lock,
                    const Steps &steps) const;

private:
    const ConnectionSettings &m_settings;
    const ConnectionOptions &m_options;
    PassHost &m_host;
    PassClock &m_clock;
};
