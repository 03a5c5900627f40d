// SPDX-License-Identifier: MIT
#include "bench/Measure.h"

#include "app/frmVelmora.h"
#include "db/CommandLine.h"
#include "db/Currency.h"
#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "report/ReportSink.h"
#include "settlement/CardBalance.h"
#include "settlement/Clock.h"
#include "settlement/LedgerAudit.h"
#include "settlement/PassHost.h"
#include "settlement/PassReport.h"
#include "settlement/SettlementPass.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <ctime>
#include <memory>

namespace Measure {

namespace {

/// A host that does nothing but keep the report's lines.
class HeadlessHost final : public PassHost
{
public:
    void append(const QString &text) override { m_text += text; }
    void caretToEnd() override {}
    void refresh() override {}
    void setWaitCursor(bool) override {}
    void setStatusVisible(bool) override {}
    void processEvents() override {}
    bool yieldDue() const override { return false; } // as the console's: nothing would run

private:
    QString m_text;
};

/// Forwards every call to the window and adds up the time spent in it: the window's own
/// work, measured where it happens rather than as the difference of two noisy runs.
class TimedHost final : public PassHost
{
public:
    explicit TimedHost(PassHost &inner) : m_inner(inner) {}
    void append(const QString &text) override
    {
        timed([&] { m_inner.append(text); });
    }
    void caretToEnd() override
    {
        timed([&] { m_inner.caretToEnd(); });
    }
    void refresh() override
    {
        timed([&] { m_inner.refresh(); });
    }
    void setWaitCursor(bool busy) override
    {
        timed([&] { m_inner.setWaitCursor(busy); });
    }
    void setStatusVisible(bool visible) override
    {
        timed([&] { m_inner.setStatusVisible(visible); });
    }
    void processEvents() override
    {
        timed([&] { m_inner.processEvents(); });
    }
    bool stopRequested() const override { return m_inner.stopRequested(); }
    bool yieldDue() const override { return m_inner.yieldDue(); }
    void resetCountdown() override
    {
        timed([&] { m_inner.resetCountdown(); });
    }
    void progress(qint64 done, qint64 total) override
    {
        timed([&] { m_inner.progress(done, total); });
    }

    double seconds() const { return static_cast<double>(m_nanoseconds) / 1e9; }

private:
    template <typename Call> void timed(Call call)
    {
        QElapsedTimer timer;
        timer.start();
        call();
        m_nanoseconds += timer.nsecsElapsed();
    }

    PassHost &m_inner;
    qint64 m_nanoseconds = 0;
};

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

ConnectionSettings settingsFor(const Request &request)
{
    if (!request.server.isEmpty()) {
        ConnectionSettings settings = CommandLine::split(request.server);
        CommandLine::normaliseAndValidate(settings);
        return settings;
    }
    ConnectionSettings settings;
    settings.strServidor = request.database;
    settings.strBaseDados = QStringLiteral("main");
    settings.strModoLigacao = QStringLiteral("SQLITE");
    return settings;
}

/// A report sink that keeps the text, for a connection's failure.
class TextSink final : public ReportSink
{
public:
    void append(const QString &text) override { m_text += text; }
    void caretToEnd() override {}
    void refresh() override {}
    QString text() const { return m_text.trimmed(); }

private:
    QString m_text;
};

} // namespace

bool connect(const Request &request, ConnectionPtr &connection, QString *error)
{
    TextSink sink;
    if (LigarServidor(connection, settingsFor(request), request.connection, sink))
        return true;
    *error = sink.text();
    return false;
}

namespace {

Result bound(const Request &request)
{
    Result result;
    ConnectionPtr cn;
    if (!connect(request, cn, &result.error))
        return result;
    const DbConnection &connection = *cn;
    const double cpuStart = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    QSqlQuery query;
    const bool server = !request.server.isEmpty();
    if (!connection.prepare(query, server ? serverBoundSql() : boundSql(), &result.error))
        return result;
    query.bindValue(0, connection.dialect().dateBoundValue(PassDates::forDay(today()).cutoff));
    if (!query.exec()) {
        result.error = DbConnection::describe(query.lastError());
        return result;
    }
    while (query.next()) {
        ++result.cards;
        CardSums sums;
        if (!CardBalance::fromSums(query.value(2), query.value(3), &sums, &result.error))
            return result;
        Currency balance;
        if (LapseRule::balance(sums, &balance) && !balance.isZero())
            ++result.settled;
    }
    result.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    result.cpuSeconds = cpuSeconds() - cpuStart;
    result.ok = !query.lastError().isValid();
    if (!result.ok)
        result.error = DbConnection::describe(query.lastError());
    return result;
}

// The set-wise script, in one transaction, as a first pass would commit it.
Result script(const Request &request)
{
    Result result;
    ConnectionPtr cn;
    if (!connect(request, cn, &result.error))
        return result;
    const Dialect &dialect = cn->dialect();
    const PassDates dates = PassDates::forDay(today());
    const QDate &cutoff = dates.cutoff;
    const QDateTime now(today(), QTime(10, 0, 0));
    const double cpuStart = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    QSqlDatabase db = cn->database();
    if (!db.transaction()) {
        result.error = DbConnection::describe(db.lastError());
        return result;
    }
    for (const QString &sql : scriptSql(!request.server.isEmpty())) {
        QSqlQuery query = cn->newQuery();
        if (!query.prepare(sql)) {
            result.error = DbConnection::describe(query.lastError());
            return result;
        }
        const QVariantMap values{
            {QStringLiteral(":cutoff"), dialect.dateValue(cutoff)},
            {QStringLiteral(":cutoffBound"), dialect.dateBoundValue(cutoff)},
            {QStringLiteral(":today"), dialect.dateValue(today())},
            {QStringLiteral(":todayBound"), dialect.dateBoundValue(today())},
            {QStringLiteral(":now"), dialect.dateTimeValue(now)},
            {QStringLiteral(":note"), PassReport::negativeBalanceNote(dates.strDataHoje)},
        };
        for (auto it = values.begin(); it != values.end(); ++it) {
            // Only the names the statement holds (":today" is not ":todayBound").
            if (sql.contains(QRegularExpression(it.key() + QStringLiteral("\\b"))))
                query.bindValue(it.key(), it.value());
        }
        if (!query.exec()) {
            result.error = DbConnection::describe(query.lastError());
            return result;
        }
        if (sql.startsWith(QLatin1String("insert")))
            result.rows += query.numRowsAffected();
        if (sql.startsWith(QLatin1String("select"))) {
            while (query.next()) {
                result.cards = query.value(0).toLongLong();
                result.settled = query.value(1).toLongLong();
            }
        }
    }
    if (!db.commit()) {
        result.error = DbConnection::describe(db.lastError());
        return result;
    }
    result.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    result.cpuSeconds = cpuSeconds() - cpuStart;
    result.ok = true;
    return result;
}

// The ledger audit over every card (velmora-cli --audit), its lines counted and dropped.
Result audit(const Request &request)
{
    class Count final : public AuditOutput
    {
    public:
        void line(const AuditLine &line) override
        {
            Currency apart;
            if (LedgerAudit::difference(line.totals, &apart) && !apart.isZero())
                ++differing;
        }
        qint64 differing = 0;
    } output;
    Result result;
    ManualClock clock(QDateTime(today(), QTime(10, 0, 0)));
    HeadlessHost host;
    const double cpuStart = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    LedgerAudit ledgers(settingsFor(request), host, clock, request.connection, output);
    result.ok = ledgers.run() == PassOutcome::Completed;
    result.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    result.cpuSeconds = cpuSeconds() - cpuStart;
    if (!result.ok)
        result.error = QStringLiteral("the audit did not complete");
    result.cards = ledgers.stats().cardsRead;
    result.settled = output.differing;
    return result;
}

Result pass(const Request &request)
{
    Result result;
    ManualClock clock(QDateTime(today(), QTime(10, 0, 0)));
    std::unique_ptr<PassHost> inner;
    if (request.host == Request::Host::Window) {
        auto window = std::make_unique<frmVelmora>(
            QStringLiteral("velmora-bench"),
            QDir(request.workFolder).filePath(QStringLiteral("velmora-bench.ini")), &clock);
        window->show();
        QCoreApplication::processEvents();
        inner = std::move(window);
    } else {
        inner = std::make_unique<HeadlessHost>();
    }
    TimedHost host(*inner);

    ConnectionSettings settings = settingsFor(request);
    PassOptions options;
    options.connection = request.connection;
    options.strategy = request.setBased ? BalanceStrategy::SetBased : BalanceStrategy::PerCard;

    const double cpuStart = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    SettlementPass settlement(settings, host, clock, options);
    const PassOutcome outcome = settlement.run();
    result.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    result.cpuSeconds = cpuSeconds() - cpuStart;
    result.hostSeconds = host.seconds();
    result.ok = outcome == PassOutcome::Completed;
    if (!result.ok)
        result.error = QStringLiteral("the pass did not complete");
    result.cards = settlement.stats().cardsRead;
    result.settled = settlement.stats().cardsSettled;
    result.rows = settlement.stats().rowsPosted;
    result.batchMs = settlement.stats().longestBatchMs;
    result.batchRows = settlement.stats().largestBatchRows;
    return result;
}

} // namespace

// One scan of the history in storage order, grouped by a sorter: on a history that grows day
// by day this beats walking the card index, which fetches each row's Pontos on its own.
QString serverBoundSql()
{
    return QStringLiteral("select c.Cliente,c.NumCartao,s.Soma,s.Subtrai "
                          "from (select distinct Cliente,NumCartao from PontosCartoes "
                          "With (NoLock)) c "
                          "left join (select NumCartao,Terceiro,"
                          "Soma=sum(case when Afecta='+' then Pontos end),"
                          "Subtrai=sum(case when Afecta='-' then Pontos end) "
                          "from PontosHistorico With (nolock) where CliFor='C' and Data<=? "
                          "group by NumCartao,Terceiro) s "
                          "on s.NumCartao=c.NumCartao and s.Terceiro=c.Cliente "
                          "order by c.NumCartao");
}

// Whole points, halves to even, of a sum x: round() takes halves away from zero on both. The
// sum is first taken to the amounts' four decimals: SQLite adds them as binary fractions, where
// 0.4999 + 0.0001 is a hair off the half it is.
QString whole(const QString &x)
{
    const QString exact = QStringLiteral("round((%1), 4)").arg(x);
    return QStringLiteral("(case when abs(%1 - round(%1 - 0.5, 0) - 0.5) = 0 "
                          "then 2 * round(%1 / 2.0, 0) else round(%1, 0) end)")
        .arg(exact);
}

// The lapse rule, set-wise: each card's sums up to the cutoff and up to today in one grouped
// read, then the rows of each kind in one statement each.
QStringList scriptSql(bool sqlServer)
{
    const QString temp = sqlServer ? QStringLiteral("#") : QStringLiteral("temp.");
    const QString into = sqlServer
                             ? QStringLiteral("select * into #velmora_saldo from (")
                             : QStringLiteral("create temp table velmora_saldo as select * from (");
    const QString text = sqlServer ? QStringLiteral("convert(varchar(40), convert(bigint, %1))")
                                   : QStringLiteral("cast(cast(%1 as integer) as text)");
    const QString concat = sqlServer ? QStringLiteral("+") : QStringLiteral("||");
    const QString nolock = sqlServer ? QStringLiteral(" With (nolock)") : QString();
    const QString history =
        QStringLiteral("insert into PontosHistorico (Terceiro, CliFor, NumCartao, Tipo, Numero, "
                       "Data, Afecta, ValorIncid, Pontos, LancManual, Observa, Utilizador, "
                       "DataSys) ");
    // max(0, x) and min(x, y) as CASE, which both dialects take.
    const auto atLeastZero = [](const QString &x) {
        return QStringLiteral("(case when %1 > 0 then %1 else 0 end)").arg(x);
    };
    const auto least = [](const QString &x, const QString &y) {
        return QStringLiteral("(case when %1 < %2 then %1 else %2 end)").arg(x, y);
    };
    const QString saldo = temp + QStringLiteral("velmora_saldo");
    const QString lapse =
        least(atLeastZero(QStringLiteral("por_gastar")), atLeastZero(QStringLiteral("actual")));
    const QString refill = least(QStringLiteral("-antigo"), atLeastZero(QStringLiteral("-actual")));
    const QString after = whole(
        QStringLiteral("bruto - (case when antigo > 0 then %1 else -(%2) end)").arg(lapse, refill));
    return {
        into +
            QStringLiteral(
                "select c.Cliente, c.NumCartao, %1 as antigo, %2 as actual, %3 as por_gastar, "
                "coalesce(s.SomaHoje, 0) - coalesce(s.SubtraiHoje, 0) as bruto "
                "from (select distinct Cliente, NumCartao from PontosCartoes%4) c "
                "left join (select NumCartao, Terceiro, "
                "sum(case when Afecta='+' and Data<=:cutoffBound then Pontos end) as Soma, "
                "sum(case when Afecta='-' and Data<=:cutoffBound then Pontos end) as Subtrai, "
                "sum(case when Afecta='+' then Pontos end) as SomaHoje, "
                "sum(case when Afecta='-' then Pontos end) as SubtraiHoje "
                "from PontosHistorico%4 where CliFor='C' and Data<=:todayBound "
                "group by NumCartao, Terceiro) s "
                "on s.NumCartao = c.NumCartao and s.Terceiro = c.Cliente) t where antigo <> 0")
                .arg(whole(QStringLiteral("coalesce(s.Soma, 0) - coalesce(s.Subtrai, 0)")),
                     whole(QStringLiteral("coalesce(s.SomaHoje, 0) - coalesce(s.SubtraiHoje, 0)")),
                     // The old points not spent since: the exact old sum less the exact
                     // points spent, rounded once.
                     whole(QStringLiteral("coalesce(s.Soma, 0) - coalesce(s.Subtrai, 0) - "
                                          "(coalesce(s.SubtraiHoje, 0) - coalesce(s.Subtrai, 0))")),
                     nolock),
        history + QStringLiteral("select Cliente, 'C', NumCartao, '', '', :cutoff, '-', "
                                 "%1, %1, 1, 'Regularização Automática (' %2 %3 %2 ' pontos)', "
                                 "'00', :now from %4 where antigo > 0 and %1 > 0")
                      .arg(lapse, concat, text.arg(lapse), saldo),
        history + QStringLiteral("select Cliente, 'C', NumCartao, '', '', :cutoff, '+', "
                                 "%1, %1, 1, 'Regularização Automática (-' %2 %3 %2 ' pontos)', "
                                 "'00', :now from %4 where antigo < 0 and %1 > 0")
                      .arg(refill, concat, text.arg(refill), saldo),
        history + QStringLiteral("select Cliente, 'C', NumCartao, '', '', :today, '+', "
                                 "-(%1), -(%1), 1, :note, '00', :now from %2 where %1 < 0")
                      .arg(after, saldo),
        QStringLiteral("select (select count(*) from (select distinct Cliente, NumCartao "
                       "from PontosCartoes) c), (select count(*) from %1)")
            .arg(saldo),
        QStringLiteral("drop table %1").arg(saldo),
    };
}

QString boundSql()
{
    return QStringLiteral("select c.Cliente, c.NumCartao, s.Soma, s.Subtrai "
                          "from (select distinct Cliente, NumCartao from PontosCartoes) c "
                          "left join (select NumCartao, Terceiro, "
                          "sum(case when Afecta='+' then Pontos end) as Soma, "
                          "sum(case when Afecta='-' then Pontos end) as Subtrai "
                          "from PontosHistorico not indexed where CliFor='C' and Data<=? "
                          "group by NumCartao, Terceiro) s "
                          "on s.NumCartao = c.NumCartao and s.Terceiro = c.Cliente "
                          "order by c.NumCartao, c.Cliente");
}

Result run(const Request &request)
{
    Result result = request.kind == Request::Kind::Bound    ? bound(request)
                    : request.kind == Request::Kind::Script ? script(request)
                    : request.kind == Request::Kind::Audit  ? audit(request)
                                                            : pass(request);
    result.peakKiB = peakResidentKiB();
    return result;
}

QString Result::toLine() const
{
    return QStringLiteral("result ok=%1 seconds=%2 cpu=%7 host=%8 cards=%3 settled=%4 rows=%5 "
                          "peak_kib=%6 batch_ms=%9 batch_rows=%10")
        .arg(ok ? 1 : 0)
        .arg(seconds, 0, 'f', 6)
        .arg(cards)
        .arg(settled)
        .arg(rows)
        .arg(peakKiB)
        .arg(cpuSeconds, 0, 'f', 6)
        .arg(hostSeconds, 0, 'f', 6)
        .arg(batchMs)
        .arg(batchRows);
}

Result Result::fromLine(const QString &line)
{
    Result result;
    if (!line.startsWith(QLatin1String("result "))) {
        result.error = line.isEmpty() ? QStringLiteral("no result") : line;
        return result;
    }
    for (const QString &field : line.mid(7).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString key = field.section(QLatin1Char('='), 0, 0);
        const QString value = field.section(QLatin1Char('='), 1);
        if (key == QLatin1String("ok"))
            result.ok = value == QLatin1String("1");
        else if (key == QLatin1String("seconds"))
            result.seconds = value.toDouble();
        else if (key == QLatin1String("batch_ms"))
            result.batchMs = value.toLongLong();
        else if (key == QLatin1String("batch_rows"))
            result.batchRows = value.toLongLong();
        else if (key == QLatin1String("cpu"))
            result.cpuSeconds = value.toDouble();
        else if (key == QLatin1String("host"))
            result.hostSeconds = value.toDouble();
        else if (key == QLatin1String("cards"))
            result.cards = value.toLongLong();
        else if (key == QLatin1String("settled"))
            result.settled = value.toLongLong();
        else if (key == QLatin1String("rows"))
            result.rows = value.toLongLong();
        else if (key == QLatin1String("peak_kib"))
            result.peakKiB = value.toLongLong();
    }
    return result;
}

} // namespace Measure
