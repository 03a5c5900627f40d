// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "db/Currency.h"
#include "db/DbConnection.h"
#include "db/HistoryWriter.h"
#include "settlement/CardBalance.h"
#include "settlement/CardList.h"
#include "settlement/PassRun.h"
#include "settlement/PassStats.h"
#include "settlement/RangeBalances.h"
#include "settlement/SettlementBatch.h"

#include <QDate>
#include <QElapsedTimer>
#include <QSet>
#include <QSqlQuery>
#include <QString>
#include <QVector>

#include <functional>

class Clock;
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
    /// Every date of the pass and the time of every line and row come from `clock`.
    SettlementPass(const ConnectionSettings &settings, PassHost &host, const Clock &clock,
                   PassOptions options = {});
    ~SettlementPass();

    PassOutcome run();

    const PassStats &stats() const { return m_stats; }
    /// The rows this pass posted, or would have posted in a dry run, in order; kept only with
    /// PassOptions::recordPostings, as a large pass would otherwise hold every row.
    const QVector<HistoryEntry> &postings() const { return m_postings; }

private:
    /// What became of one card.
    enum class CardResult {
        Done,            ///< settled, needing nothing, or left as it was for the next pass
        TransactionGone, ///< the server ended the batch's transaction on the card's failure
        DeadlockVictim,  ///< the server rolled the batch back to break a deadlock
    };
    /// How many more times a batch that a deadlock's victim is done again; after the last, a
    /// victim is a failure like any other.
    static constexpr int kVictimRedos = 3;
    /// Settles `count` cards in batches, `settle(i)` settling the i-th; a batch whose
    /// transaction the server ended on a card's failure is settled again without that card.
    void settleInBatches(qsizetype count, const std::function<CardResult(qsizetype)> &settle,
                         const std::function<void(qsizetype)> &progress);
    void settlePerCard(const CardList &cards);
    /// Settles the cards [start, end) of the list one at a time, each read on its own, with
    /// `progress` after each; a card whose key, as read back, finds no row of PontosCartoes is
    /// named and left as it was.
    void settleOneByOne(const CardList &cards, qsizetype start, qsizetype end,
                        const std::function<void(qsizetype)> &progress);
    /// Adds to `unread` the cards of [start, end) whose keys, as read back, find no row of
    /// PontosCartoes: one statement for every keysPerCheck() keys that may not read back.
    void findUnreadKeys(const CardList &cards, qsizetype start, qsizetype end,
                        QSet<qsizetype> *unread);
    /// The same for the cards `suspects`, at most keysPerCheck() of them, in one statement.
    void findUnreadKeys(const CardList &cards, const QVector<qsizetype> &suspects,
                        QSet<qsizetype> *unread);
    void settleSetWise(const CardList &cards);
    /// Settles the cards [start, end) of the list together: one grouped read of their sums,
    /// their rows written several to a statement.
    /// False when the batch was a deadlock's victim, abandoned: the range is to be settled
    /// again.
    bool settleRange(const CardList &cards, qsizetype start, qsizetype end);
    /// The same cards settled one at a time, each read on its own: where the grouped read or
    /// the batch cannot serve them.
    void settleRangeOneByOne(const CardList &cards, qsizetype start, qsizetype end);
    void readCardList(CardList &cards);
    void prepareBalances();
    /// The card's sums up to `bound`, bound at midnight at its start. False, with the reason,
    /// when the card's own values cannot be read or converted; the pass fails when the
    /// connection is lost.
    bool readSums(QStringView cliente, QStringView numCartao, const QDate &bound, CardSums *sums,
                  QString *error);
    /// Settles a card whose sums up to the cutoff are `atCutoff` (read here when null): reads
    /// today's sums when its old balance is not zero, and posts what the lapse rule asks for
    /// into the open batch, which it never commits.
    CardResult settleCard(QStringView cliente, QStringView numCartao, const CardSums *atCutoff);
    /// The rows the plan asks for, and the report's lines for them.
    CardRows cardRows(QStringView cliente, QStringView numCartao,
                      const CardAdjustments &plan) const;
    /// What a batch's result means for the pass: a failure ends it, after the batch is undone.
    CardResult outcome(SettlementBatch::Result result);
    CardResult cardUnread(QStringView numCartao, const QString &description);
    void openBatch();
    /// Abandons the open batch, a deadlock's victim, and waits before it is done again: longer
    /// each time, from a tenth of a second to a second.
    void abandonAsVictim();
    /// Ends the batch after a card when it is full or has been open long enough.
    void cardDone();
    void commitBatch();
    /// Keeps what can be kept of the open batch when the pass fails: its whole cards, unless
    /// the connection is lost.
    void endBatchAfterFailure();
    void release();
    /// The pass's own work, once it holds the database.
    PassOutcome settle();
    /// Fails the pass when the connection is lost.
    void failIfLost() const;

    const ConnectionSettings m_settings; ///< a copy: a caller's temporary may go before run()
    PassHost &m_host;
    const Clock &m_clock;
    PassOptions m_options;
    PassDates m_dates;
    PassStats m_stats;
    QVector<HistoryEntry> m_postings;

    std::unique_ptr<SettlementBatch> m_batch;
    QElapsedTimer m_batchTimer; ///< monotonic: the host's clock may be set or stand still
    int m_victimRedos = 0;      ///< times the open batch's cards were done again since a commit

    ConnectionPtr m_cnLigacao;
    CardBalance m_balance;
    bool m_balancePrepared = false;
    RangeBalances m_rangeBalances;
    QSqlQuery m_keyCheck; ///< findUnreadKeys() for a whole range of keys
    bool m_keyCheckPrepared = false;

    std::unique_ptr<HistoryWriter> m_writer;
    std::unique_ptr<PassLock> m_lock;
};
