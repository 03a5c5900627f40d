// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "db/Currency.h"
#include "db/DbConnection.h"
#include "settlement/CardBalance.h"
#include "settlement/CardSettler.h"
#include "settlement/Clock.h"
#include "settlement/LapseRule.h"
#include "settlement/SettlementPass.h"

#include <QDate>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class PassHost;
class PassLock;
class TransactionGuard;

/// The passes of the coming days over one card that has no other movement, one a day: what
/// each would post follows from LapseRule::adjust on the card's sums that day, and its rows
/// count in the sums of the days after it, as the rows of a real pass do. The history is
/// given as the sums up to the first day's cutoff and the movements after it, by the day from
/// which each counts; nothing is read or written here.
class LapseCalendar
{
public:
    /// The passes on `today` and on the `days` days after it.
    LapseCalendar(const QDate &today, int days);

    /// The cutoff of today's pass, the first: the sums are given up to it, bound at midnight at
    /// its start.
    QDate firstCutoff() const { return m_firstCutoff; }
    /// The last day of a pass: movements are given up to its bound, midnight at its start.
    QDate lastDay() const { return m_lastDay; }

    /// A card, from its sums up to firstCutoff()'s bound.
    void start(const CardSums &atFirstCutoff);
    /// The card's movements that count from `day` on, for a day after firstCutoff() and not
    /// after lastDay(); false for any other day.
    bool add(const QDate &day, const CardSums &movements);
    /// Runs the card's passes: `lapse` with each day and the points that lapse that day, where
    /// some do; `balanceToday` is the card's balance today, in whole points. False when a sum
    /// leaves the amount's range: the card cannot be settled, nor foreseen.
    bool run(Currency *balanceToday, const std::function<void(const QDate &, Currency)> &lapse);

private:
    struct Movement
    {
        qint64 day; ///< days after firstCutoff()
        CardSums sums;
    };
    QDate m_today;
    QDate m_firstCutoff;
    QDate m_lastDay;
    qint64 m_todayIndex = 0;
    std::vector<qint64> m_cutoffIndex; ///< the cutoff of each day's pass, days after the first
    CardSums m_atFirstCutoff;
    std::vector<Movement> m_movements;
    std::vector<Movement> m_lifts; ///< posted by the card's passes, dated the day of the pass
};

/// What lapses on one day of one card.
struct ExpiryLine
{
    QString cliente;
    QString numCartao;
    QDate day;        ///< the day of the pass that lapses them
    Currency points;  ///< whole points
    Currency balance; ///< the card's balance today, in whole points
};

/// Where a forecast's lines go.
class ExpiryOutput
{
public:
    virtual ~ExpiryOutput() = default;
    /// Once the database is held, before the first line.
    virtual void begin() {}
    virtual void line(const ExpiryLine &line) = 0;
};

struct ForecastOptions
{
    int days = 30; ///< 1 to MaxDays
    BalanceStrategy strategy = BalanceStrategy::PerCard;
    /// How the forecast's connections are opened; they are read-only whatever this says.
    ConnectionOptions connection;
};

struct ForecastStats
{
    qint64 cardsRead = 0;
    qint64 cardsLapsing = 0; ///< cards with at least one line
    qint64 lines = 0;
    qint64 cardsFailed = 0; ///< cards whose history could not be read or foreseen
    Currency points;        ///< in all lines

    bool someCardsLeft() const { return cardsFailed > 0; }
};

/// The points that the lapse rule will take from each card on each of the coming days when
/// the card has no other movement: a pass that reads, and writes nothing. It holds the pass
/// lock for its reading, so that no pass changes the history under it, and is put off as busy
/// while a pass runs. Cards come in the card list's order, each read, foreseen and handed to
/// the output before the next is read, so that memory does not grow with the cards:
/// - per card: the card list streams from a second connection, while the first reads each
///   card's sums up to the first cutoff (the pass's own statements) and its movements after it
///   by day;
/// - set-based: one grouped read of the same for every card.
class ExpiryForecast
{
public:
    static constexpr int MaxDays = 366;

    ExpiryForecast(const ConnectionSettings &settings, PassHost &host, const Clock &clock,
                   ForecastOptions options, ExpiryOutput &output);
    ~ExpiryForecast();
    ExpiryForecast(const ExpiryForecast &) = delete;
    ExpiryForecast &operator=(const ExpiryForecast &) = delete;

    /// Completed, NoConnection, Failed, Stopped or Busy, as a pass ends.
    PassOutcome run();
    const ForecastStats &stats() const { return m_stats; }

    /// RFC 4180 text, with CR LF line ends.
    static QString csvHeader();
    static QString csvLine(const ExpiryLine &line);
    /// A field as it stands, or quoted, its quotes doubled, when it holds a comma, a quote or a
    /// line break.
    static QString csvField(const QString &text);

private:
    /// The forecast's own work, once it holds the database.
    PassOutcome foreseeAll();
    /// False when its second connection did not open (reported).
    bool forecastPerCard();
    /// False, with nothing handed to the output, when the database refuses the grouped read:
    /// the per-card reading takes over.
    bool forecastSetBased();
    /// Reads one card's history on the forecast's connection; false when the card's own
    /// values could not be read or converted (reported).
    bool readCard(const QString &cliente, const QString &numCartao);
    void foresee(const QString &cliente, const QString &numCartao);
    void cardFailed(const QString &numCartao, const QString &description);
    /// A row of the card list done; `counted` unless it repeats a card read before.
    void cardDone(bool counted);
    void release();
    /// The options of the forecast's connections: they only read.
    ConnectionOptions readOnly() const;

    const ConnectionSettings m_settings;
    PassHost &m_host;
    PassClock m_clock;
    ForecastOptions m_options;
    ExpiryOutput &m_output;
    ForecastStats m_stats;
    std::unique_ptr<LapseCalendar> m_calendar;
    QSet<QString> m_unreadable; ///< cards whose movements the sums cannot take (CardSettler)
    QVariant m_firstBound;
    QVariant m_lastBound;
    qint64 m_total = 0;  ///< rows of the card list
    qint64 m_listed = 0; ///< of them, done

    ConnectionPtr m_cnLigacao;
    ConnectionPtr m_cnCartoes; ///< the card list's, in the per-card reading
    std::unique_ptr<PassLock> m_lock;
    CardBalance m_balance;
    QSqlQuery m_movements;
    std::unique_ptr<TransactionGuard> m_reading; ///< the per-card reads of a few cards
    qint64 m_readingCards = 0;
};
