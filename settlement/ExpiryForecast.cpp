// SPDX-License-Identifier: MIT
#include "settlement/ExpiryForecast.h"

#include "db/Dialect.h"
#include "db/TransactionGuard.h"
#include "settlement/CardList.h"
#include "settlement/ClockCheck.h"
#include "settlement/PassHost.h"
#include "settlement/PassLock.h"
#include "settlement/PassReport.h"
#include "settlement/PassRun.h"

#include <QSqlError>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

using PassReport::kCrLf;

// The per-card reads share a read transaction this many cards long, as a pass's batches do:
// on SQLite the file lock is then taken once a batch rather than around every statement.
constexpr qint64 kCardsPerReading = 500;

bool count(CardSums &sums, const CardSums &more)
{
    return Currency::add(sums.plus, more.plus, &sums.plus) &&
           Currency::add(sums.minus, more.minus, &sums.minus);
}

} // namespace

LapseCalendar::LapseCalendar(const QDate &today, int days)
    : m_today(today), m_firstCutoff(PassDates::forDay(today).cutoff), m_lastDay(today.addDays(days))
{
    m_todayIndex = m_firstCutoff.daysTo(today);
    m_cutoffIndex.reserve(static_cast<std::size_t>(std::max(days, 0)) + 1);
    // Today's pass first: after one has run today it posts nothing more, and before, what it
    // lapses lapses today.
    for (int k = 0; k <= days; ++k)
        m_cutoffIndex.push_back(m_firstCutoff.daysTo(PassDates::forDay(today.addDays(k)).cutoff));
}

void LapseCalendar::start(const CardSums &atFirstCutoff)
{
    m_atFirstCutoff = atFirstCutoff;
    m_movements.clear();
}

bool LapseCalendar::add(const QDate &day, const CardSums &movements)
{
    if (!day.isValid() || day <= m_firstCutoff || day > m_lastDay)
        return false;
    m_movements.push_back({m_firstCutoff.daysTo(day), movements});
    return true;
}

bool LapseCalendar::run(Currency *balanceToday,
                        const std::function<void(const QDate &, Currency)> &lapse)
{
    std::stable_sort(m_movements.begin(), m_movements.end(),
                     [](const Movement &a, const Movement &b) { return a.day < b.day; });
    m_lifts.clear();
    // The sums up to the cutoff of the day's pass and up to its day, each moved on as the days
    // go: the movements, and the rows of the earlier passes, as each comes within its bound.
    CardSums old = m_atFirstCutoff;
    CardSums current = m_atFirstCutoff;
    std::size_t oldNext = 0;
    std::size_t liftsNext = 0;
    std::size_t currentNext = 0;
    const auto moveOn = [](CardSums &sums, std::size_t &next, qint64 upTo,
                           const std::vector<Movement> &movements) {
        for (; next < movements.size() && movements[next].day <= upTo; ++next) {
            if (!count(sums, movements[next].sums))
                return false;
        }
        return true;
    };
    if (!moveOn(current, currentNext, m_todayIndex, m_movements) ||
        !LapseRule::balance(current, balanceToday))
        return false;
    Currency oldBalance;
    if (m_movements.empty() && LapseRule::balance(old, &oldBalance) && oldBalance.isZero())
        return true; // an old balance of zero that nothing changes: no pass posts anything

    for (std::size_t k = 0; k < m_cutoffIndex.size(); ++k) {
        const qint64 day = m_todayIndex + qint64(k);
        if (!moveOn(old, oldNext, m_cutoffIndex[k], m_movements) ||
            !moveOn(old, liftsNext, m_cutoffIndex[k], m_lifts) ||
            !moveOn(current, currentNext, day, m_movements))
            return false;
        CardAdjustments plan;
        if (!LapseRule::adjust(old, current, &plan))
            return false;
        // The lapse and the refill are dated at the day's cutoff: they count in both sums of
        // every later day. The lift is dated the day itself: in today's sums at once, in the
        // old ones once a later cutoff reaches it.
        if (!plan.lapse.isZero()) {
            if (!Currency::add(old.minus, plan.lapse, &old.minus) ||
                !Currency::add(current.minus, plan.lapse, &current.minus))
                return false;
            lapse(m_today.addDays(qint64(k)), plan.lapse);
        }
        if (!plan.refill.isZero() && (!Currency::add(old.plus, plan.refill, &old.plus) ||
                                      !Currency::add(current.plus, plan.refill, &current.plus)))
            return false;
        if (!plan.lift.isZero()) {
            if (!Currency::add(current.plus, plan.lift, &current.plus))
                return false;
            m_lifts.push_back({day, CardSums{plan.lift, Currency()}});
        }
    }
    return true;
}

ExpiryForecast::ExpiryForecast(const ConnectionSettings &settings, PassHost &host,
                               const Clock &clock, ForecastOptions options, ExpiryOutput &output)
    : m_settings(settings), m_host(host), m_clock(clock), m_options(std::move(options)),
      m_output(output)
{
}

ExpiryForecast::~ExpiryForecast()
{
    release();
}

QString ExpiryForecast::csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString ExpiryForecast::csvHeader()
{
    return QStringLiteral("Cliente,NumCartao,Data,Pontos,Saldo") + kCrLf;
}

QString ExpiryForecast::csvLine(const ExpiryLine &line)
{
    return csvField(line.cliente) + QLatin1Char(',') + csvField(line.numCartao) + QLatin1Char(',') +
           line.day.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char(',') +
           line.points.toText() + QLatin1Char(',') + line.balance.toText() + kCrLf;
}

void ExpiryForecast::release()
{
    m_reading.reset();
    m_movements = QSqlQuery();
    m_balance.clear();
    m_lock.reset();
    for (ConnectionPtr *connection : {&m_cnCartoes, &m_cnLigacao}) {
        if (*connection && (*connection)->isOpen())
            (*connection)->close();
        connection->reset();
    }
}

ConnectionOptions ExpiryForecast::readOnly() const
{
    ConnectionOptions options = m_options.connection;
    options.readOnly = true;
    return options;
}

PassOutcome ExpiryForecast::run()
{
    m_stats = {};
    m_listed = 0;
    PassRun::Steps steps;
    steps.body = [this] {
        return foreseeAll();
    };
    steps.release = [this] {
        release();
    };
    return PassRun(m_settings, readOnly(), m_host, m_clock).run(m_cnLigacao, m_lock, steps);
}

PassOutcome ExpiryForecast::foreseeAll()
{
    const QDateTime started = m_clock.now();
    const QString clockLine = PassReport::clockLine(m_clock.offsetMs());
    if (!clockLine.isEmpty()) {
        m_host.append(clockLine);
        m_host.refresh();
    }
    // A forecast from a day behind the passes would count what they already took.
    ClockCheck::failIfBehind(*m_cnLigacao, started, started.date().addYears(-1));
    m_unreadable = CardSettler::unreadableCards(*m_cnLigacao);
    const QDate today = started.date();
    m_calendar = std::make_unique<LapseCalendar>(today, m_options.days);
    const Dialect &dialect = m_cnLigacao->dialect();
    m_firstBound = dialect.dateBoundValue(m_calendar->firstCutoff());
    m_lastBound = dialect.dateBoundValue(m_calendar->lastDay());
    m_total = PassRun::countCards(*m_cnLigacao);
    m_output.begin();
    if ((m_options.strategy != BalanceStrategy::SetBased || !forecastSetBased()) &&
        !forecastPerCard()) {
        release();
        return PassOutcome::NoConnection;
    }
    if (m_host.stopRequested()) {
        release();
        return PassOutcome::Stopped;
    }
    release();
    m_host.append(
        PassReport::timestamp(m_clock.now()) +
        QStringLiteral("   Previsão de caducidade (%1 dias, até %2): %3 cartões "
                       "lidos, %4 com pontos a caducar, %5 pontos.")
            .arg(m_options.days)
            .arg(m_calendar->lastDay().toString(QStringLiteral("yyyy-MM-dd")))
            .arg(m_stats.cardsRead)
            .arg(m_stats.cardsLapsing)
            .arg(m_stats.points.toText()) +
        (m_stats.cardsFailed > 0
             ? QStringLiteral(" %1 cartões não puderam ser lidos.").arg(m_stats.cardsFailed)
             : QString()) +
        PassReport::kCrLf);
    m_host.refresh();
    return PassOutcome::Completed;
}

void ExpiryForecast::cardDone(bool counted)
{
    if (counted)
        ++m_stats.cardsRead;
    ++m_listed;
    m_host.progress(m_listed, qMax(m_total, m_listed));
}

void ExpiryForecast::cardFailed(const QString &numCartao, const QString &description)
{
    ++m_stats.cardsFailed;
    m_host.append(PassReport::cardFailureLine(numCartao, description));
    m_host.refresh();
}

void ExpiryForecast::foresee(const QString &cliente, const QString &numCartao)
{
    if (!m_unreadable.isEmpty() &&
        m_unreadable.contains(CardSettler::cardKey(cliente, numCartao))) {
        cardFailed(numCartao, CardSettler::unreadableRowsText());
        return;
    }
    ExpiryLine line;
    line.cliente = cliente;
    line.numCartao = numCartao;
    const qint64 before = m_stats.lines;
    std::vector<ExpiryLine> lines;
    const bool ok = m_calendar->run(&line.balance, [&](const QDate &day, Currency points) {
        line.day = day;
        line.points = points;
        lines.push_back(line);
    });
    if (!ok) {
        cardFailed(numCartao, QStringLiteral("saldo fora do intervalo"));
        return;
    }
    // Handed over only once the whole card is known: a card that fails part-way has no lines.
    for (const ExpiryLine &each : lines) {
        Currency total;
        if (!Currency::add(m_stats.points, each.points, &total)) {
            cardFailed(numCartao, QStringLiteral("saldo fora do intervalo"));
            return;
        }
        m_stats.points = total;
        ++m_stats.lines;
        m_output.line(each);
    }
    if (m_stats.lines > before)
        ++m_stats.cardsLapsing;
}

bool ExpiryForecast::readCard(const QString &cliente, const QString &numCartao)
{
    if (m_reading && m_readingCards >= kCardsPerReading)
        m_reading.reset(); // it only read: rolled back
    if (!m_reading) {
        m_reading = std::make_unique<TransactionGuard>(*m_cnLigacao, Dialect::Work::Reading);
        if (!m_reading->begun())
            PassRun::fail(m_reading->error());
        m_readingCards = 0;
    }
    ++m_readingCards;
    QString error;
    CardSums sums;
    switch (m_balance.read(cliente, numCartao, m_calendar->firstCutoff(), &sums, &error)) {
    case CardBalance::Read::Ok:
        break;
    case CardBalance::Read::Unconvertible:
        cardFailed(numCartao, error);
        return false;
    case CardBalance::Read::Failed:
        PassRun::failUnlessTheCardsOwn(m_balance, *m_cnLigacao, cliente, numCartao, error);
        cardFailed(numCartao, error);
        return false;
    }
    m_calendar->start(sums);

    // Empty text, never NULL, as the sums bind the card.
    const QVariantList values{cliente.isEmpty() ? QStringLiteral("") : cliente,
                              numCartao.isEmpty() ? QStringLiteral("") : numCartao, m_firstBound,
                              m_lastBound};
    if (!m_cnLigacao->exec(m_movements, values, &error)) {
        PassRun::failIfLost(*m_cnLigacao);
        cardFailed(numCartao, error);
        return false;
    }
    // A fetch that fails may have lost the connection, as a statement may: then the forecast
    // ends, where a card's own values fail only the card.
    bool ok = true;
    while (ok && m_cnLigacao->next(m_movements, &error)) {
        CardSums day;
        ok = CardBalance::fromSums(m_movements.value(1), m_movements.value(2), &day, &error);
        if (ok && !m_calendar->add(m_movements.value(0).toDate(), day)) {
            error =
                QStringLiteral("data fora do intervalo: %1").arg(m_movements.value(0).toString());
            ok = false;
        }
    }
    QString rest;
    if (!m_cnLigacao->finish(m_movements, &rest) && ok)
        error = rest;
    ok = ok && error.isEmpty();
    if (!ok) {
        PassRun::failIfLost(*m_cnLigacao);
        cardFailed(numCartao, error);
    }
    return ok;
}

bool ExpiryForecast::forecastPerCard()
{
    // A connection to SQL Server serves one open result at a time: the card list streams from
    // a second one, so that it is never held whole.
    if (!LigarServidor(m_cnCartoes, m_settings, readOnly(), m_host))
        return false;
    QString error;
    if (!m_balance.prepare(*m_cnLigacao, &error) ||
        !m_cnLigacao->prepare(m_movements, m_cnLigacao->dialect().movementsByDaySql(), &error))
        PassRun::fail(error);
    QSqlQuery rsCartoes;
    if (!m_cnCartoes->prepare(rsCartoes, m_cnCartoes->dialect().cardListSql(), &error) ||
        !m_cnCartoes->exec(rsCartoes, &error))
        PassRun::fail(error);
    CardKeys keys;
    QString cliente;
    QString numCartao;
    while (!m_host.stopRequested() && m_cnCartoes->next(rsCartoes, &error)) {
        if (!keys.firstTime(rsCartoes.value(0), rsCartoes.value(1), &cliente, &numCartao)) {
            cardDone(false);
            continue;
        }
        if (readCard(cliente, numCartao))
            foresee(cliente, numCartao);
        cardDone(true);
    }
    if (!error.isEmpty()) {
        PassRun::failIfLost(*m_cnCartoes);
        PassRun::fail(error);
    }
    return true;
}

bool ExpiryForecast::forecastSetBased()
{
    QString error;
    QSqlQuery query;
    if (!m_cnLigacao->prepare(query, m_cnLigacao->dialect().balancesAndMovementsByDaySql(),
                              &error) ||
        !m_cnLigacao->exec(query, {m_firstBound, m_firstBound, m_lastBound}, &error)) {
        PassRun::failIfLost(*m_cnLigacao);
        return false;
    }
    // A card's rows follow each other: it is foreseen when the next card's first row comes.
    CardKeys keys;
    QVariant rawCliente;
    QVariant rawNumCartao;
    QString cliente;
    QString numCartao;
    bool inCard = false;   // a card's rows are being read
    bool repeated = false; // ... of a card read before, under NULL for the empty text
    bool skipped = false;  // ... which is not foreseen: repeated, or failed
    const auto sameCard = [&] {
        return inCard &&
               CardKeys::sameCard(query.value(0), query.value(1), rawCliente, rawNumCartao);
    };
    const auto endCard = [&] {
        if (!inCard)
            return;
        if (!skipped)
            foresee(cliente, numCartao);
        cardDone(!repeated);
        inCard = false;
    };
    QString fetchFailure;
    while (!m_host.stopRequested() && m_cnLigacao->next(query, &fetchFailure)) {
        if (!sameCard()) {
            endCard();
            rawCliente = query.value(0);
            rawNumCartao = query.value(1);
            inCard = true;
            repeated = !keys.firstTime(rawCliente, rawNumCartao, &cliente, &numCartao);
            skipped = repeated;
            if (skipped)
                continue;
            CardSums sums;
            if (!CardBalance::fromSums(query.value(2), query.value(3), &sums, &error)) {
                cardFailed(numCartao, error);
                skipped = true;
                continue;
            }
            m_calendar->start(sums);
        }
        if (skipped || query.value(4).isNull())
            continue;
        CardSums day;
        if (!CardBalance::fromSums(query.value(5), query.value(6), &day, &error)) {
            cardFailed(numCartao, error);
            skipped = true;
        } else if (!m_calendar->add(query.value(4).toDate(), day)) {
            cardFailed(numCartao,
                       QStringLiteral("data fora do intervalo: %1").arg(query.value(4).toString()));
            skipped = true;
        }
    }
    if (!fetchFailure.isEmpty()) {
        PassRun::failIfLost(*m_cnLigacao);
        // Refused before its first row (a sum beyond the database's own range): the per-card
        // reading starts afresh, and names the card. Once cards were handed over, the forecast
        // fails.
        if (m_listed == 0)
            return false;
        PassRun::fail(fetchFailure);
    }
    endCard();
    if (m_host.stopRequested())
        query.finish();
    else if (!m_cnLigacao->finish(query, &fetchFailure))
        PassRun::fail(fetchFailure);
    return true;
}
