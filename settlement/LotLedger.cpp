// SPDX-License-Identifier: MIT
#include "settlement/LotLedger.h"

#include <algorithm>
#include <climits>

namespace {

const QString kAdjustmentNote = QStringLiteral("Regularização Automática");
const QString kLiftNote = QStringLiteral("Regularização Automática (Saldo em");

} // namespace

bool LotLedger::isAdjustment(const QString &observa)
{
    return observa.startsWith(kAdjustmentNote);
}

LotLedger::Kind LotLedger::kindOf(const LedgerRow &row)
{
    if (isAdjustment(row.observa)) {
        if (!row.plus)
            return Kind::Lapse;
        return row.observa.startsWith(kLiftNote) ? Kind::Lift : Kind::Refill;
    }
    return row.plus != row.pontos.isNegative() ? Kind::Earning : Kind::Spending;
}

QDate LotLedger::passDayOf(Kind kind, const QDate &data, const QDateTime &dataSys)
{
    // A lift is dated on the day of its pass.
    if (kind == Kind::Lift)
        return data;
    // A lapse or a refill is dated at its pass's cutoff, a year back, which a pass on 28 and
    // one on 29 February share: the day it was written tells them apart, unless it was written
    // later (a pass that ran past midnight). A row dated otherwise was written by its pass.
    const QDate written = dataSys.date();
    if (written.isValid() && (written.addYears(-1) == data || written < data.addYears(1)))
        return written;
    return data.addYears(1);
}

QDate LotLedger::lapseDay(const QDate &day)
{
    QDate pass = day.addYears(1);
    while (pass.addYears(-1) < day)
        pass = pass.addDays(1);
    return pass;
}

bool LotLedger::lapseUpTo(const QDate &passDay, std::vector<Taken> *lapsed)
{
    const QDate cutoff = passDay.addYears(-1);
    while (!m_lots.empty() && m_lots.front().day <= cutoff) {
        const Lot &lot = m_lots.front();
        lapsed->push_back({lot, lot.left});
        if (!Currency::add(m_totals.ledgerLapsed, lot.left, &m_totals.ledgerLapsed))
            return false;
        m_lots.pop_front();
    }
    return true;
}

bool LotLedger::move(const LedgerRow &row, Kind kind, std::vector<Taken> *taken)
{
    Currency amount;
    if (!row.pontos.absolute(&amount))
        return false;
    if (kind == Kind::Earning) {
        // An earning makes good the card's deficit first: those points were already spent.
        const Currency paid = std::min(amount, m_deficit);
        if (!Currency::subtract(m_deficit, paid, &m_deficit) ||
            !Currency::subtract(amount, paid, &amount))
            return false;
        if (amount.isPositive())
            m_lots.push_back({row.day, amount, amount});
        return true;
    }
    while (amount.isPositive() && !m_lots.empty()) {
        Lot &lot = m_lots.front();
        const Currency points = std::min(amount, lot.left);
        taken->push_back({lot, points});
        if (!Currency::subtract(lot.left, points, &lot.left) ||
            !Currency::subtract(amount, points, &amount))
            return false;
        if (lot.left.isZero())
            m_lots.pop_front();
    }
    return Currency::add(m_deficit, amount, &m_deficit);
}

bool LotLedger::replay(std::vector<LedgerRow> rows, const QDateTime &now, Observer *observer)
{
    m_lots.clear();
    m_deficit = Currency();
    m_totals = {};
    Observer none;
    Observer &watch = observer ? *observer : none;
    // The rows in the order the passes met them, and this replay's own pass now: a pass counts
    // the movements up to its day that were there when it ran (those written after it, where
    // both moments are known, come after it), and none of a later day.
    struct Step
    {
        QDate day;
        QDateTime moment; // null: before any written moment of its day
        bool pass = false;
        std::size_t row = 0; // rows.size(): the pass now
        Kind kind = Kind::Earning;
    };
    std::vector<Step> steps;
    steps.reserve(rows.size() + 1);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const LedgerRow &row = rows[i];
        const Kind kind = kindOf(row);
        const bool pass = kind != Kind::Earning && kind != Kind::Spending;
        const QDate day = pass ? row.passDay : row.day;
        steps.push_back(
            {day, row.dataSys.date() == day ? row.dataSys : QDateTime(), pass, i, kind});
    }
    steps.push_back({now.date(), now, true, rows.size(), Kind::Lapse});
    std::stable_sort(steps.begin(), steps.end(), [](const Step &a, const Step &b) {
        if (a.day != b.day)
            return a.day < b.day;
        const qint64 ma = a.moment.isValid() ? a.moment.toMSecsSinceEpoch() : LLONG_MIN;
        const qint64 mb = b.moment.isValid() ? b.moment.toMSecsSinceEpoch() : LLONG_MIN;
        if (ma != mb)
            return ma < mb;
        return !a.pass && b.pass;
    });

    QDate lastPass;
    std::vector<Taken> taken;
    std::vector<Taken> atPass; // what the ledger lapsed at the pass of the adjustments read
    Currency unmatched;        // of it, what no lapse row of that pass has yet been held against
    for (const Step &step : steps) {
        if (step.pass && step.day != lastPass) {
            lastPass = step.day;
            atPass.clear();
            if (!lapseUpTo(step.day, &atPass))
                return false;
            if (!atPass.empty())
                watch.lapsed(step.day, atPass);
            unmatched = Currency();
            for (const Taken &each : atPass)
                if (!Currency::add(unmatched, each.points, &unmatched))
                    return false;
        }
        if (step.row == rows.size())
            continue;
        const LedgerRow &row = rows[step.row];
        Currency signedAmount = row.pontos;
        if ((!row.plus && !Currency::subtract(Currency(), row.pontos, &signedAmount)) ||
            !Currency::add(m_totals.book, signedAmount, &m_totals.book))
            return false;
        if (!step.pass) {
            taken.clear();
            if (!move(row, step.kind, &taken))
                return false;
            watch.movement(row, step.kind, taken, m_deficit);
            continue;
        }
        if (step.kind == Kind::Lapse) {
            if (!Currency::add(m_totals.bookLapsed, row.pontos, &m_totals.bookLapsed))
                return false;
            const Currency matched = std::min(std::max(Currency(), row.pontos), unmatched);
            watch.adjustment(row, step.kind, unmatched);
            if (!Currency::subtract(unmatched, matched, &unmatched))
                return false;
            continue;
        }
        // A lift or a refill: the scheme forgives what the card owes, and no more.
        const Currency forgiven = std::min(std::max(Currency(), row.pontos), m_deficit);
        if (!Currency::subtract(m_deficit, forgiven, &m_deficit))
            return false;
        watch.adjustment(row, step.kind, forgiven);
    }
    Currency open;
    for (const Lot &lot : m_lots)
        if (!Currency::add(open, lot.left, &open))
            return false;
    return Currency::subtract(open, m_deficit, &m_totals.ledger);
}
