// SPDX-License-Identifier: MIT
#include "cli/Commands.h"

#include "cli/Console.h"
#include "cli/ConsoleHost.h"
#include "settlement/ExpiryForecast.h"
#include "settlement/LedgerAudit.h"
#include "settlement/PassMetrics.h"
#include "settlement/PassReport.h"

#include <cstdio>

namespace Commands {

namespace {

int exitCodeOf(PassOutcome outcome, bool someCardsLeft)
{
    // Stopped by a signal: as a shell reports a program that the signal ended.
    if (outcome == PassOutcome::Stopped && ConsoleHost::stopSignal() != 0)
        return 128 + ConsoleHost::stopSignal();
    switch (outcome) {
    case PassOutcome::Completed:
        return someCardsLeft ? PostingsRefused : Ok;
    case PassOutcome::Busy:
        return DatabaseBusy;
    case PassOutcome::NoConnection:
    case PassOutcome::Failed:
    case PassOutcome::Stopped:
        break;
    }
    return PassNotCompleted;
}

// The forecast's CSV on standard output, its lines clear of the progress counter.
class CsvOutput final : public ExpiryOutput
{
public:
    explicit CsvOutput(ConsoleHost &host) : m_host(host) {}
    void begin() override
    {
        Console::keepLineEnds(stdout);
        Console::write(stdout, ExpiryForecast::csvHeader());
    }
    void line(const ExpiryLine &line) override
    {
        m_host.finish();
        Console::write(stdout, ExpiryForecast::csvLine(line));
    }

private:
    ConsoleHost &m_host;
};

// The audit's CSV on standard output: balances, lapses and their difference in whole points.
class AuditCsv final : public AuditOutput
{
public:
    explicit AuditCsv(ConsoleHost &host) : m_host(host) {}
    void begin() override
    {
        Console::keepLineEnds(stdout);
        Console::write(stdout, QStringLiteral("Cliente,NumCartao,Saldo,SaldoLotes,Caducados,"
                                              "CaducadosLotes,Diferenca\r\n"));
    }
    void story(const QString &text) override
    {
        m_host.finish();
        Console::write(stdout, text + QLatin1Char('\n'));
    }
    void line(const AuditLine &line) override
    {
        const LotLedger::Totals &t = line.totals;
        Currency apart;
        LedgerAudit::difference(t, &apart);
        QString text = ExpiryForecast::csvField(line.cliente) + QLatin1Char(',') +
                       ExpiryForecast::csvField(line.numCartao);
        for (const Currency amount : {t.book, t.ledger, t.bookLapsed, t.ledgerLapsed}) {
            Currency whole;
            amount.roundToWhole(&whole);
            text += QLatin1Char(',') + whole.toText();
        }
        m_host.finish();
        Console::write(stdout, text + QLatin1Char(',') + apart.toText() + QStringLiteral("\r\n"));
    }

private:
    ConsoleHost &m_host;
};

// A run that a signal stopped at a card boundary says so.
void sayIfInterrupted(const Database &database, PassOutcome outcome, ConsoleHost &host)
{
    if (outcome == PassOutcome::Stopped && ConsoleHost::stopSignal() != 0)
        host.append(PassReport::interruptedLine(database.clock.now(), ConsoleHost::stopSignal()));
}

// How every command that only reads ends: the progress counter cleared, standard output whole,
// and the outcome as the exit code.
int ended(const Database &database, PassOutcome outcome, ConsoleHost &host, bool someCardsLeft)
{
    sayIfInterrupted(database, outcome, host);
    host.finish();
    std::fflush(stdout);
    return exitCodeOf(outcome, someCardsLeft);
}

} // namespace

int settle(const Database &database, const PassOptions &options, const QString &metricsFile)
{
    ConsoleHost host;
    SettlementPass pass(database.settings, host, database.clock, options);
    const PassMetrics::Recorder figures(metricsFile, database.clock);
    const PassOutcome outcome = pass.run();
    if (outcome == PassOutcome::Stopped && ConsoleHost::stopSignal() != 0)
        host.append(PassReport::interruptedLine(database.clock.now(), ConsoleHost::stopSignal()));
    figures.record(outcome, pass.stats(), host);
    host.finish();
    return exitCodeOf(outcome, pass.stats().someCardsLeft());
}

int expiring(const Database &database, int days, BalanceStrategy strategy)
{
    // Standard output holds the CSV alone; the report's lines go with the progress.
    ConsoleHost host(stderr, stderr);
    CsvOutput output(host);
    ForecastOptions options;
    options.days = days;
    options.strategy = strategy;
    options.connection = database.connection;
    ExpiryForecast forecast(database.settings, host, database.clock, options, output);
    const PassOutcome outcome = forecast.run();
    return ended(database, outcome, host, forecast.stats().someCardsLeft());
}

int audit(const Database &database)
{
    ConsoleHost host(stderr, stderr);
    AuditCsv output(host);
    LedgerAudit ledgers(database.settings, host, database.clock, database.connection, output);
    const PassOutcome outcome = ledgers.run();
    return ended(database, outcome, host, ledgers.stats().someCardsLeft());
}

int explain(const Database &database, const QString &card, const QString &customer)
{
    ConsoleHost host(stderr, stderr);
    AuditCsv output(host);
    LedgerAudit ledgers(database.settings, host, database.clock, database.connection, output);
    const PassOutcome outcome = ledgers.explain(card, customer);
    return ended(database, outcome, host, false);
}

} // namespace Commands
