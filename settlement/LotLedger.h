// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"

#include <QDate>
#include <QDateTime>
#include <QString>

#include <deque>
#include <vector>

/// One "+" or "-" row of a card's history, as the ledger of lots reads it.
struct LedgerRow
{
    QDate day;     ///< the day from which it counts in the sums: its date, or the next one when
                   ///< it is dated after midnight
    QDate passDay; ///< an adjustment's: the day of the pass that posted it (LotLedger::passDayOf)
    QDate data;    ///< the row's own date
    QDateTime dataSys; ///< when it was written, where the history says
    bool plus = true;
    Currency pontos;
    QString observa;
};

/// The points of one card as the scheme's terms keep them: lots that lapse a year after they
/// were earned, spent oldest first, replayed from the card's own earnings and spendings. The
/// adjustment rows (their note begins "Regularização Automática") are not movements of the
/// ledger: each stands for the pass that posted it, at which the ledger lapses its own due lots,
/// and a lift or a refill forgives the card's deficit, as far as the ledger holds one.
class LotLedger
{
public:
    enum class Kind { Earning, Spending, Lapse, Refill, Lift };

    /// A lot, named by the day it counts from and what was earned.
    struct Lot
    {
        QDate day;
        Currency earned;
        Currency left;
    };
    /// Points taken from a lot.
    struct Taken
    {
        Lot lot;
        Currency points;
    };

    /// What happened to the card, step by step; the default does nothing.
    class Observer
    {
    public:
        virtual ~Observer() = default;
        /// An earning or a spending: the lots it took from, and the deficit after it.
        virtual void movement(const LedgerRow &, Kind, const std::vector<Taken> &, Currency) {}
        /// A pass on `day` lapsed these lots' unspent points.
        virtual void lapsed(const QDate &, const std::vector<Taken> &) {}
        /// An adjustment row of the pass on its passDay: for a lapse, what the ledger lapsed at
        /// that pass and no earlier lapse row of it took; for a lift or a refill, the deficit it
        /// forgave.
        virtual void adjustment(const LedgerRow &, Kind, Currency) {}
    };

    /// The card's totals, exact.
    struct Totals
    {
        Currency book;         ///< the sum of the rows
        Currency ledger;       ///< the open lots less the deficit
        Currency bookLapsed;   ///< by the adjustment rows that lapse
        Currency ledgerLapsed; ///< by the ledger's own passes
    };

    static Kind kindOf(const LedgerRow &row);
    static bool isAdjustment(const QString &observa);
    /// The day of the pass that posted an adjustment dated `data` and written at `dataSys`: a
    /// lift's own date; for a lapse or a refill, dated at the cutoff, the day a year on, or the
    /// day it was written where that day's cutoff is its date or it was written before then.
    static QDate passDayOf(Kind kind, const QDate &data, const QDateTime &dataSys);
    /// The first day whose pass lapses a lot that counts from `day`: its anniversary, or the day
    /// after where the year back from it falls short (29 February).
    static QDate lapseDay(const QDate &day);

    /// Replays `rows` (in any order) and a pass `now`. False when a sum leaves the amount's
    /// range.
    bool replay(std::vector<LedgerRow> rows, const QDateTime &now, Observer *observer = nullptr);
    const Totals &totals() const { return m_totals; }
    /// After replay(): the lots still open, oldest first.
    const std::deque<Lot> &openLots() const { return m_lots; }
    Currency deficit() const { return m_deficit; }

private:
    bool lapseUpTo(const QDate &passDay, std::vector<Taken> *lapsed);
    bool move(const LedgerRow &row, Kind kind, std::vector<Taken> *taken);

    std::deque<Lot> m_lots;
    Currency m_deficit;
    Totals m_totals;
};
