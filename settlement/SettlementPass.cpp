// SPDX-License-Identifier: MIT
#include "settlement/SettlementPass.h"

#include "db/Dialect.h"
#include "settlement/CardList.h"
#include "settlement/CardSettler.h"
#include "settlement/ClockCheck.h"
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
    const QDateTime started = m_clock.now();
    m_dates = PassDates::forDay(started.date());

    m_host.setWaitCursor(true);
    m_host.setStatusVisible(true);
    m_host.processEvents();

    m_host.append(PassReport::startLine(started));
    m_stats.clockOffsetMs = m_clock.offsetMs();
    const QString clockLine = PassReport::clockLine(m_clock.offsetMs());
    if (!clockLine.isEmpty())
        m_host.append(clockLine);
    m_host.caretToEnd();
    m_host.refresh();

    walk(started);
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

void SettlementPass::walk(const QDateTime &started)
{
    CardList cards;
    readCardList(cards);
    m_stats.cardsRead = cards.size();
    if (!cards.isEmpty()) {
        // Before the first card: a history without a column the rows are written with would
        // refuse every card, and a pass behind one that already posted would post it again.
        QStringList missing;
        QString error;
        if (!HistoryWriter::missingColumns(*m_cnLigacao, &missing, &error))
            PassRun::fail(error);
        if (!missing.isEmpty())
            PassRun::fail(
                QStringLiteral("a tabela PontosHistorico da base de dados %1 não tem "
                               "as colunas que a verificação grava: %2; nada foi "
                               "gravado")
                    .arg(m_cnLigacao->databaseName(), missing.join(QStringLiteral(", "))));
        ClockCheck::failIfBehind(*m_cnLigacao, started, m_dates.cutoff);
    }
    if (!m_options.dryRun)
        m_writer = std::make_unique<HistoryWriter>(*m_cnLigacao);
    // The walk's statements and batch go before the connection does.
    CardSettler settler(*m_cnLigacao, m_dates, m_options.dryRun);
    if (!cards.isEmpty())
        settler.findUnreadableRows();
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
    // The set-wise walk copies the list into a table of its session, once, with the cards'
    // values as the server compares them, so that no range need read the card table again.
    const bool copied = m_options.strategy == BalanceStrategy::SetBased;
    const Dialect &dialect = m_cnLigacao->dialect();
    if (copied) {
        for (const QString &sql : dialect.cardTableSql()) {
            if (!m_cnLigacao->runDirect(sql, &error))
                PassRun::fail(error);
        }
        for (const QString &sql : dialect.fillCardTableSql()) {
            if (!m_cnLigacao->run(sql, &error))
                PassRun::fail(error);
        }
    }
    if (!m_cnLigacao->prepare(
            rsCartoes, copied ? dialect.cardListTextsSql() : dialect.cardListSql(), &error) ||
        !m_cnLigacao->exec(rsCartoes, &error))
        PassRun::fail(error);
    const int first = copied ? 1 : 0; // the copy's columns after its row
    CardKeys keys;
    QString cliente;
    QString numCartao;
    while (m_cnLigacao->next(rsCartoes, &error)) {
        if (!keys.firstTime(rsCartoes.value(first), rsCartoes.value(first + 1), &cliente,
                            &numCartao))
            continue;
        if (!copied) {
            cards.add(cliente, numCartao);
            continue;
        }
        bool ok = false;
        const qint64 row = rsCartoes.value(0).toLongLong(&ok);
        if (!ok || row <= 0 || row > qint64(0xffffffffu) ||
            (!cards.isEmpty() && row <= qint64(cards.row(cards.size() - 1))))
            PassRun::fail(QStringLiteral("a lista de cartões veio fora de ordem"));
        cards.add(cliente, numCartao, quint32(row));
        const QString clienteText = rsCartoes.value(3).toString();
        const QString numCartaoText = rsCartoes.value(4).toString();
        if (clienteText != cliente || numCartaoText != numCartao)
            cards.setTexts(cards.size() - 1, clienteText, numCartaoText);
    }
    if (!error.isEmpty())
        PassRun::fail(error);
    rsCartoes.finish();
    cards.squeeze();
}
