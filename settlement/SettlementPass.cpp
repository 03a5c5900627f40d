// SPDX-License-Identifier: MIT
#include "settlement/SettlementPass.h"

#include "db/Dialect.h"
#include "settlement/CardList.h"
#include "settlement/Clock.h"
#include "settlement/PassHost.h"
#include "settlement/PassLock.h"
#include "settlement/PassReport.h"

#include <QSqlError>
#include <QThread>

#include <exception>
#include <new>
#include <utility>

namespace {
// A card whose key, as the client read it back, is not the key as stored (a character outside a
// varchar column's code page): rows posted under it would belong to no card.
const QString kKeyNotReadBack = QStringLiteral("a chave não se lê tal como está gravada");

// A card's value as the statements bind it: empty text, never NULL.
QString boundText(QStringView value)
{
    return value.isEmpty() ? QStringLiteral("") : value.toString();
}

} // namespace

PassDates PassDates::forDay(const QDate &today)
{
    PassDates d;
    d.today = today;
    d.cutoff = today.addYears(-1);
    d.strDataHoje = today.toString(QStringLiteral("dd-MM-yyyy"));
    d.strDataLimite = d.cutoff.toString(QStringLiteral("yyyy-MM-dd"));
    return d;
}

SettlementPass::SettlementPass(const ConnectionSettings &settings, PassHost &host,
                               const Clock &clock, PassOptions options)
    : m_settings(settings), m_host(host), m_clock(clock), m_options(std::move(options))
{
}

SettlementPass::~SettlementPass()
{
    release();
}

void SettlementPass::failIfLost() const
{
    PassRun::failIfLost(*m_cnLigacao);
}

void SettlementPass::openBatch()
{
    if (m_batch)
        return;
    if (!m_options.dryRun && !m_writer)
        m_writer = std::make_unique<HistoryWriter>(*m_cnLigacao);
    auto batch = std::make_unique<SettlementBatch>(*m_cnLigacao, m_host, m_clock, m_writer.get(),
                                                   m_options.recordPostings, m_stats);
    batch->redoWhenDeadlockVictim(m_victimRedos < kVictimRedos);
    QString error;
    if (!batch->begin(&error))
        PassRun::fail(error);
    m_batch = std::move(batch);
    m_batchTimer.start();
}

void SettlementPass::abandonAsVictim()
{
    if (m_batch) {
        const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
        batch->abandon();
    }
    ++m_victimRedos;
    static constexpr unsigned long kPauses[kVictimRedos] = {100, 300, 1000};
    QThread::msleep(kPauses[qBound(1, m_victimRedos, kVictimRedos) - 1]);
}

void SettlementPass::cardDone()
{
    if (m_batch && (m_batch->cards() >= m_options.batchCards ||
                    m_batchTimer.elapsed() >= m_options.batchMilliseconds))
        commitBatch();
}

void SettlementPass::commitBatch()
{
    if (!m_batch)
        return;
    const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
    SettlementBatch::Counts counts;
    QString error;
    if (!batch->commit(&error, &counts, m_options.recordPostings ? &m_postings : nullptr))
        PassRun::fail(error);
    m_victimRedos = 0;
    m_stats.cardsSettled += counts.cards;
    m_stats.rowsPosted += counts.rows;
    Currency::add(m_stats.pointsLapsed, counts.pointsTaken, &m_stats.pointsLapsed);
    Currency::add(m_stats.pointsLifted, counts.pointsGiven, &m_stats.pointsLifted);
}

void SettlementPass::endBatchAfterFailure()
{
    if (!m_batch)
        return;
    // A batch holds whole cards only (a failure inside a card undoes the batch at once): its
    // cards are committed as they would have been without the failure, when the server still
    // holds them. On a lost connection nothing more is sent; either way only whole cards
    // remain, and the next pass settles the rest.
    if (!m_cnLigacao->isLost() && m_batch->stillOpen()) {
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

void SettlementPass::release()
{
    // Rolls back whatever batch is still open, before its connection goes.
    m_batch.reset();
    m_writer.reset();
    m_balance.clear();
    m_balancePrepared = false;
    m_rangeBalances.clear();
    m_keyCheck = QSqlQuery();
    m_keyCheckPrepared = false;
    m_lock.reset();
    if (m_cnLigacao && m_cnLigacao->isOpen())
        m_cnLigacao->close();
    m_cnLigacao.reset();
}

PassOutcome SettlementPass::run()
{
    m_stats = {};
    m_postings.clear();
    m_victimRedos = 0;
    ConnectionOptions connection = m_options.connection;
    connection.readOnly = connection.readOnly || m_options.dryRun;
    PassRun::Steps steps;
    steps.body = [this] {
        return settle();
    };
    steps.release = [this] {
        release();
    };
    steps.failing = [this] {
        endBatchAfterFailure();
        release();
        m_host.setWaitCursor(false);
    };
    return PassRun(m_settings, connection, m_host, m_clock).run(m_cnLigacao, m_lock, steps);
}

PassOutcome SettlementPass::settle()
{
    m_dates = PassDates::forDay(m_clock.today());

    m_host.setWaitCursor(true);
    m_host.setStatusVisible(true);
    m_host.processEvents();

    m_host.append(PassReport::startLine(m_clock.now()));
    m_host.caretToEnd();
    m_host.refresh();

    CardList cards;
    readCardList(cards);
    m_stats.cardsRead = cards.size();
    if (m_options.strategy == BalanceStrategy::SetBased)
        settleSetWise(cards);
    else
        settlePerCard(cards);
    if (m_host.stopRequested()) {
        release();
        m_host.setWaitCursor(false);
        return PassOutcome::Stopped;
    }

    m_host.append(PassReport::endLine(m_clock.now()));
    if (m_options.dryRun)
        m_host.append(PassReport::previewLine());
    m_host.caretToEnd();
    m_host.refresh();

    release();

    m_host.setStatusVisible(false);
    m_host.processEvents();
    m_host.resetCountdown();
    m_host.setWaitCursor(false);
    return PassOutcome::Completed;
}

void SettlementPass::readCardList(CardList &cards)
{
    QString error;
    QSqlQuery rsCartoes;
    // The set-wise walk reads the cards' values as the server compares them too, once, so that
    // it need not read the card table again for any range.
    const bool texts = m_options.strategy == BalanceStrategy::SetBased;
    const Dialect &dialect = m_cnLigacao->dialect();
    if (!m_cnLigacao->prepare(rsCartoes, texts ? dialect.cardListTextsSql() : dialect.cardListSql(),
                              &error) ||
        !m_cnLigacao->exec(rsCartoes, &error))
        PassRun::fail(error);
    CardKeys keys;
    QString cliente;
    QString numCartao;
    while (m_cnLigacao->next(rsCartoes, &error)) {
        if (!keys.firstTime(rsCartoes.value(0), rsCartoes.value(1), &cliente, &numCartao))
            continue;
        cards.add(cliente, numCartao);
        if (texts) {
            const QString clienteText = rsCartoes.value(2).toString();
            const QString numCartaoText = rsCartoes.value(3).toString();
            if (clienteText != cliente || numCartaoText != numCartao)
                cards.setTexts(cards.size() - 1, clienteText, numCartaoText);
        }
    }
    if (!error.isEmpty())
        PassRun::fail(error);
    rsCartoes.finish();
    cards.squeeze();
}

void SettlementPass::settleInBatches(qsizetype count,
                                     const std::function<CardResult(qsizetype)> &settle,
                                     const std::function<void(qsizetype)> &progress)
{
    QSet<qsizetype> leftOut; // cards whose failure ended a batch's transaction
    qsizetype batchStart = 0;
    for (qsizetype i = 0; i < count && !m_host.stopRequested();) {
        if (!m_batch) {
            openBatch();
            batchStart = i;
        }
        const qint64 settledBefore = m_batch->cards();
        const CardResult result = leftOut.contains(i) ? CardResult::Done : settle(i);
        if (result == CardResult::DeadlockVictim) {
            // No card was at fault: the batch is done again whole, its sums read again.
            abandonAsVictim();
            i = batchStart;
            continue;
        }
        if (result == CardResult::TransactionGone) {
            // The server undid the batch: its cards are settled again, this one left out. What
            // the others reported goes with them, to come again once; this card's failure stays.
            const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
            batch->discardForRedo(SettlementBatch::Redo::AllButLastCard);
            leftOut.insert(i);
            i = batchStart;
            continue;
        }
        // A settled card's yield comes after the batch's commit, so that no transaction stays
        // open while the user interface runs, and the card's line is shown with it; a host
        // whose yield would do nothing now keeps the batch.
        if (m_batch->cards() > settledBefore && m_host.yieldDue()) {
            commitBatch();
            m_host.processEvents();
        }
        progress(i);
        ++i;
        cardDone();
    }
    commitBatch();
}

void SettlementPass::settlePerCard(const CardList &cards)
{
    settleOneByOne(cards, 0, cards.size(),
                   [&](qsizetype i) { m_host.progress(i + 1, cards.size()); });
}

void SettlementPass::settleOneByOne(const CardList &cards, qsizetype start, qsizetype end,
                                    const std::function<void(qsizetype)> &progress)
{
    QSet<qsizetype> unread; // cards whose keys do not read back
    findUnreadKeys(cards, start, end, &unread);
    settleInBatches(
        end - start,
        [&](qsizetype i) {
            const qsizetype card = start + i;
            if (unread.contains(card))
                return cardUnread(cards.numCartao(card), kKeyNotReadBack);
            return settleCard(cards.cliente(card), cards.numCartao(card), nullptr);
        },
        [&](qsizetype i) { progress(start + i); });
}

void SettlementPass::findUnreadKeys(const CardList &cards, qsizetype start, qsizetype end,
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
    const qsizetype most = m_cnLigacao->dialect().keysPerCheck();
    for (qsizetype first = 0; first < suspects.size(); first += most)
        findUnreadKeys(cards, suspects.mid(first, most), unread);
}

void SettlementPass::findUnreadKeys(const CardList &cards, const QVector<qsizetype> &suspects,
                                    QSet<qsizetype> *unread)
{
    QVariantList keys;
    keys.reserve(2 * suspects.size());
    for (const qsizetype i : suspects)
        keys << boundText(cards.cliente(i)) << boundText(cards.numCartao(i));
    // The statement of a whole range is kept prepared: a statement of many values costs more to
    // prepare than to run. A shorter range, the last, is prepared for itself.
    const bool whole = suspects.size() == m_cnLigacao->dialect().keysPerCheck();
    QSqlQuery shorter;
    QSqlQuery &query = whole ? m_keyCheck : shorter;
    QString error;
    if (!whole || !m_keyCheckPrepared) {
        if (!m_cnLigacao->prepare(query, m_cnLigacao->dialect().unreadKeysSql(int(suspects.size())),
                                  &error))
            PassRun::fail(error);
        m_keyCheckPrepared = m_keyCheckPrepared || whole;
    }
    if (!m_cnLigacao->exec(query, keys, &error))
        PassRun::fail(error);
    while (m_cnLigacao->next(query, &error)) {
        const qsizetype n = query.value(0).toLongLong();
        if (n >= 0 && n < suspects.size())
            unread->insert(suspects.at(n));
    }
    if (!error.isEmpty())
        PassRun::fail(error);
    query.finish();
}

void SettlementPass::settleSetWise(const CardList &cards)
{
    m_rangeBalances.prepare(*m_cnLigacao);
    for (qsizetype start = 0; start < cards.size() && !m_host.stopRequested();) {
        // A batch ends after a card whose number the next card does not share: the ranges of
        // numbers never split a number between two batches.
        qsizetype end = qMin(cards.size(), start + qMax(1, m_options.batchCards));
        while (end < cards.size() && cards.numCartao(end) == cards.numCartao(end - 1))
            ++end;
        if (!settleRange(cards, start, end))
            continue; // read again and settled again
        m_host.progress(end, cards.size());
        start = end;
    }
}

bool SettlementPass::settleRange(const CardList &cards, qsizetype start, qsizetype end)
{
    openBatch();
    // A deadlock's victim is done again whole; a batch that a card's failure ended, one card
    // at a time.
    const auto settledAgain = [&](CardResult result) {
        if (result == CardResult::DeadlockVictim) {
            abandonAsVictim();
            return false;
        }
        settleRangeOneByOne(cards, start, end);
        return true;
    };
    QVector<RangeBalances::Card> read;
    QString error;
    if (!m_rangeBalances.read(cards, start, end, m_dates.cutoff, m_dates.today, &read, &error)) {
        // Refused whole (a sum beyond the database's own range): the cards are read one by
        // one, and the card at fault is named. The failure may have ended the transaction.
        failIfLost();
        settleRangeOneByOne(cards, start, end);
        return true;
    }
    QVector<CardRows> rows;
    for (const RangeBalances::Card &card : std::as_const(read)) {
        if (!card.keyReadsBack && card.sumsFound) {
            // Its rows, posted under the key as read, would not be found by the sums they
            // settle: on every pass they would be posted again.
            const CardResult result = cardUnread(card.numCartao, kKeyNotReadBack);
            if (result != CardResult::Done)
                return settledAgain(result);
            continue;
        }
        if (!card.readable) {
            // Read on its own, as the per-card walk reads it, which names it.
            const CardResult result = settleCard(card.cliente, card.numCartao, nullptr);
            if (result != CardResult::Done)
                return settledAgain(result);
            continue;
        }
        CardAdjustments plan;
        if (!LapseRule::adjust(card.atCutoff, card.today, &plan)) {
            const CardResult result =
                cardUnread(card.numCartao, QStringLiteral("saldo fora do intervalo"));
            if (result != CardResult::Done)
                return settledAgain(result);
            continue;
        }
        if (!plan.postsNothing())
            rows.append(cardRows(card.cliente, card.numCartao, plan));
    }
    const CardResult result = outcome(m_batch->postCards(rows));
    if (result != CardResult::Done)
        return settledAgain(result);
    commitBatch();
    if (m_host.yieldDue())
        m_host.processEvents();
    return true;
}

void SettlementPass::settleRangeOneByOne(const CardList &cards, qsizetype start, qsizetype end)
{
    // What the batch held is undone: the server ended its transaction, or it is of no use.
    // Every card of the range is settled again, and reports again what it reported.
    if (m_batch) {
        const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
        batch->discardForRedo(SettlementBatch::Redo::AllCards);
    }
    settleOneByOne(cards, start, end, [](qsizetype) {});
}

void SettlementPass::prepareBalances()
{
    QString error;
    if (!m_balance.prepare(*m_cnLigacao, &error))
        PassRun::fail(error);
    m_balancePrepared = true;
}

bool SettlementPass::readSums(QStringView cliente, QStringView numCartao, const QDate &bound,
                              CardSums *sums, QString *error)
{
    if (!m_balancePrepared)
        prepareBalances();
    switch (m_balance.read(cliente, numCartao, bound, sums, error)) {
    case CardBalance::Read::Ok:
        return true;
    case CardBalance::Read::Unconvertible:
        return false;
    case CardBalance::Read::Failed:
        break;
    }
    failIfLost();
    // A deadlock's victim: the batch is done again, or, after the last time, the card is left.
    if (m_cnLigacao->deadlockVictim())
        return false;
    PassRun::failUnlessTheCardsOwn(m_balance, *m_cnLigacao, cliente, numCartao, *error);
    return false;
}

SettlementPass::CardResult SettlementPass::outcome(SettlementBatch::Result result)
{
    switch (result) {
    case SettlementBatch::Result::Done:
        return CardResult::Done;
    case SettlementBatch::Result::TransactionGone:
        return CardResult::TransactionGone;
    case SettlementBatch::Result::DeadlockVictim:
        return CardResult::DeadlockVictim;
    case SettlementBatch::Result::Refused:
        // The batch holds whole cards: it ends as it does on any failure of the pass.
        PassRun::fail(m_batch->error());
    case SettlementBatch::Result::Failed:
        break;
    }
    // Part of a card may be in the batch: it goes back whole before the pass fails.
    const QString error = m_batch->error();
    const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
    batch->discard();
    PassRun::fail(error);
}

SettlementPass::CardResult SettlementPass::cardUnread(QStringView numCartao,
                                                      const QString &description)
{
    return outcome(m_batch->cardUnread(numCartao.toString(), description));
}

SettlementPass::CardResult SettlementPass::settleCard(QStringView cliente, QStringView numCartao,
                                                      const CardSums *atCutoff)
{
    CardSums read;
    QString error;
    if (!atCutoff) {
        if (!readSums(cliente, numCartao, m_dates.cutoff, &read, &error))
            return cardUnread(numCartao, error);
        atCutoff = &read;
    }
    Currency oldBalance;
    if (!LapseRule::balance(*atCutoff, &oldBalance))
        return cardUnread(numCartao, QStringLiteral("saldo fora do intervalo"));
    if (oldBalance.isZero())
        return CardResult::Done; // nothing lapses: today's balance is not read
    // Today's sums are read before anything is posted: the lapse is capped by what the card
    // holds today, and the lift follows from the same reading.
    CardSums today;
    if (!readSums(cliente, numCartao, m_dates.today, &today, &error))
        return cardUnread(numCartao, error);
    CardAdjustments plan;
    if (!LapseRule::adjust(*atCutoff, today, &plan))
        return cardUnread(numCartao, QStringLiteral("saldo fora do intervalo"));
    if (plan.postsNothing())
        return CardResult::Done;
    // Never committed here: the walk that settles the card owns its batch.
    return outcome(m_batch->postCard(cardRows(cliente, numCartao, plan)));
}

CardRows SettlementPass::cardRows(QStringView cliente, QStringView numCartao,
                                  const CardAdjustments &plan) const
{
    CardRows card;
    HistoryEntry row;
    row.Terceiro = cliente.toString();
    row.CliFor = QStringLiteral("C");
    row.NumCartao = numCartao.toString();
    row.Tipo = QStringLiteral("");
    row.Numero = QStringLiteral("");
    const QString cardLine =
        PassReport::cardSettledLine(row.NumCartao, m_dates.strDataLimite, m_options.dryRun);
    // A preview shows each row where the pass would post it.
    const auto add = [&](const HistoryEntry &entry) {
        card.rows.append(entry);
        if (m_options.dryRun)
            card.lines.append(PassReport::previewRowLine(entry));
    };
    const bool atCutoff = !plan.lapse.isZero() || !plan.refill.isZero();
    if (atCutoff) {
        const bool lapse = !plan.lapse.isZero();
        const Currency amount = lapse ? plan.lapse : plan.refill;
        row.Data = m_dates.cutoff;
        row.Afecta = lapse ? QStringLiteral("-") : QStringLiteral("+");
        row.ValorIncid = amount;
        row.Pontos = amount;
        // A refill's note shows the deficit it makes good, as a negative number.
        Currency shown = amount;
        if (!lapse && !Currency::subtract(Currency(), amount, &shown))
            shown = amount;
        row.Observa = PassReport::oldBalanceNote(shown);
        add(row);
        card.lines.append(cardLine);
    }
    if (!plan.lift.isZero()) {
        // Dated today: dated at the cutoff it would count in the next pass's old balance and
        // be settled, and lifted, again on every pass.
        row.Data = m_dates.today;
        row.Afecta = QStringLiteral("+");
        row.ValorIncid = plan.lift;
        row.Pontos = plan.lift;
        row.Observa = PassReport::negativeBalanceNote(m_dates.strDataHoje);
        add(row);
        if (!atCutoff)
            card.lines.append(cardLine);
    }
    return card;
}
