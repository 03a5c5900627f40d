// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/CardBalance.h"
#include "settlement/LapseRule.h"
#include "settlement/SettlementBatch.h"

#include <QSet>

#include <QDate>
#include <QString>
#include <QStringView>

class DbConnection;
struct PassDates;

/// Settles one card at a time into the batch it is given, which it never commits: reads the
/// card's sums, asks the lapse rule, and posts the rows and lines it asks for. What a batch's
/// result means for the pass is decided here too: a failure that ends the pass throws
/// PassRun::Failure, after the batch is undone where part of a card may be in it.
class CardSettler
{
public:
    /// What became of one card, or of the cards of one posting.
    enum class Result {
        Done,            ///< settled, needing nothing, or left as it was for the next pass
        TransactionGone, ///< the server ended the batch's transaction on the card's failure
        DeadlockVictim,  ///< the server rolled the batch back to break a deadlock
    };

    CardSettler(const DbConnection &connection, const PassDates &dates, bool dryRun);

    /// A card's sums read ahead with other cards': up to the cutoff, and up to today where its
    /// old balance is not zero.
    struct SumsAhead
    {
        bool read = false; ///< false: the card reads its own, as it would alone
        CardSums atCutoff;
        bool readToday = false;
        CardSums today;
    };
    /// Reads ahead the sums of `cards`, many a round trip (Dialect::cardsPerRoundTrip()), for
    /// settle() to take. False, with the driver's description, when a statement failed, which
    /// may have ended the batch's transaction; the pass fails on a lost connection.
    bool readAhead(const QVector<CardBalance::Key> &cards, QVector<SumsAhead> *sums,
                   QString *error);

    /// Reads the card's sums up to the cutoff, and today's when its old balance is not zero,
    /// and posts what the lapse rule asks for; with the sums of `ahead` where they were read.
    Result settle(SettlementBatch &batch, QStringView cliente, QStringView numCartao,
                  const SumsAhead *ahead = nullptr);
    /// A card that cannot be read or settled: named, and left as it was.
    Result unread(SettlementBatch &batch, QStringView numCartao, const QString &description);
    /// Posts several cards' rows together.
    Result post(SettlementBatch &batch, const QVector<CardRows> &cards);
    /// The rows the plan asks for, and the report's lines for them.
    CardRows rows(QStringView cliente, QStringView numCartao, const CardAdjustments &plan) const;
    /// Lets the prepared sums go, before their connection closes.
    void clear();
    /// Reads which cards have a movement whose amount or date the database's sums cannot take
    /// (unreadableCards()): those are named and left as they are, never settled.
    void findUnreadableRows() { m_unreadable = unreadableCards(m_connection); }
    /// The cards, as cardKey() names them, with a movement whose amount or date the database's
    /// sums cannot take (Dialect::unreadableRowsSql()). The run fails when the statement does.
    static QSet<QString> unreadableCards(const DbConnection &connection);
    static QString cardKey(QStringView cliente, QStringView numCartao);
    /// Why such a card is left, as its failure line says.
    static QString unreadableRowsText();
    /// Whether the card has such a movement.
    bool hasUnreadableRows(QStringView cliente, QStringView numCartao) const;

private:
    void prepareSums();
    /// What a batch's result means for the pass: a failure ends it, after the batch is undone.
    static Result outcome(SettlementBatch &batch, SettlementBatch::Result result);
    /// The card's sums up to `bound`, bound at midnight at its start. False, with the reason,
    /// when the card's own values cannot be read or converted; the pass fails when the
    /// connection is lost, or when the sums fail whatever the card.
    bool readSums(QStringView cliente, QStringView numCartao, const QDate &bound, CardSums *sums,
                  QString *error);

    const DbConnection &m_connection;
    const PassDates &m_dates;
    bool m_dryRun;
    CardBalance m_balance;
    bool m_prepared = false;
    QSet<QString> m_unreadable; ///< Cliente, U+001F, NumCartao
};
