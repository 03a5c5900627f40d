// SPDX-License-Identifier: MIT
#include "settlement/PassWalks.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "settlement/PassHost.h"
#include "settlement/PassRun.h"
#include "settlement/SettlementPass.h"

#include <exception>
#include <utility>

namespace {
// A card whose key, as the client read it back, is not the key as stored (a character outside a
// varchar column's code page): rows posted under it would belong to no card.
const QString kKeyNotReadBack = QStringLiteral("a chave não se lê tal como está gravada");
} // namespace

BatchWalk::~BatchWalk() = default; // an open batch rolls back

SettlementBatch &BatchWalk::openBatch()
{
    if (m_batch)
        return *m_batch;
    auto batch = std::make_unique<SettlementBatch>(
        m_context.connection, m_context.host, m_context.clock, m_context.writer,
        m_context.options.recordPostings, m_context.stats);
    batch->redoWhenDeadlockVictim(m_context.victimRedos < kVictimRedos);
    QString error;
    if (!batch->begin(&error))
        PassRun::fail(error);
    m_batch = std::move(batch);
    m_batchTimer.start();
    return *m_batch;
}

void BatchWalk::commitBatch()
{
    if (!m_batch)
        return;
    const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
    SettlementBatch::Counts counts;
    QString error;
    if (!batch->commit(&error, &counts,
                       m_context.options.recordPostings ? &m_context.postings : nullptr))
        PassRun::fail(error);
    m_context.victimRedos = 0;
    PassStats &stats = m_context.stats;
    stats.longestBatchMs = qMax(stats.longestBatchMs, m_batchTimer.elapsed());
    stats.largestBatchRows = qMax(stats.largestBatchRows, counts.rows);
    stats.cardsSettled += counts.cards;
    stats.rowsPosted += counts.rows;
    Currency::add(stats.pointsLapsed, counts.pointsTaken, &stats.pointsLapsed);
    Currency::add(stats.pointsLifted, counts.pointsGiven, &stats.pointsLifted);
}

void BatchWalk::commitWhenDue()
{
    if (m_batch && (m_batch->cards() >= m_context.options.batchCards ||
                    m_batchTimer.elapsed() >= m_context.options.batchMilliseconds))
        commitBatch();
}

void BatchWalk::abandonAsVictim()
{
    if (m_batch) {
        const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
        batch->abandon();
    }
    int &redos = m_context.victimRedos;
    ++redos;
    static constexpr int kPauses[kVictimRedos] = {100, 300, 1000};
    m_context.host.pause(kPauses[qBound(1, redos, kVictimRedos) - 1]);
}

void BatchWalk::discardForRedo(SettlementBatch::Redo redo)
{
    if (m_batch) {
        const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
        batch->discardForRedo(redo);
    }
}

void BatchWalk::guarded(const std::function<void()> &walk)
{
    try {
        walk();
    } catch (...) {
        endAfterFailure();
        throw;
    }
}

void BatchWalk::endAfterFailure()
{
    if (!m_batch)
        return;
    // A batch holds whole cards only (a failure inside a card undoes the batch at once): its
    // cards are committed as they would have been without the failure, when the server still
    // holds them. On a lost connection nothing more is sent; either way only whole cards
    // remain, and the next pass settles the rest.
    if (m_batch->stillOpen()) { // never asked on a lost connection
        try {
            commitBatch();
            return;
        } catch (const PassRun::Failure &) {
            return; // not committed: undone, and the pass's own failure line says why
        }
    }
    const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
    batch->discard();
}

void PerCardWalk::settle(const CardList &cards, qsizetype start, qsizetype end,
                         const std::function<void(qsizetype)> &progress)
{
    guarded([&] {
        QSet<qsizetype> unread; // cards whose keys do not read back
        findUnreadKeys(cards, start, end, &unread);
        QSet<qsizetype> leftOut; // cards whose failure ended a batch's transaction
        qsizetype batchStart = start;
        Ahead ahead;
        PassHost &host = m_context.host;
        for (qsizetype card = start; card < end && !host.stopRequested();) {
            if (!batchOpen())
                batchStart = card;
            SettlementBatch &batch = openBatch();
            const qint64 settledBefore = batch.cards();
            if (!readAhead(cards, card, end, unread, leftOut, &ahead)) {
                // The server ended the batch: its cards are settled again, these read alone.
                card = batchStart;
                continue;
            }
            // A card left out keeps its failure: the batch is done again without it.
            CardSettler::Result result = CardSettler::Result::Done;
            if (unread.contains(card) && !leftOut.contains(card))
                result = m_context.cards.unread(batch, cards.numCartao(card), kKeyNotReadBack);
            else if (!leftOut.contains(card))
                result = m_context.cards.settle(batch, cards.cliente(card), cards.numCartao(card),
                                                ahead.of(card));
            if (result == CardSettler::Result::DeadlockVictim) {
                // No card was at fault: the batch is done again whole, its sums read again.
                abandonAsVictim();
                ahead.forget();
                card = batchStart;
                continue;
            }
            if (result == CardSettler::Result::TransactionGone) {
                // The server undid the batch: its cards are settled again, this one left out.
                // What the others reported goes with them, to come again once; this card's
                // failure stays.
                discardForRedo(SettlementBatch::Redo::AllButLastCard);
                leftOut.insert(card);
                ahead.forget();
                card = batchStart;
                continue;
            }
            // A settled card's yield comes after the batch's commit, so that no transaction
            // stays open while the user interface runs, and the card's line is shown with it;
            // a host whose yield would do nothing now keeps the batch.
            if (batch.cards() > settledBefore && host.yieldDue()) {
                commitBatch();
                host.processEvents();
            }
            progress(card);
            ++card;
            commitWhenDue();
        }
        commitBatch();
    });
}

const CardSettler::SumsAhead *PerCardWalk::Ahead::of(qsizetype card) const
{
    return card >= from && card < from + sums.size() ? &sums.at(card - from) : nullptr;
}

void PerCardWalk::Ahead::forget()
{
    from = 0;
    sums.clear();
}

bool PerCardWalk::readAhead(const CardList &cards, qsizetype card, qsizetype end,
                            const QSet<qsizetype> &unread, const QSet<qsizetype> &leftOut,
                            Ahead *ahead)
{
    const int most = m_context.connection.dialect().cardsPerRoundTrip();
    if (most <= 1 || card < ahead->aloneUntil || ahead->of(card))
        return true;
    ahead->forget();
    const qsizetype to = qMin(end, card + most);
    // Only cards that are read, and read after the cards before them posted: not those that
    // fail on their own, or are named unread.
    QVector<CardBalance::Key> keys;
    QVector<qsizetype> places;
    for (qsizetype i = card; i < to; ++i) {
        if (unread.contains(i) || leftOut.contains(i) ||
            m_context.cards.hasUnreadableRows(cards.cliente(i), cards.numCartao(i)) ||
            CardKeys::mayBeListedTwice(cards.cliente(i), cards.numCartao(i)))
            continue;
        keys.append({cards.cliente(i), cards.numCartao(i)});
        places.append(i);
    }
    QVector<CardSettler::SumsAhead> read;
    QString error;
    if (m_context.cards.readAhead(keys, &read, &error)) {
        ahead->from = card;
        ahead->sums.fill(CardSettler::SumsAhead(), to - card);
        for (qsizetype i = 0; i < places.size(); ++i)
            ahead->sums[places.at(i) - card] = read.at(i);
        return true;
    }
    // A card among them failed: each reads alone, and the one at fault is named as it would be.
    ahead->aloneUntil = to;
    if (batch().stillOpen())
        return true;
    if (m_context.connection.deadlockVictim() && m_context.victimRedos < kVictimRedos) {
        ahead->aloneUntil = card; // no card was at fault
        abandonAsVictim();
    } else {
        discardForRedo(SettlementBatch::Redo::AllCards);
    }
    return false;
}

void PerCardWalk::findUnreadKeys(const CardList &cards, qsizetype start, qsizetype end,
                                 QSet<qsizetype> *unread)
{
    // A driver that cannot give a stored character in the client's text puts a replacement in
    // its place: only a key that holds one may have been read otherwise than it is stored, and
    // only those are looked for, so that a card table without an index on its columns is read
    // once for every so many of them, not once for every so many cards.
    const auto suspect = [](QStringView value) {
        return value.contains(u'?') || value.contains(QChar::ReplacementCharacter);
    };
    QVector<qsizetype> suspects;
    for (qsizetype i = start; i < end; ++i) {
        if (suspect(cards.cliente(i)) || suspect(cards.numCartao(i)))
            suspects.append(i);
    }
    const qsizetype most = m_context.connection.dialect().keysPerCheck();
    for (qsizetype first = 0; first < suspects.size(); first += most)
        findUnreadKeys(cards, suspects.mid(first, most), unread);
}

void PerCardWalk::findUnreadKeys(const CardList &cards, const QVector<qsizetype> &suspects,
                                 QSet<qsizetype> *unread)
{
    const DbConnection &connection = m_context.connection;
    QVariantList keys;
    keys.reserve(2 * suspects.size());
    for (const qsizetype i : suspects)
        keys << CardBalance::boundText(cards.cliente(i))
             << CardBalance::boundText(cards.numCartao(i));
    // The statement of a whole range is kept prepared: a statement of many values costs more to
    // prepare than to run. A shorter range, the last, is prepared for itself.
    const bool whole = suspects.size() == connection.dialect().keysPerCheck();
    QSqlQuery shorter;
    QSqlQuery &query = whole ? m_keyCheck : shorter;
    QString error;
    if (!whole || !m_keyCheckPrepared) {
        if (!connection.prepare(query, connection.dialect().unreadKeysSql(int(suspects.size())),
                                &error))
            PassRun::fail(error);
        m_keyCheckPrepared = m_keyCheckPrepared || whole;
    }
    if (!connection.exec(query, keys, &error))
        PassRun::fail(error);
    while (connection.next(query, &error)) {
        const qsizetype n = query.value(0).toLongLong();
        if (n >= 0 && n < suspects.size())
            unread->insert(suspects.at(n));
    }
    if (!error.isEmpty())
        PassRun::fail(error);
    query.finish();
}

SetWiseWalk::SetWiseWalk(WalkContext &context) : BatchWalk(context), m_oneByOne(context)
{
    m_rangeBalances.prepare(context.connection);
    if (!context.writer)
        return;
    QString error;
    for (const QString &sql : context.connection.dialect().postingTableSql()) {
        if (!context.connection.runDirect(sql, &error))
            PassRun::fail(error);
    }
}

void SetWiseWalk::settle(const CardList &cards)
{
    guarded([&] {
        for (qsizetype start = 0; start < cards.size() && !m_context.host.stopRequested();) {
            // A batch ends after a card whose number the next card does not share: the ranges
            // of numbers never split a number between two batches.
            qsizetype end = qMin(cards.size(), start + qMax(1, m_context.options.batchCards));
            while (end < cards.size() && cards.numCartao(end) == cards.numCartao(end - 1))
                ++end;
            if (!settleRange(cards, start, end))
                continue; // read again and settled again
            m_context.host.progress(end, cards.size());
            start = end;
        }
    });
}

bool SetWiseWalk::settleRange(const CardList &cards, qsizetype start, qsizetype end)
{
    SettlementBatch &batch = openBatch();
    CardSettler &settler = m_context.cards;
    // A deadlock's victim is done again whole; a batch that a card's failure ended, one card
    // at a time.
    const auto settledAgain = [&](CardSettler::Result result) {
        if (result == CardSettler::Result::DeadlockVictim) {
            abandonAsVictim();
            return false;
        }
        settleOneByOne(cards, start, end);
        return true;
    };
    QVector<RangeBalances::Card> read;
    QString error;
    const PassDates &dates = m_context.dates;
    if (!m_rangeBalances.read(cards, start, end, dates.cutoff, dates.today, &read, &error)) {
        // Refused whole (a sum beyond the database's own range): the cards are read one by
        // one, and the card at fault is named. The failure may have ended the transaction.
        PassRun::failIfLost(m_context.connection);
        settleOneByOne(cards, start, end);
        return true;
    }
    // The rows go in the list's order: those gathered so far are posted before a card that is
    // read, or fails, on its own.
    QVector<CardRows> rows;
    for (const RangeBalances::Card &card : std::as_const(read)) {
        // Its rows, posted under the key as read, would not be found by the sums they settle:
        // on every pass they would be posted again. A key read alone is taken to have them, as
        // the per-card walk takes it.
        const bool keyNotReadBack = !card.keyReadsBack && (card.sumsFound || card.readAlone);
        // Read on its own, as the per-card walk reads it, which names it.
        const bool alone = !card.readable || card.readAlone ||
                           settler.hasUnreadableRows(card.cliente, card.numCartao);
        CardAdjustments plan;
        if (!keyNotReadBack && !alone && LapseRule::adjust(card.atCutoff, card.today, &plan)) {
            if (!plan.postsNothing()) {
                rows.append(settler.rows(card.cliente, card.numCartao, plan));
                rows.last().cardRow = card.keyReadsBack ? card.row : 0;
            }
            continue;
        }
        CardSettler::Result result = CardSettler::Result::Done;
        if (!rows.isEmpty()) {
            result = settler.post(batch, rows);
            rows.clear();
        }
        if (result == CardSettler::Result::Done) {
            result = keyNotReadBack ? settler.unread(batch, card.numCartao, kKeyNotReadBack)
                     : alone        ? settler.settle(batch, card.cliente, card.numCartao)
                                    : settler.unread(batch, card.numCartao,
                                                     QStringLiteral("saldo fora do intervalo"));
        }
        if (result != CardSettler::Result::Done)
            return settledAgain(result);
    }
    const CardSettler::Result result = settler.post(batch, rows);
    if (result != CardSettler::Result::Done)
        return settledAgain(result);
    commitBatch();
    if (m_context.host.yieldDue())
        m_context.host.processEvents();
    return true;
}

void SetWiseWalk::settleOneByOne(const CardList &cards, qsizetype start, qsizetype end)
{
    // What the batch held is undone: the server ended its transaction, or it is of no use.
    // Every card of the range is settled again, and reports again what it reported.
    discardForRedo(SettlementBatch::Redo::AllCards);
    m_oneByOne.settle(cards, start, end, [](qsizetype) {});
}
