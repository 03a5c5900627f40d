// SPDX-License-Identifier: MIT
// velmora-bench: prices a settlement pass on a generated SQLite scheme. Each measurement runs
// in a child process of its own, so that every peak resident size is that measurement's.
#include "bench/Generator.h"
#include "bench/Measure.h"
#include "db/CommandLine.h"
#include "db/DbConnection.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <QSqlQuery>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using Host = Measure::Request::Host;

void print(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void printError(const QString &text)
{
    std::fprintf(stderr, "velmora-bench: %s\n", text.toLocal8Bit().constData());
}

QString mib(qint64 kib)
{
    return QString::number(static_cast<double>(kib) / 1024.0, 'f', 1);
}

/// Starts the measurements, each in a child process of this program.
class Runner
{
public:
    Runner(QString folder, int repeat, QString server)
        : m_folder(std::move(folder)), m_repeat(repeat), m_server(std::move(server))
    {
    }

    QString copyOf(const QString &source, const QString &name) const
    {
        const QString target = QDir(m_folder).filePath(name);
        QFile::remove(target);
        if (!QFile::copy(source, target))
            printError(QStringLiteral("cannot copy %1 to %2").arg(source, target));
        return target;
    }

    Measure::Result once(const QString &what, const QString &database) const
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{QStringLiteral("--work"), m_folder, QStringLiteral("--measure"), what,
                              QStringLiteral("--db"),   database};
        if (!m_server.isEmpty())
            arguments << QStringLiteral("--server") << m_server;
        child.start(QCoreApplication::applicationFilePath(), arguments);
        QString last;
        if (child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit) {
            const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
            for (const QString &line : out.split(QLatin1Char('\n'))) {
                if (line.startsWith(QLatin1String("result ")))
                    last = line;
            }
        }
        Measure::Result result = Measure::Result::fromLine(last);
        if (last.isEmpty())
            result.error = QStringLiteral("the measuring process did not end normally");
        return result;
    }

    /// A first and a second pass on a fresh copy of `source`, `repeat` times; the fastest of
    /// each is kept, with the highest peak of all.
    /// On a server, `reset` takes the tables back to their generated state instead of a copy.
    QPair<Measure::Result, Measure::Result>
    twoPasses(const QString &what, const QString &source,
              const std::function<QString()> &reset = {}) const
    {
        QPair<Measure::Result, Measure::Result> best;
        for (int i = 0; i < m_repeat; ++i) {
            QString copy;
            if (reset) {
                const QString error = reset();
                if (!error.isEmpty()) {
                    best.first.error = best.second.error = error;
                    return best;
                }
            } else {
                copy = copyOf(source, what + QStringLiteral(".db"));
            }
            keepFastest(best.first, once(what, copy), i);
            keepFastest(best.second, once(what, copy), i);
        }
        return best;
    }

    Measure::Result repeated(const QString &what, const QString &database) const
    {
        Measure::Result best;
        for (int i = 0; i < m_repeat; ++i)
            keepFastest(best, once(what, database), i);
        return best;
    }

private:
    static void keepFastest(Measure::Result &best, const Measure::Result &next, int run)
    {
        const qint64 peak = std::max(best.peakKiB, next.peakKiB);
        if (run == 0 || !next.ok || (best.ok && next.seconds < best.seconds))
            best = next;
        best.peakKiB = peak;
    }

    QString m_folder;
    int m_repeat;
    QString m_server;
};

struct Line
{
    QString what;
    QString pass;
    Measure::Result result;
    Host host;
};

void printTable(const QVector<Line> &lines, const Measure::Result &baseHeadless,
                const Measure::Result &baseWindow)
{
    const QString format = QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10\n");
    print(format.arg(QStringLiteral("measurement"), -26)
              .arg(QStringLiteral("pass"), -6)
              .arg(QStringLiteral("settled"), 7)
              .arg(QStringLiteral("time s"), 8)
              .arg(QStringLiteral("cpu s"), 7)
              .arg(QStringLiteral("cards/s"), 8)
              .arg(QStringLiteral("x bound"), 7)
              .arg(QStringLiteral("window %"), 8)
              .arg(QStringLiteral("peak RSS MiB (B/card)"), 22)
              .arg(QStringLiteral("batch ms (rows)"), 16));
    const double boundSeconds = lines.front().result.seconds;
    for (const Line &line : lines) {
        const Measure::Result &r = line.result;
        if (!r.ok) {
            print(QStringLiteral("%1 %2 failed: %3\n")
                      .arg(line.what, -26)
                      .arg(line.pass, -6)
                      .arg(r.error));
            continue;
        }
        const bool window = line.host == Host::Window;
        const qint64 baseKiB = window ? baseWindow.peakKiB : baseHeadless.peakKiB;
        const double perCard = static_cast<double>(r.peakKiB - baseKiB) * 1024.0 /
                               static_cast<double>(std::max<qint64>(r.cards, 1));
        const double seconds = std::max(r.seconds, 1e-9);
        print(format.arg(line.what, -26)
                  .arg(line.pass, -6)
                  .arg(r.settled, 7)
                  .arg(r.seconds, 8, 'f', 3)
                  .arg(r.cpuSeconds, 7, 'f', 3)
                  .arg(qRound64(static_cast<double>(r.cards) / seconds), 8)
                  .arg(boundSeconds > 0 ? r.seconds / boundSeconds : 0.0, 7, 'f', 2)
                  .arg(window ? QString::number(100.0 * r.hostSeconds / seconds, 'f', 1)
                              : QStringLiteral("-"),
                       8)
                  .arg(QStringLiteral("%1 (%2)").arg(mib(r.peakKiB)).arg(qRound(perCard)), 22)
                  .arg(r.batchRows > 0 ? QStringLiteral("%1 (%2)").arg(r.batchMs).arg(r.batchRows)
                                       : QStringLiteral("-"),
                       16));
    }
    print(QStringLiteral(
              "\nx bound: wall time over the bound's. window %: share of the pass's wall time "
              "spent inside the window's calls.\n"
              "B/card: peak RSS above that of a pass over no cards with the same host "
              "(%1 MiB headless, %2 MiB with the window), per card.\n"
              "batch ms (rows): the longest a batch held its transaction, from its begin to its "
              "commit, and the most rows one batch posted.\n")
              .arg(mib(baseHeadless.peakKiB), mib(baseWindow.peakKiB)));
}

int child(const QCommandLineParser &parser, int argc, char *argv[])
{
    Measure::Request request;
    request.connection = ConnectionOptions::fromEnvironment();
    // Its schemes are dated from Measure::today(), which its passes take as theirs.
    request.connection.clock = QStringLiteral("machine");
    const QString what = parser.value(QStringLiteral("measure"));
    request.kind = what == QLatin1String("bound")    ? Measure::Request::Kind::Bound
                   : what == QLatin1String("script") ? Measure::Request::Kind::Script
                   : what == QLatin1String("audit")  ? Measure::Request::Kind::Audit
                                                     : Measure::Request::Kind::Pass;
    request.server = parser.value(QStringLiteral("server"));
    request.setBased = what == QLatin1String("set-based");
    request.host = what == QLatin1String("window") ? Host::Window : Host::Headless;
    request.database = parser.value(QStringLiteral("db"));
    request.workFolder = parser.value(QStringLiteral("work"));
    Measure::Result result;
    // Only the window needs the widgets; the other measurements keep their base small.
    if (request.host == Host::Window) {
        QApplication app(argc, argv);
        result = Measure::run(request);
    } else {
        QCoreApplication app(argc, argv);
        result = Measure::run(request);
    }
    print(result.toLine() + QLatin1Char('\n'));
    if (!result.ok)
        printError(QStringLiteral("%1: %2").arg(what, result.error));
    return result.ok ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Generates a SQLite loyalty scheme and measures settlement passes over it: the per-card "
        "strategy with a headless host and with the window, the set-based strategy, the "
        "single grouped query that bounds them and a set-wise SQL script that posts what a "
        "first pass posts. Asserts nothing.\n"
        "With --server it measures on a SQL Server instead: it DROPS and creates the tables "
        "PontosCartoes and PontosHistorico in the database named there, so point it only at a "
        "scratch database."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("cards"), QStringLiteral("Cards to generate (default 10000)."),
         QStringLiteral("n"), QStringLiteral("10000")},
        {QStringLiteral("rows"), QStringLiteral("History rows per card, on average (default 10)."),
         QStringLiteral("r"), QStringLiteral("10")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the generated data (default 1)."),
         QStringLiteral("s"), QStringLiteral("1")},
        {QStringLiteral("keep-db"), QStringLiteral("Keep the generated database and its copies.")},
        {QStringLiteral("dir"),
         QStringLiteral("Folder for the databases (default: the temporary folder; /dev/shm "
                        "leaves the disk's syncing out)."),
         QStringLiteral("folder"), QDir::tempPath()},
        {QStringLiteral("repeat"),
         QStringLiteral("Runs of each measurement, the fastest shown (default 1)."),
         QStringLiteral("k"), QStringLiteral("1")},
        {QStringLiteral("settle-share"),
         QStringLiteral("Percent of the cards holding an old balance that a first pass settles "
                        "(default 10; 81 is a scheme that was never settled)."),
         QStringLiteral("percent"), QStringLiteral("10")},
        {QStringLiteral("server"),
         QStringLiteral("Measure on SQL Server: \"server;database;login;password;SQL;\". The "
                        "tables PontosCartoes and PontosHistorico of that database are dropped, "
                        "created, filled and dropped again: a scratch database only."),
         QStringLiteral("connection")},
        {QStringLiteral("only"),
         QStringLiteral("Only these passes, comma-separated, of script, audit, per-card, window, "
                        "set-based (default: all); the bound is always measured."),
         QStringLiteral("list")},
        {QStringLiteral("card-index"),
         QStringLiteral("The card table's shapes to measure: with, without or both (default "
                        "both)."),
         QStringLiteral("shape"), QStringLiteral("both")},
    });
    QCommandLineOption measureOption(QStringLiteral("measure"), QString(), QStringLiteral("what"));
    QCommandLineOption dbOption(QStringLiteral("db"), QString(), QStringLiteral("file"));
    QCommandLineOption workOption(QStringLiteral("work"), QString(), QStringLiteral("folder"));
    for (QCommandLineOption *internal : {&measureOption, &dbOption, &workOption}) {
        internal->setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(*internal);
    }
    if (!parser.parse(arguments)) {
        printError(parser.errorText());
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        print(parser.helpText());
        return 0;
    }
    if (parser.isSet(measureOption))
        return child(parser, argc, argv);

    QCoreApplication app(argc, argv);
    Generator::Shape shape;
    bool ok[5] = {};
    shape.cards = parser.value(QStringLiteral("cards")).toLongLong(&ok[0]);
    shape.rowsPerCard = parser.value(QStringLiteral("rows")).toInt(&ok[1]);
    shape.seed = parser.value(QStringLiteral("seed")).toUInt(&ok[2]);
    const int repeat = parser.value(QStringLiteral("repeat")).toInt(&ok[3]);
    shape.settleShare = parser.value(QStringLiteral("settle-share")).toInt(&ok[4]);
    if (!(ok[0] && ok[1] && ok[2] && ok[3] && ok[4]) || shape.cards < 1 || shape.cards > 50000000 ||
        shape.rowsPerCard < 0 || shape.rowsPerCard > 10000 || repeat < 1 || repeat > 100 ||
        shape.settleShare < 0 || shape.settleShare > 100) {
        printError(QStringLiteral("--cards, --rows, --seed, --repeat and --settle-share take "
                                  "whole numbers (cards from 1, repeat from 1, settle-share "
                                  "0 to 100)"));
        return 2;
    }
    const QStringList known{QStringLiteral("script"), QStringLiteral("audit"),
                            QStringLiteral("per-card"), QStringLiteral("window"),
                            QStringLiteral("set-based")};
    const QStringList only = parser.isSet(QStringLiteral("only"))
                                 ? parser.value(QStringLiteral("only")).split(QLatin1Char(','))
                                 : known;
    const QString cardIndex = parser.value(QStringLiteral("card-index"));
    for (const QString &name : only) {
        if (!known.contains(name)) {
            printError(
                QStringLiteral("--only takes some of: %1").arg(known.join(QLatin1Char(','))));
            return 2;
        }
    }
    if (cardIndex != QLatin1String("with") && cardIndex != QLatin1String("without") &&
        cardIndex != QLatin1String("both")) {
        printError(QStringLiteral("--card-index takes with, without or both"));
        return 2;
    }
    const bool withIndex = cardIndex != QLatin1String("without");
    const bool withoutIndex = cardIndex != QLatin1String("with");
    const auto wanted = [&only](const char *name) {
        return only.contains(QLatin1String(name));
    };
    const QString server = parser.value(QStringLiteral("server"));
    ConnectionPtr serverConnection;
    if (!server.isEmpty()) {
        ConnectionSettings s = CommandLine::split(server);
        const QString refusal = CommandLine::normaliseAndValidate(s);
        if (!refusal.isEmpty() || s.mode() == ConnectionMode::Sqlite) {
            printError(refusal.isEmpty() ? QStringLiteral("--server names a SQL Server") : refusal);
            return 2;
        }
        Measure::Request request;
        request.server = server;
        request.connection = ConnectionOptions::fromEnvironment();
        QString error;
        if (!Measure::connect(request, serverConnection, &error)) {
            printError(error);
            return 1;
        }
    }

    QTemporaryDir work(
        QDir(parser.value(QStringLiteral("dir"))).filePath(QStringLiteral("velmora-bench-XXXXXX")));
    if (!work.isValid()) {
        printError(QStringLiteral("cannot create a folder in %1")
                       .arg(parser.value(QStringLiteral("dir"))));
        return 1;
    }
    work.setAutoRemove(!parser.isSet(QStringLiteral("keep-db")));
    // The offscreen window wants a runtime folder of its own; without one Qt warns each run.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = work.filePath(QStringLiteral("runtime"));
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    }
    const QString generated = work.filePath(QStringLiteral("generated.db"));
    const QString empty = work.filePath(QStringLiteral("empty.db"));
    const Runner runner(work.path(), repeat, server);

    QElapsedTimer timer;
    timer.start();
    Generator::Summary summary;
    Generator::Summary nothing;
    QString error;
    const Generator::Shape noCards{0, 0, shape.seed, shape.settleShare};
    Measure::Result baseHeadless;
    Measure::Result baseWindow;
    // The fixed base: the same pass and host over no cards.
    if (serverConnection) {
        if (!Generator::createOnServer(*serverConnection, noCards, Measure::today(), &nothing,
                                       &error)) {
            printError(error);
            return 1;
        }
        baseHeadless = runner.once(QStringLiteral("per-card"), QString());
        baseWindow = runner.once(QStringLiteral("window"), QString());
        timer.start();
        if (!Generator::createOnServer(*serverConnection, shape, Measure::today(), &summary,
                                       &error)) {
            printError(error);
            return 1;
        }
    } else {
        if (!Generator::create(generated, shape, Measure::today(), &summary, &error) ||
            !Generator::create(empty, noCards, Measure::today(), &nothing, &error)) {
            printError(error);
            return 1;
        }
    }
    print(QStringLiteral("velmora-bench: %1 cards, %2 history rows (about %3 a card), seed %4, "
                         "today %5, %6\n"
                         "generated in %7 s%8; %9 cards hold an old balance to settle\n\n")
              .arg(summary.cards)
              .arg(summary.rows)
              .arg(shape.rowsPerCard)
              .arg(shape.seed)
              .arg(Measure::today().toString(Qt::ISODate),
                   serverConnection
                       ? QStringLiteral("on the SQL Server of --server")
                       : QStringLiteral("databases in %1").arg(parser.value(QStringLiteral("dir"))))
              .arg(static_cast<double>(timer.elapsed()) / 1000.0, 0, 'f', 1)
              .arg(serverConnection
                       ? QString()
                       : QStringLiteral(", %1 MiB").arg(mib(QFileInfo(generated).size() / 1024)))
              .arg(summary.cardsToSettle));

    if (!serverConnection) {
        baseHeadless = runner.once(QStringLiteral("per-card"),
                                   runner.copyOf(empty, QStringLiteral("empty-headless.db")));
        baseWindow = runner.once(QStringLiteral("window"),
                                 runner.copyOf(empty, QStringLiteral("empty-window.db")));
    }

    QVector<Line> lines;
    if (withIndex) {
        lines.append({QStringLiteral("set-based bound (1 query)"), QStringLiteral("-"),
                      runner.repeated(QStringLiteral("bound"), generated), Host::Headless});
    }
    // The rows a pass posted go again: the tables are then as generated.
    std::function<QString()> reset;
    if (serverConnection) {
        reset = [&serverConnection]() {
            QSqlQuery query = serverConnection->newQuery();
            return query.exec(QStringLiteral("delete from PontosHistorico where LancManual = 1"))
                       ? QString()
                       : DbConnection::describe(query.lastError());
        };
    }
    if (withIndex && wanted("audit")) {
        lines.append({QStringLiteral("ledger audit (--audit)"), QStringLiteral("-"),
                      runner.repeated(QStringLiteral("audit"), generated), Host::Headless});
    }
    if (withIndex && wanted("script")) {
        const auto script = runner.twoPasses(QStringLiteral("script"), generated, reset);
        lines.append({serverConnection ? QStringLiteral("set-wise T-SQL script")
                                       : QStringLiteral("set-wise SQL script"),
                      QStringLiteral("first"), script.first, Host::Headless});
    }
    const struct
    {
        const char *what;
        const char *label;
        Host host;
    } passes[] = {
        {"set-based", "set-based, headless", Host::Headless},
        {"per-card", "per-card, headless", Host::Headless},
        {"window", "per-card, window", Host::Window},
    };
    for (const auto &p : passes) {
        if (!withIndex || !wanted(p.what))
            continue;
        const auto results = runner.twoPasses(QString::fromLatin1(p.what), generated, reset);
        lines.append(
            {QString::fromLatin1(p.label), QStringLiteral("first"), results.first, p.host});
        lines.append(
            {QString::fromLatin1(p.label), QStringLiteral("second"), results.second, p.host});
    }

    // The same scheme with no index on the card table's numbers, which nothing says a scheme
    // has: the strategies must not read that table once a range.
    const QString dropCardIndex = serverConnection
                                      ? QStringLiteral("drop index PontosCartoes_NumCartao on "
                                                       "PontosCartoes")
                                      : QStringLiteral("drop index PontosCartoes_NumCartao");
    QString unindexed = generated;
    if (withoutIndex && serverConnection) {
        // The tables as generated, for the bound too.
        QString failure = reset();
        QSqlQuery query = serverConnection->newQuery();
        if (failure.isEmpty() && !query.exec(dropCardIndex))
            failure = DbConnection::describe(query.lastError());
        if (!failure.isEmpty()) {
            printError(failure);
            return 1;
        }
    } else if (withoutIndex) {
        unindexed = runner.copyOf(generated, QStringLiteral("unindexed.db"));
        if (!Generator::execOnFile(unindexed, dropCardIndex, &error)) {
            printError(error);
            return 1;
        }
    }
    if (withoutIndex) {
        lines.append({QStringLiteral("no card index: bound"), QStringLiteral("-"),
                      runner.repeated(QStringLiteral("bound"), unindexed), Host::Headless});
    }
    if (withoutIndex && wanted("script")) {
        const auto scriptUnindexed = runner.twoPasses(QStringLiteral("script"), unindexed, reset);
        lines.append({QStringLiteral("no card index: script"), QStringLiteral("first"),
                      scriptUnindexed.first, Host::Headless});
    }
    for (const char *what : {"set-based", "per-card"}) {
        if (!withoutIndex || !wanted(what))
            continue;
        const auto results = runner.twoPasses(QString::fromLatin1(what), unindexed, reset);
        const QString label = QStringLiteral("no card index: ") + QString::fromLatin1(what);
        lines.append({label, QStringLiteral("first"), results.first, Host::Headless});
        lines.append({label, QStringLiteral("second"), results.second, Host::Headless});
    }
    printTable(lines, baseHeadless, baseWindow);
    if (serverConnection && !parser.isSet(QStringLiteral("keep-db"))) {
        if (!Generator::dropOnServer(*serverConnection, &error))
            printError(error);
    }
    if (!work.autoRemove())
        print(QStringLiteral("databases kept in %1\n").arg(work.path()));

    // Failures are shown in the table; the exit status says only whether all could be run.
    bool allRan = baseHeadless.ok && baseWindow.ok;
    for (const Line &line : lines)
        allRan = allRan && line.result.ok;
    return allRan ? 0 : 1;
}
