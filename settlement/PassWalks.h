// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/CardList.h"
#include "settlement/CardSettler.h"
#include "settlement/PassStats.h"
#include "settlement/RangeBalances.h"
#include "settlement/SettlementBatch.h"

#include <QElapsedTimer>
#include <QSet>
#include <QSqlQuery>
#include <QVector>

#include <functional>
#include <memory>

class Clock;
class DbConnection;
class HistoryWriter;
class PassHost;
struct PassDates;
struct PassOptions;

/// What a pass's walks share: its connection, host, clock, options and dates, where the rows
/// are written, the card settling, and the figures a committed batch adds to.
struct WalkContext
{
    const DbConnection &connection;
    PassHost &host;
    const Clock &clock;
    const PassOptions &options;
    const PassDates &dates;
    HistoryWriter *writer; ///< null in a dry run
    CardSettler &cards;
    PassStats &stats;
    QVector<HistoryEntry> &postings; ///< kept only with PassOptions::recordPostings
    /// Times the open batch's cards were done again, as a deadlock's victim, since a commit.
    int victimRedos = 0;
};

/// A walk over the cards that owns the batch its cards are settled in: it opens, commits,
/// abandons and discards it, and no one else does. Settling a card never commits; the walk
/// commits before it yields to the host, so that no transaction is open while the window runs
/// its events. When the pass fails inside the walk, the walk keeps what can be kept of its
/// batch (its whole cards, when the server still holds them) before the failure goes on.
class BatchWalk
{
public:
    BatchWalk(const BatchWalk &) = delete;
    BatchWalk &operator=(const BatchWalk &) = delete;

protected:
    explicit BatchWalk(WalkContext &context) : m_context(context) {}
    ~BatchWalk();

    /// How many more times a batch that a deadlock's victim is done again; after the last, a
    /// victim is a failure like any other.
    static constexpr int kVictimRedos = 3;

    SettlementBatch &openBatch();
    bool batchOpen() const { return m_batch != nullptr; }
    SettlementBatch &batch() { return *m_batch; }
    void commitBatch();
    /// Commits the batch when it is full or has been open long enough.
    void commitWhenDue();
    /// Abandons the open batch, a deadlock's victim, and waits before it is done again: longer
    /// each time, from a tenth of a second to a second.
    void abandonAsVictim();
    /// Ends the batch without committing, for cards that are settled again.
    void discardForRedo(SettlementBatch::Redo redo);
    /// Runs `walk`; a failure that ends the pass first ends the open batch as it may.
    void guarded(const std::function<void()> &walk);

    WalkContext &m_context;

private:
    void endAfterFailure();

    std::unique_ptr<SettlementBatch> m_batch;
    QElapsedTimer m_batchTimer; ///< monotonic: the host's clock may be set or stand still
};

/// Settles cards one at a time, with the per-card sums (on SQL Server those of many cards sent
/// together, their results read in turn), in batches of the pass's size; a batch
/// that a card's failure ended on the server is settled again without that card, and a
/// deadlock's victim is settled again whole. A card whose key, as read back, finds no row of
/// PontosCartoes is named and left as it was.
class PerCardWalk : public BatchWalk
{
public:
    explicit PerCardWalk(WalkContext &context) : BatchWalk(context) {}

    /// The cards [start, end) of the list, with `progress` after each.
    void settle(const CardList &cards, qsizetype start, qsizetype end,
                const std::function<void(qsizetype)> &progress);

private:
    /// The sums of the cards from `from` on, read ahead.
    struct Ahead
    {
        qsizetype from = 0;
        QVector<CardSettler::SumsAhead> sums;
        qsizetype aloneUntil = 0; ///< cards before it read their own sums
        const CardSettler::SumsAhead *of(qsizetype card) const;
        void forget();
    };
    /// Reads ahead the sums of the cards from `card` on, where the database takes many cards'
    /// statements a round trip and they are not read yet. False when a failure among them
    /// ended the batch, which is then discarded (or, a deadlock's victim, abandoned).
    bool readAhead(const CardList &cards, qsizetype card, qsizetype end,
                   const QSet<qsizetype> &unread, const QSet<qsizetype> &leftOut, Ahead *ahead);
    /// Adds to `unread` the cards of [start, end) whose keys, as read back, find no row of
    /// PontosCartoes: one statement for every keysPerCheck() keys that may not read back.
    void findUnreadKeys(const CardList &cards, qsizetype start, qsizetype end,
                        QSet<qsizetype> *unread);
    /// The same for the cards `suspects`, at most keysPerCheck() of them, in one statement.
    void findUnreadKeys(const CardList &cards, const QVector<qsizetype> &suspects,
                        QSet<qsizetype> *unread);

    QSqlQuery m_keyCheck; ///< findUnreadKeys() for a whole range of keys
    bool m_keyCheckPrepared = false;
};

/// Settles the cards a range at a time: one grouped read of the range's sums, their rows
/// written several to a statement, one batch a range. A range that the grouped read or the
/// batch cannot serve is settled one card at a time.
class SetWiseWalk : public BatchWalk
{
public:
    explicit SetWiseWalk(WalkContext &context);

    void settle(const CardList &cards);

private:
    /// False when the batch was a deadlock's victim, abandoned: the range is to be settled
    /// again.
    bool settleRange(const CardList &cards, qsizetype start, qsizetype end);
    /// The range's cards settled one at a time, its batch's work undone first.
    void settleOneByOne(const CardList &cards, qsizetype start, qsizetype end);

    RangeBalances m_rangeBalances;
    PerCardWalk m_oneByOne;
};
