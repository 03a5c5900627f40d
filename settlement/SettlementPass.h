// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "db/Currency.h"
#include "db/DbConnection.h"
#include "db/HistoryWriter.h"
#include "settlement/CardList.h"
#include "settlement/Clock.h"
#include "settlement/PassRun.h"
#include "settlement/PassStats.h"

#include <QDate>
#include <QString>
#include <QVector>

class PassHost;
class PassLock;

/// How the old balances are read.
enum class BalanceStrategy {
    PerCard,  ///< two sums per card, as the scheme's DBAs know them
    SetBased, ///< a grouped read of a batch of cards' sums, their rows several to a statement
};

struct PassOptions
{
    bool dryRun = false; ///< post nothing; report what would be posted
    BalanceStrategy strategy = BalanceStrategy::PerCard;
    /// How the pass's connection is opened; a dry run opens it read-only whatever this says.
    ConnectionOptions connection;
    bool recordPostings = false; ///< keep every posted row for postings() (tests, previews)
    /// A batch of cards shares one transaction, each settled card inside a savepoint of its
    /// own; it is committed after this many cards or this many milliseconds, whichever comes
    /// first, and before every yield to the host. A crash loses at most that batch.
    int batchCards = 500;
    int batchMilliseconds = 200;
};

/// The dates of a pass, and the texts the report and the notes show of them.
struct PassDates
{
    QDate today;
    QDate cutoff;          ///< today one calendar year back (29 February to 28 February)
    QString strDataHoje;   ///< "dd-mm-yyyy"
    QString strDataLimite; ///< cutoff as "yyyy-mm-dd"

    static PassDates forDay(const QDate &today);
};

/// One settlement pass over every card: the points of each card older than the cutoff lapse,
/// as far as they were not spent since (settlement/LapseRule.h), and a card whose balance up to
/// today is then negative is lifted to zero. Each card is settled whole or not at all: cards
/// are read and settled in batches that share one transaction (settlement/SettlementBatch.h),
/// each settled card inside a savepoint of its own. A card that cannot be read, whose key does
/// not read back as it is stored, or whose posting is refused, is left as it was and the pass
/// goes on; a lost connection ends it, and so does a posting that the database refuses
/// whatever the card (read-only, no right to write, full).
class SettlementPass
{
public:
    /// `settings` as start-up checked them; a blank mode connects as "SQL".
    /// Every date of the pass and the time of every line and row come from `clock`, moved to
    /// the database server's clock on SQL Server (ClockCheck::followServer).
    SettlementPass(const ConnectionSettings &settings, PassHost &host, const Clock &clock,
                   PassOptions options = {});
    ~SettlementPass();

    PassOutcome run();

    const PassStats &stats() const { return m_stats; }
    /// The rows this pass posted, or would have posted in a dry run, in order; kept only with
    /// PassOptions::recordPostings, as a large pass would otherwise hold every row.
    const QVector<HistoryEntry> &postings() const { return m_postings; }

private:
    void readCardList(CardList &cards);
    void release();
    /// The pass's own work, once it holds the database.
    PassOutcome settle();
    /// Reads the card list and settles every card, by the walk the options choose, unless the
    /// pass that started at `started` runs behind one that already posted.
    void walk(const QDateTime &started);

    const ConnectionSettings m_settings; ///< a copy: a caller's temporary may go before run()
    PassHost &m_host;
    PassClock m_clock;
    PassOptions m_options;
    PassDates m_dates;
    PassStats m_stats;
    QVector<HistoryEntry> m_postings;

    ConnectionPtr m_cnLigacao;
    std::unique_ptr<HistoryWriter> m_writer;
    std::unique_ptr<PassLock> m_lock;
};
