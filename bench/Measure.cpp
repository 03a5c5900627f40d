// SPDX-License-Identifier: MIT
#include "bench/Measure.h"

#include "app/frmVelmora.h"
#include "db/Currency.h"
#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "settlement/Clock.h"
#include "settlement/PassHost.h"
#include "settlement/SettlementPass.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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
    explicit HeadlessHost(const Clock &clock) : m_clock(clock) {}
    void append(const QString &text) override { m_text += text; }
    void caretToEnd() override {}
    void refresh() override {}
    void setWaitCursor(bool) override {}
    void setStatusVisible(bool) override {}
    void processEvents() override {}
    const Clock &clock() const override { return m_clock; }

private:
    const Clock &m_clock;
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
    void resetCountdown() override
    {
        timed([&] { m_inner.resetCountdown(); });
    }
    void progress(qint64 done, qint64 total) override
    {
        timed([&] { m_inner.progress(done, total); });
    }
    const Clock &clock() const override { return m_inner.clock(); }

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

Result bound(const Request &request)
{
    Result result;
    DbConnection connection;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection.name());
        db.setDatabaseName(request.database);
        if (!db.open()) {
            result.error = DbConnection::describe(db.lastError());
            return result;
        }
    }
    const double cpuStart = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    QSqlQuery query;
    if (!connection.prepare(query, boundSql(), &result.error))
        return result;
    query.bindValue(0, Dialect::sqlite().dateBoundValue(today().addYears(-1)));
    if (!query.exec()) {
        result.error = DbConnection::describe(query.lastError());
        return result;
    }
    while (query.next()) {
        ++result.cards;
        Currency plus;
        Currency minus;
        const QVariant soma = query.value(2);
        const QVariant subtrai = query.value(3);
        if ((!soma.isNull() && !Currency::fromVariant(soma, &plus, &result.error)) ||
            (!subtrai.isNull() && !Currency::fromVariant(subtrai, &minus, &result.error)) ||
            !Currency::subtract(plus, minus, &plus))
            return result;
        if (plus.roundToWhole(&plus) && !plus.isZero())
            ++result.settled;
    }
    result.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    result.cpuSeconds = cpuSeconds() - cpuStart;
    result.ok = !query.lastError().isValid();
    if (!result.ok)
        result.error = DbConnection::describe(query.lastError());
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
        inner = std::make_unique<HeadlessHost>(clock);
    }
    TimedHost host(*inner);

    ConnectionSettings settings;
    settings.strServidor = request.database;
    settings.strBaseDados = QStringLiteral("main");
    settings.strModoLigacao = QStringLiteral("SQLITE");
    PassOptions options;
    options.strategy = request.setBased ? BalanceStrategy::SetBased : BalanceStrategy::PerCard;

    const double cpuStart = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    SettlementPass settlement(settings, host, options);
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
    return result;
}

} // namespace

// One scan of the history in storage order, grouped by a sorter: on a history that grows day
// by day this beats walking the card index, which fetches each row's Pontos on its own.
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
    Result result = request.kind == Request::Kind::Bound ? bound(request) : pass(request);
    result.peakKiB = peakResidentKiB();
    return result;
}

QString Result::toLine() const
{
    return QStringLiteral("result ok=%1 seconds=%2 cpu=%7 host=%8 cards=%3 settled=%4 rows=%5 "
                          "peak_kib=%6")
        .arg(ok ? 1 : 0)
        .arg(seconds, 0, 'f', 6)
        .arg(cards)
        .arg(settled)
        .arg(rows)
        .arg(peakKiB)
        .arg(cpuSeconds, 0, 'f', 6)
        .arg(hostSeconds, 0, 'f', 6);
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
