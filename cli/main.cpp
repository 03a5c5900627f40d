// SPDX-License-Identifier: MIT
// velmora-cli: one settlement pass from the console, for cron, systemd timers and Task Scheduler.
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/ConsoleHost.h"
#include "cli/SettingsSource.h"
#include "db/CommandLine.h"
#include "db/ConnectionString.h"
#include "db/DemoDatabase.h"
#include "settlement/Clock.h"
#include "settlement/ExpiryForecast.h"
#include "settlement/PassMetrics.h"
#include "settlement/SettlementPass.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

using Commands::BadCommandLine;
using Commands::Ok;

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
    // The figures are those of a pass that settles: a preview's would tell the monitoring that
    // the cards were settled.
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
    const Commands::Database database{settings, connection, clock};
    if (parser.isSet(audit))
        return Commands::audit(database);
    if (parser.isSet(explain))
        return Commands::explain(database, parser.value(explain),
                                 parser.isSet(customer) ? parser.value(customer) : QString());
    if (days > 0)
        return Commands::expiring(database, days, strategy);
    PassOptions options;
    options.connection = connection;
    options.dryRun = parser.isSet(dryRun);
    options.strategy = strategy;
    // No file named, none written: an empty --metrics was refused above.
    return Commands::settle(database, options, parser.value(metrics));
}
