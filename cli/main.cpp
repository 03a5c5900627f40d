// SPDX-License-Identifier: MIT
// velmora-cli: one settlement pass from the console, for cron, systemd timers and Task Scheduler.
#include "cli/Console.h"
#include "cli/ConsoleHost.h"
#include "cli/SettingsSource.h"
#include "db/CommandLine.h"
#include "db/ConnectionString.h"
#include "db/DemoDatabase.h"
#include "settlement/Clock.h"
#include "settlement/ExpiryForecast.h"
#include "settlement/LedgerAudit.h"
#include "settlement/PassMetrics.h"
#include "settlement/PassReport.h"
#include "settlement/SettlementPass.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

enum ExitCode {
    Ok = 0,
    PassNotCompleted = 1, ///< no connection, or the pass failed
    BadCommandLine = 2,
    PostingsRefused = 3, ///< the pass ended, but one or more postings were refused
    DatabaseBusy = 4,    ///< another Velmora pass is settling the database
};

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

void printError(const QString &text)
{
    Console::write(stderr, text + QLatin1Char('\n'));
}

void printUsage()
{
    Console::write(
        stderr,
        QStringLiteral("Usage: velmora-cli [options] \"server;database;login;password;mode;\"\n"
                       "       velmora-cli [options] --settings <file>\n"
                       "       velmora-cli --create-demo <file>\n"
                       "The options: velmora-cli --help\n"));
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmora-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs one Velmora settlement pass now and prints its report.\n"
        "Exit codes: 0 the pass ended normally; 1 no connection, or a failed pass; 2 a bad "
        "command line; 3 the pass ended, but one or more postings were refused; 4 another "
        "Velmora pass is settling the database (the pass was put off)."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("Show the adjustments a pass would post; write "
                                                   "nothing to the database."));
    const QCommandLineOption setBased(QStringLiteral("set-based"),
                                      QStringLiteral("Settle the cards in batches of some 500, "
                                                     "each read with one grouped query and "
                                                     "written in multi-row inserts (large "
                                                     "schemes)."));
    const QCommandLineOption createDemo(QStringLiteral("create-demo"),
                                        QStringLiteral("Create a demonstration SQLite database "
                                                       "at <file> and exit."),
                                        QStringLiteral("file"));
    const QCommandLineOption settingsFile(
        QStringLiteral("settings"),
        QStringLiteral("Read the settings line from <file> (- for standard input) instead of the "
                       "command line. The file must be private to its owner (chmod 600)."),
        QStringLiteral("file"));
    const QCommandLineOption expiring(
        QStringLiteral("expiring"),
        QStringLiteral("Print as CSV, card by card, the points that will lapse on each of the "
                       "next <days> days (1 to 366), and today, if nothing else moves, and the "
                       "progress on "
                       "standard error; write nothing to the database."),
        QStringLiteral("days"));
    const QCommandLineOption metrics(
        QStringLiteral("metrics"),
        QStringLiteral("After the pass, write its figures to <file> in the Prometheus text "
                       "format, for a textfile collector."),
        QStringLiteral("file"));
    const QCommandLineOption audit(
        QStringLiteral("audit"),
        QStringLiteral("Print as CSV every card's balance by its rows and by the ledger of lots "
                       "replayed from its earnings and spendings, and their difference; write "
                       "nothing to the database."));
    const QCommandLineOption explain(
        QStringLiteral("explain"),
        QStringLiteral("Tell the story of the card numbered <card> under the ledger of lots: each "
                       "movement and adjustment, the balances and the lots still open; write "
                       "nothing to the database."),
        QStringLiteral("card"));
    const QCommandLineOption customer(
        QStringLiteral("customer"),
        QStringLiteral("With --explain, the card of this customer alone, where one number is on "
                       "several customers."),
        QStringLiteral("customer"));
    parser.addOption(dryRun);
    parser.addOption(audit);
    parser.addOption(explain);
    parser.addOption(customer);
    parser.addOption(setBased);
    parser.addOption(expiring);
    parser.addOption(metrics);
    parser.addOption(createDemo);
    parser.addOption(settingsFile);
    parser.addPositionalArgument(QStringLiteral("settings"),
                                 QStringLiteral("\"server;database;login;password;mode;\" "
                                                "(mode SQL, WIN or SQLITE)"));
    if (!parser.parse(QCoreApplication::arguments())) {
        printError(parser.errorText());
        return BadCommandLine;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        Console::write(stdout, parser.helpText());
        return Ok;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("velmora-cli %s\n", VELMORA_VERSION);
        return Ok;
    }

    int days = 0;
    if (parser.isSet(expiring)) {
        bool ok = false;
        days = parser.value(expiring).toInt(&ok, 10);
        if (!ok || days < 1 || days > ExpiryForecast::MaxDays) {
            printError(QStringLiteral("--expiring: o número de dias deve ser um inteiro de 1 a %1")
                           .arg(ExpiryForecast::MaxDays));
            return BadCommandLine;
        }
    }
    // The figures are those of a pass that settles: a preview's would tell the monitoring that
    // the cards were settled.
    // The audit and a card's story run no pass, and no forecast.
    for (const QCommandLineOption *mode : {&audit, &explain}) {
        for (const QCommandLineOption *other : {&expiring, &dryRun, &setBased, &audit}) {
            if (mode != other && parser.isSet(*mode) && parser.isSet(*other)) {
                printError(QStringLiteral("--%1 não se usa com --%2")
                               .arg(mode->names().constFirst(), other->names().constFirst()));
                return BadCommandLine;
            }
        }
    }
    if (parser.isSet(customer) && !parser.isSet(explain)) {
        printError(QStringLiteral("--customer só se usa com --explain"));
        return BadCommandLine;
    }
    if (parser.isSet(explain) && parser.value(explain).isEmpty()) {
        printError(QStringLiteral("--explain: falta o número do cartão"));
        return BadCommandLine;
    }
    for (const QCommandLineOption *other : {&expiring, &audit, &explain, &dryRun}) {
        if (parser.isSet(metrics) && parser.isSet(*other)) {
            printError(QStringLiteral("--metrics guarda os números de uma verificação; não se "
                                      "usa com --%1")
                           .arg(other->names().constFirst()));
            return BadCommandLine;
        }
    }
    if (parser.isSet(metrics) && parser.value(metrics).isEmpty()) {
        printError(QStringLiteral("--metrics: falta o nome do ficheiro"));
        return BadCommandLine;
    }
    if (parser.isSet(metrics)) {
        const QString refusal = PassMetrics::pathRefusal(parser.value(metrics));
        if (!refusal.isEmpty()) {
            printError(QStringLiteral("--metrics: ") + refusal);
            return BadCommandLine;
        }
    }

    SystemClock clock;
    if (parser.isSet(createDemo)) {
        QString error;
        if (!DemoDatabase::create(parser.value(createDemo), clock.today(), &error)) {
            printError(error);
            return BadCommandLine;
        }
        Console::write(stdout, parser.value(createDemo) + QLatin1Char('\n'));
        return Ok;
    }

    if (!parser.isSet(settingsFile) && parser.positionalArguments().isEmpty()) {
        printUsage();
        return BadCommandLine;
    }
    QString line;
    QString refusal;
    if (!SettingsSource::settingsLine(parser.values(settingsFile), parser.positionalArguments(),
                                      &line, &refusal)) {
        printError(refusal);
        return BadCommandLine;
    }
    refusal = SettingsSource::unexpectedTail(line);
    if (!refusal.isEmpty()) {
        printError(refusal);
        printUsage();
        return BadCommandLine;
    }
    int fields = 0;
    ConnectionSettings settings = CommandLine::split(line, &fields);
    refusal = CommandLine::normaliseAndValidate(settings, fields);
    if (!refusal.isEmpty()) {
        printError(refusal);
        if (fields > 5)
            printUsage();
        return BadCommandLine;
    }

    const ConnectionOptions connection = ConnectionOptions::fromEnvironment();
    // An encryption the driver cannot take is a bad setting, refused before connecting.
    refusal = ConnectionString::optionsRefusal(settings, connection);
    if (!refusal.isEmpty()) {
        printError(refusal);
        return BadCommandLine;
    }
    const BalanceStrategy strategy =
        parser.isSet(setBased) ? BalanceStrategy::SetBased : BalanceStrategy::PerCard;
    ConsoleHost::stopOnSignals();
    // A pass that a signal stopped at a card boundary says so.
    const auto interrupted = [&clock](PassOutcome outcome, ConsoleHost &host) {
        if (outcome == PassOutcome::Stopped && ConsoleHost::stopSignal() != 0)
            host.append(PassReport::interruptedLine(clock.now(), ConsoleHost::stopSignal()));
    };
    if (parser.isSet(audit) || parser.isSet(explain)) {
        ConsoleHost host(stderr, stderr);
        AuditCsv output(host);
        LedgerAudit ledgers(settings, host, clock, connection, output);
        const PassOutcome outcome =
            parser.isSet(explain)
                ? ledgers.explain(parser.value(explain),
                                  parser.isSet(customer) ? parser.value(customer) : QString())
                : ledgers.run();
        interrupted(outcome, host);
        host.finish();
        std::fflush(stdout);
        return exitCodeOf(outcome, ledgers.stats().someCardsLeft());
    }
    if (days > 0) {
        // Standard output holds the CSV alone; the report's lines go with the progress.
        ConsoleHost host(stderr, stderr);
        CsvOutput output(host);
        ForecastOptions forecastOptions;
        forecastOptions.days = days;
        forecastOptions.strategy = strategy;
        forecastOptions.connection = connection;
        ExpiryForecast forecast(settings, host, clock, forecastOptions, output);
        const PassOutcome outcome = forecast.run();
        interrupted(outcome, host);
        host.finish();
        std::fflush(stdout);
        return exitCodeOf(outcome, forecast.stats().someCardsLeft());
    }

    PassOptions options;
    options.connection = connection;
    options.dryRun = parser.isSet(dryRun);
    options.strategy = strategy;
    ConsoleHost host;
    SettlementPass pass(settings, host, clock, options);
    // No file named, none written: an empty --metrics was refused above.
    const PassMetrics::Recorder figures(parser.value(metrics), clock);
    const PassOutcome outcome = pass.run();
    interrupted(outcome, host);
    figures.record(outcome, pass.stats(), host);
    host.finish();
    return exitCodeOf(outcome, pass.stats().someCardsLeft());
}
