// SPDX-License-Identifier: MIT
#include "settlement/SettlementPass.h"

#include "db/Dialect.h"
#include "db/TransactionGuard.h"
#include "settlement/CardList.h"
#include "settlement/Clock.h"
#include "settlement/PassHost.h"
#include "settlement/PassLock.h"
#include "settlement/SetBasedBalances.h"

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

SettlementPass::Tally SettlementPass::tally() const
{
    return {m_stats.rowsPosted, m_postings.size(), m_stats.cardsSettled};
}

void SettlementPass::restore(const Tally &to)
{
    m_stats.rowsPosted = to.rows;
    m_postings.resize(to.postings);
    m_stats.cardsSettled = to.cards;
}

void SettlementPass::openBatch()
{
    if (m_batch)
        return;
    // Reads share the batch as well: on SQLite the file lock is then taken once a batch
    // rather than around every statement. A preview only reads, under a shared lock.
    const QString begin = m_options.dryRun ? QString() : m_cnLigacao->dialect().beginWritingSql();
    auto batch = std::make_unique<TransactionGuard>(m_cnLigacao->database(), begin,
                                                    m_cnLigacao->dialect().openTransactionSql());
    if (!batch->begun())
        fail(batch->error());
    m_batch = std::move(batch);
    m_batchCards = 0;
    m_batchTimer.start();
}

void SettlementPass::cardDone()
{
    ++m_batchCards;
    if (m_batch && (m_batchCards >= m_options.batchCards ||
                    m_batchTimer.elapsed() >= m_options.batchMilliseconds))
        commitBatch();
}

void SettlementPass::commitBatch()
{
    if (!m_batch)
        return;
    const std::unique_ptr<TransactionGuard> batch = std::move(m_batch);
    if (!batch->commit())
        fail(batch->error());
    m_committed = tally();
}

void SettlementPass::endBatchAfterFailure()
{
    if (!m_batch) {
        restore(m_committed);
        return;
    }
    // The failing card goes back to its savepoint; the whole cards before it are committed as
    // they would have been without the failure. Where even that fails (a lost connection, a
    // transaction the server has ended) the batch is rolled back whole: either way only
    // whole cards remain, and the next pass settles the rest.
    const bool keep = !m_cardOpen || rollBackCard();
    m_cardOpen = false;
    const std::unique_ptr<TransactionGuard> batch = std::move(m_batch);
    if (keep && batch->commit())
        m_committed = tally();
    restore(m_committed);
}

bool SettlementPass::rollBackCard()
{
    const Dialect &dialect = m_cnLigacao->dialect();
    if (!m_options.dryRun &&
        !(m_batch->rollbackToSavepoint(dialect) && m_batch->releaseSavepoint(dialect)))
        return false; // still open: the batch must not be committed with part of the card
    restore(m_cardStart);
    m_cardOpen = false;
    return true;
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
    m_committed = {};
    m_cardStart = {};
    m_cardOpen = false;
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
    if (!m_cnLigacao->prepare(rsCartoes, m_cnLigacao->dialect().cardListSql(), &error))
        fail(error);
    if (!rsCartoes.exec())
        fail(DbConnection::describe(rsCartoes.lastError()));
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

void SettlementPass::settlePerCard()
{
    CardList cards;
    readCardList(cards);
    m_stats.cardsRead = cards.size();
    if (!cards.isEmpty())
        prepareBalances();
    for (qsizetype i = 0; i < cards.size() && !m_host.stopRequested(); ++i) {
        openBatch();
        const QStringView cliente = cards.cliente(i);
        const QStringView numCartao = cards.numCartao(i);
        settleCard(cliente, numCartao, readSums(cliente, numCartao, m_dates.cutoff));
        m_host.progress(i + 1, cards.size());
        cardDone();
    }
    commitBatch();
}

void SettlementPass::settleSetBased()
{
    // Every old balance in one read, kept only for the cards that may need settling; those are
    // then settled one by one exactly as the per-card walk settles them.
    SetBasedBalances balances;
    QString error;
    if (!balances.read(*m_cnLigacao, m_dates.cutoff, &error))
        fail(error);
    m_stats.cardsRead = balances.cardsRead();
    const qint64 pending = balances.size();
    if (pending > 0)
        prepareBalances();
    const qint64 needingNothing = m_stats.cardsRead - pending;
    if (m_stats.cardsRead > 0)
        m_host.progress(needingNothing, m_stats.cardsRead);
    for (qsizetype i = 0; i < balances.size() && !m_host.stopRequested(); ++i) {
        openBatch();
        settleCard(balances.cliente(i), balances.numCartao(i), balances.sums(i));
        m_host.progress(needingNothing + i + 1, m_stats.cardsRead);
        cardDone();
    }
    commitBatch();
}

void SettlementPass::prepareBalances()
{
    QString error;
    if (!m_balance.prepare(*m_cnLigacao, &error))
        fail(error);
}

CardSums SettlementPass::readSums(QStringView cliente, QStringView numCartao, const QDate &bound)
{
    CardSums sums;
    QString error;
    if (!m_balance.read(cliente, numCartao, bound, &sums, &error))
        fail(error);
    return sums;
}

bool SettlementPass::post(const HistoryEntry &entry)
{
    if (m_options.dryRun) {
        m_host.append(QStringLiteral("    Simulação: cartão nº %1 (cliente %2) %3 %4 em %5: %6")
                          .arg(entry.NumCartao, entry.Terceiro, entry.Afecta,
                               magnitude(entry.Pontos).toText(),
                               entry.Data.toString(QStringLiteral("yyyy-MM-dd")), entry.Observa) +
                      kCrLf);
        if (m_options.recordPostings)
            m_postings.append(entry);
        ++m_stats.rowsPosted;
        return true;
    }
    if (!m_writer)
        m_writer = std::make_unique<HistoryWriter>(*m_cnLigacao);
    if (m_writer->GravarHistorico(entry, m_host.clock().now(), m_host)) {
        if (m_options.recordPostings)
            m_postings.append(entry);
        ++m_stats.rowsPosted;
        return true;
    }
    ++m_stats.rowsFailed;
    return false;
}

void SettlementPass::settleCard(QStringView cliente, QStringView numCartao,
                                const CardSums &atCutoff)
{
    Currency oldBalance;
    if (!LapseRule::balance(atCutoff, &oldBalance))
        fail(QStringLiteral("saldo fora do intervalo"));
    if (oldBalance.isZero())
        return; // nothing lapses: today's balance is not read
    // Today's sums are read before anything is posted: the lapse is capped by what the card
    // holds today, and the lift follows from the same reading.
    CardAdjustments plan;
    if (!LapseRule::adjust(atCutoff, readSums(cliente, numCartao, m_dates.today), &plan))
        fail(QStringLiteral("saldo fora do intervalo"));
    if (!plan.postsNothing())
        postAdjustments(cliente, numCartao, plan);
}

void SettlementPass::appendCardLine(const QString &numCartao)
{
    m_host.append(QStringLiteral("    Cartão nº ") + numCartao +
                  QStringLiteral(" saldado até ao dia ") + m_dates.strDataLimite + kCrLf);
    m_host.caretToEnd();
    m_host.refresh();
}

void SettlementPass::postAdjustments(QStringView cliente, QStringView numCartao,
                                     const CardAdjustments &plan)
{
    // A card is settled whole or not at all: a failure between its two adjustments would
    // otherwise leave it lapsed but negative, or lifted without its lapse. Its savepoint lets
    // it go back alone while the batch's other cards stay.
    const Dialect &dialect = m_cnLigacao->dialect();
    if (!m_options.dryRun && !m_batch->savepoint(dialect))
        fail(m_batch->error());
    m_cardStart = tally();
    m_cardOpen = true;

    HistoryEntry row;
    row.Terceiro = cliente.toString();
    row.CliFor = QStringLiteral("C");
    row.NumCartao = numCartao.toString();
    row.Tipo = QStringLiteral("");
    row.Numero = QStringLiteral("");
    // A posting that failed was reported by GravarHistorico. The card is then left as it was
    // (rolled back to its savepoint) for the next pass to settle whole.
    const auto postOrRollBack = [this](const HistoryEntry &entry) {
        if (post(entry))
            return true;
        if (!rollBackCard())
            fail(m_batch->error());
        return false;
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
        if (!postOrRollBack(row))
            return;
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
        if (!postOrRollBack(row))
            return;
        if (!atCutoff)
            appendCardLine(row.NumCartao);
    }

    if (!m_options.dryRun && !m_batch->releaseSavepoint(dialect))
        fail(m_batch->error());
    m_cardOpen = false;
    ++m_stats.cardsSettled;
    // The card's yield comes after the batch's commit, so that no transaction stays open
    // while the user interface runs; a host whose yield would do nothing now keeps the batch.
    if (m_host.yieldDue()) {
        commitBatch();
        m_host.processEvents();
    }
}
