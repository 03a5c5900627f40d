// SPDX-License-Identifier: MIT
#include "settlement/SettlementPass.h"

#include "db/Dialect.h"
#include "settlement/CardList.h"
#include "settlement/CardSettler.h"
#include "settlement/Clock.h"
#include "settlement/PassHost.h"
#include "settlement/PassLock.h"
#include "settlement/PassReport.h"
#include "settlement/PassWalks.h"

#include <QSqlError>

#include <utility>

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

void SettlementPass::release()
{
    m_writer.reset();
    m_lock.reset();
    if (m_cnLigacao && m_cnLigacao->isOpen())
        m_cnLigacao->close();
    m_cnLigacao.reset();
}

PassOutcome SettlementPass::run()
{
    m_stats = {};
    m_postings.clear();
    ConnectionOptions connection = m_options.connection;
    connection.readOnly = connection.readOnly || m_options.dryRun;
    PassRun::Steps steps;
    steps.body = [this] {
        return settle();
    };
    steps.release = [this] {
        release();
    };
    // The walk has ended its batch by then, as a failure inside it may.
    steps.failing = [this] {
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

    walk();
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

void SettlementPass::walk()
{
    CardList cards;
    readCardList(cards);
    m_stats.cardsRead = cards.size();
    if (!m_options.dryRun)
        m_writer = std::make_unique<HistoryWriter>(*m_cnLigacao);
    // The walk's statements and batch go before the connection does.
    CardSettler settler(*m_cnLigacao, m_dates, m_options.dryRun);
    WalkContext context{*m_cnLigacao,   m_host,  m_clock, m_options, m_dates,
                        m_writer.get(), settler, m_stats, m_postings};
    if (m_options.strategy == BalanceStrategy::SetBased) {
        SetWiseWalk(context).settle(cards);
    } else {
        PerCardWalk(context).settle(cards, 0, cards.size(),
                                    [&](qsizetype i) { m_host.progress(i + 1, cards.size()); });
    }
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
