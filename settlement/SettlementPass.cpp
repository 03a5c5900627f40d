// SPDX-License-Identifier: MIT
#include "settlement/SettlementPass.h"

#include "db/Dialect.h"
#include "settlement/CardList.h"
#include "settlement/Clock.h"
#include "settlement/PassHost.h"
#include "settlement/PassLock.h"
#include "settlement/SetBasedBalances.h"
#include "settlement/SettlementBatch.h"

#include <QSqlError>

#include <exception>
#include <new>

namespace {
const QString kCrLf = QStringLiteral("\r\n");

Currency magnitude(Currency amount)
{
    Currency result;
    return amount.absolute(&result) ? result : amount;
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
                               PassOptions options)
    : m_settings(settings), m_host(host), m_options(options)
{
}

SettlementPass::~SettlementPass()
{
    release();
}

QString SettlementPass::oldBalanceNote(Currency amount)
{
    return QStringLiteral("Regularização Automática (") + amount.toText() +
           QStringLiteral(" pontos)");
}

QString SettlementPass::negativeBalanceNote(const QString &strDataHoje)
{
    // The note has never had a closing parenthesis; reports downstream match on it as it is.
    return QStringLiteral("Regularização Automática (Saldo em ") + strDataHoje +
           QStringLiteral(" era negativo");
}

QString SettlementPass::timestamp(const QDateTime &moment)
{
    return moment.toString(QStringLiteral("dd-MM-yyyy HH:mm:ss"));
}

void SettlementPass::fail(const QString &description)
{
    throw Failure{description};
}

void SettlementPass::failIfLost() const
{
    if (m_cnLigacao->isLost())
        fail(m_cnLigacao->lostReason());
}

void SettlementPass::openBatch()
{
    if (m_batch)
        return;
    auto batch = std::make_unique<SettlementBatch>(*m_cnLigacao, m_host, m_options.dryRun,
                                                   m_options.recordPostings);
    QString error;
    if (!batch->begin(&error))
        fail(error);
    m_batch = std::move(batch);
    m_batchTimer.start();
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
        fail(error);
    m_stats.cardsSettled += counts.cards;
    m_stats.rowsPosted += counts.rows;
    Currency::add(m_stats.pointsLapsed, counts.pointsTaken, &m_stats.pointsLapsed);
    Currency::add(m_stats.pointsLifted, counts.pointsGiven, &m_stats.pointsLifted);
}

void SettlementPass::endBatchAfterFailure()
{
    if (!m_batch)
        return;
    // The failing card goes back to its savepoint; the whole cards before it are committed as
    // they would have been without the failure. On a lost connection nothing more is sent,
    // and where the batch cannot be kept it is rolled back whole: either way only whole cards
    // remain, and the next pass settles the rest.
    QString error;
    const bool keep = !m_cnLigacao->isLost() && (!m_batch->cardOpen() || m_batch->undoCard(&error));
    if (keep) {
        try {
            commitBatch();
            return;
        } catch (const Failure &) {
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
    m_lock.reset();
    if (m_cnLigacao && m_cnLigacao->isOpen())
        m_cnLigacao->close();
    m_cnLigacao.reset();
}

PassOutcome SettlementPass::run()
{
    m_stats = {};
    m_postings.clear();
    try {
        QString mode = m_settings.strModoLigacao; // LigarServidor may fill in a blank one
        if (!LigarServidor(m_cnLigacao, m_settings.strServidor, m_settings.strUtilizador,
                           m_settings.strPassword, m_settings.strBaseDados, mode, m_host,
                           m_options.timeouts, m_options.dryRun))
            return PassOutcome::NoConnection;

        // Before anything is read: two passes that read a card's balance before either posts
        // would both post its adjustment.
        m_lock = std::make_unique<PassLock>(*m_cnLigacao, m_settings.strServidor);
        QString lockError;
        switch (m_lock->tryLock(&lockError)) {
        case PassLock::Result::Taken:
            break;
        case PassLock::Result::Busy:
            release();
            m_host.append(timestamp(m_host.clock().now()) +
                          QStringLiteral("   Verificação adiada: outro processo do Velmora está a "
                                         "verificar esta base de dados.") +
                          kCrLf);
            m_host.caretToEnd();
            m_host.refresh();
            return PassOutcome::Busy;
        case PassLock::Result::Failed:
            fail(lockError);
        }

        m_dates = PassDates::forDay(m_host.clock().today());

        m_host.setWaitCursor(true);
        m_host.setStatusVisible(true);
        m_host.processEvents();

        m_host.append(kCrLf + QStringLiteral("Início da Verificação - ") +
                      timestamp(m_host.clock().now()) + kCrLf);
        m_host.caretToEnd();
        m_host.refresh();

        if (m_options.strategy == BalanceStrategy::SetBased)
            settleSetBased();
        else
            settlePerCard();
        if (m_host.stopRequested()) {
            release();
            m_host.setWaitCursor(false);
            return PassOutcome::Stopped;
        }

        m_host.append(QStringLiteral("Fim da Verificação - ") + timestamp(m_host.clock().now()) +
                      kCrLf);
        // Last, so that whoever reads only the tail of a preview cannot miss it.
        if (m_options.dryRun)
            m_host.append(QStringLiteral("Simulação: nada foi gravado na base de dados.") + kCrLf);
        m_host.caretToEnd();
        m_host.refresh();

        release();

        m_host.setStatusVisible(false);
        m_host.processEvents();
        m_host.resetCountdown();
        m_host.setWaitCursor(false);
        return PassOutcome::Completed;
    } catch (const Failure &failure) {
        return failed(failure.description);
    } catch (const std::exception &e) {
        return failed(QString::fromLocal8Bit(e.what()));
    }
}

PassOutcome SettlementPass::failed(const QString &description)
{
    endBatchAfterFailure();
    release();
    m_host.setWaitCursor(false);
    m_host.append(timestamp(m_host.clock().now()) + QStringLiteral("   Falha! -> ") + description +
                  kCrLf);
    m_host.caretToEnd();
    return PassOutcome::Failed;
}

void SettlementPass::readCardList(CardList &cards)
{
    QString error;
    QSqlQuery rsCartoes;
    if (!m_cnLigacao->prepare(rsCartoes, m_cnLigacao->dialect().cardListSql(), &error) ||
        !m_cnLigacao->exec(rsCartoes, &error))
        fail(error);
    CardKeys keys;
    QString cliente;
    QString numCartao;
    while (rsCartoes.next()) {
        if (keys.firstTime(rsCartoes.value(0), rsCartoes.value(1), &cliente, &numCartao))
            cards.add(cliente, numCartao);
    }
    if (rsCartoes.lastError().isValid())
        fail(DbConnection::describe(rsCartoes.lastError()));
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
        if (!leftOut.contains(i) && settle(i) == CardResult::TransactionGone) {
            // The server undid the batch: its cards are settled again, this one left out.
            const std::unique_ptr<SettlementBatch> batch = std::move(m_batch);
            batch->discard();
            leftOut.insert(i);
            i = batchStart;
            continue;
        }
        progress(i);
        ++i;
        cardDone();
    }
    commitBatch();
}

void SettlementPass::settlePerCard()
{
    CardList cards;
    readCardList(cards);
    m_stats.cardsRead = cards.size();
    if (!cards.isEmpty())
        prepareBalances();
    settleInBatches(
        cards.size(),
        [&](qsizetype i) { return settleCard(cards.cliente(i), cards.numCartao(i), nullptr); },
        [&](qsizetype i) { m_host.progress(i + 1, cards.size()); });
}

void SettlementPass::settleSetBased()
{
    // Every old balance in one read, kept only for the cards that may need settling; those are
    // then settled one by one exactly as the per-card walk settles them. A card whose sums
    // the grouped read could not convert is read on its own; a grouped read that the database
    // refuses altogether (a sum beyond its own range) leaves the pass to the per-card walk.
    SetBasedBalances balances;
    QString error;
    if (!balances.read(*m_cnLigacao, m_dates.cutoff, &error)) {
        failIfLost();
        settlePerCard();
        return;
    }
    m_stats.cardsRead = balances.cardsRead();
    const qint64 pending = balances.size();
    if (pending > 0)
        prepareBalances();
    const qint64 needingNothing = m_stats.cardsRead - pending;
    if (m_stats.cardsRead > 0)
        m_host.progress(needingNothing, m_stats.cardsRead);
    settleInBatches(
        pending,
        [&](qsizetype i) {
            return settleCard(balances.cliente(i), balances.numCartao(i),
                              balances.readable(i) ? &balances.sums(i) : nullptr);
        },
        [&](qsizetype i) { m_host.progress(needingNothing + i + 1, m_stats.cardsRead); });
}

void SettlementPass::prepareBalances()
{
    QString error;
    if (!m_balance.prepare(*m_cnLigacao, &error))
        fail(error);
}

bool SettlementPass::readSums(QStringView cliente, QStringView numCartao, const QDate &bound,
                              CardSums *sums, QString *error)
{
    switch (m_balance.read(cliente, numCartao, bound, sums, error)) {
    case CardBalance::Read::Ok:
        return true;
    case CardBalance::Read::Unconvertible:
        return false;
    case CardBalance::Read::Failed:
        break;
    }
    failIfLost();
    // The card's own movements, or the statement whatever the card (a table gone, a right
    // withdrawn): only the first is a failure of this card alone.
    QString whatever;
    if (m_balance.readsWithoutMovements(cliente, numCartao, &whatever))
        return false;
    failIfLost();
    fail(*error);
}

bool SettlementPass::post(const HistoryEntry &entry)
{
    if (m_options.dryRun) {
        m_batch->addCardLine(
            QStringLiteral("    Simulação: cartão nº %1 (cliente %2) %3 %4 em %5: %6")
                .arg(entry.NumCartao, entry.Terceiro, entry.Afecta,
                     magnitude(entry.Pontos).toText(),
                     entry.Data.toString(QStringLiteral("yyyy-MM-dd")), entry.Observa) +
            kCrLf);
        m_batch->addRow(entry);
        return true;
    }
    if (!m_writer)
        m_writer = std::make_unique<HistoryWriter>(*m_cnLigacao);
    if (m_writer->GravarHistorico(entry, m_host.clock().now(), *m_batch)) {
        m_batch->addRow(entry);
        return true;
    }
    failIfLost();
    ++m_stats.rowsFailed;
    return false;
}

SettlementPass::CardResult SettlementPass::settleCard(QStringView cliente, QStringView numCartao,
                                                      const CardSums *atCutoff)
{
    CardSums read;
    QString error;
    if (!atCutoff) {
        if (!readSums(cliente, numCartao, m_dates.cutoff, &read, &error))
            return cardFailed(numCartao, error);
        atCutoff = &read;
    }
    Currency oldBalance;
    if (!LapseRule::balance(*atCutoff, &oldBalance))
        return cardFailed(numCartao, QStringLiteral("saldo fora do intervalo"));
    if (oldBalance.isZero())
        return CardResult::Done; // nothing lapses: today's balance is not read
    // Today's sums are read before anything is posted: the lapse is capped by what the card
    // holds today, and the lift follows from the same reading.
    CardSums today;
    if (!readSums(cliente, numCartao, m_dates.today, &today, &error))
        return cardFailed(numCartao, error);
    CardAdjustments plan;
    if (!LapseRule::adjust(*atCutoff, today, &plan))
        return cardFailed(numCartao, QStringLiteral("saldo fora do intervalo"));
    if (plan.postsNothing())
        return CardResult::Done;
    return postAdjustments(cliente, numCartao, plan);
}

SettlementPass::CardResult SettlementPass::cardFailed(QStringView numCartao,
                                                      const QString &description)
{
    m_batch->append(QStringLiteral("Falha no cartão nº ") + numCartao.toString() +
                    QStringLiteral(" -> ") + description + kCrLf);
    m_batch->caretToEnd();
    m_batch->refresh();
    ++m_stats.cardsFailed;
    return afterCardFailure();
}

SettlementPass::CardResult SettlementPass::afterCardFailure()
{
    // Some errors end the whole transaction on the server (T-SQL's XACT_ABORT, a trigger's
    // ROLLBACK, Babelfish on an overflow): then the batch's other cards were undone too.
    bool open = true;
    QString error;
    if (!m_cnLigacao->dialect().transactionStillOpen(*m_cnLigacao, &open, &error)) {
        failIfLost();
        fail(error);
    }
    return open ? CardResult::Done : CardResult::TransactionGone;
}

void SettlementPass::appendCardLine(const QString &numCartao)
{
    m_batch->addCardLine(QStringLiteral("    Cartão nº ") + numCartao +
                         QStringLiteral(" saldado até ao dia ") + m_dates.strDataLimite + kCrLf);
}

SettlementPass::CardResult SettlementPass::postAdjustments(QStringView cliente,
                                                           QStringView numCartao,
                                                           const CardAdjustments &plan)
{
    // A card is settled whole or not at all: a failure between its two adjustments would
    // otherwise leave it refilled but negative, or lifted without its refill. Its savepoint
    // lets it go back alone while the batch's other cards stay.
    QString error;
    if (!m_batch->openCard(&error)) {
        failIfLost();
        fail(error);
    }

    HistoryEntry row;
    row.Terceiro = cliente.toString();
    row.CliFor = QStringLiteral("C");
    row.NumCartao = numCartao.toString();
    row.Tipo = QStringLiteral("");
    row.Numero = QStringLiteral("");
    // A posting that was refused was reported by GravarHistorico. The card is then left as it
    // was (rolled back to its savepoint) for the next pass to settle whole.
    const auto refused = [this, &error] {
        if (m_batch->undoCard(&error))
            return CardResult::Done;
        failIfLost();
        if (afterCardFailure() == CardResult::TransactionGone)
            return CardResult::TransactionGone;
        fail(error);
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
            fail(QStringLiteral("saldo fora do intervalo"));
        row.Observa = oldBalanceNote(shown);
        if (!post(row))
            return refused();
        appendCardLine(row.NumCartao);
    }
    if (!plan.lift.isZero()) {
        // Dated today: dated at the cutoff it would count in the next pass's old balance and
        // be settled, and lifted, again on every pass.
        row.Data = m_dates.today;
        row.Afecta = QStringLiteral("+");
        row.ValorIncid = plan.lift;
        row.Pontos = plan.lift;
        row.Observa = negativeBalanceNote(m_dates.strDataHoje);
        if (!post(row))
            return refused();
        if (!atCutoff)
            appendCardLine(row.NumCartao);
    }

    if (!m_batch->closeCard(&error)) {
        failIfLost();
        fail(error);
    }
    // The card's yield comes after the batch's commit, so that no transaction stays open
    // while the user interface runs, and the card's line is shown with it; a host whose yield
    // would do nothing now keeps the batch.
    if (m_host.yieldDue()) {
        commitBatch();
        m_host.processEvents();
    }
    return CardResult::Done;
}
