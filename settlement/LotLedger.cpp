// SPDX-License-Identifier: MIT
#include "settlement/LotLedger.h"

#include <algorithm>
#include <numeric>

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

QDate LotLedger::passDayOf(Kind kind, const QDate &data, const QDate &dataSys)
{
    if (dataSys.isValid())
        return dataSys;
    return kind == Kind::Lift ? data : data.addYears(1);
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

bool LotLedger::replay(std::vector<LedgerRow> rows, const QDate &today, Observer *observer)
{
    m_lots.clear();
    m_deficit = Currency();
    m_totals = {};
    Observer none;
    Observer &watch = observer ? *observer : none;
    std::vector<Kind> kinds(rows.size());
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    for (std::size_t i = 0; i < rows.size(); ++i)
        kinds[i] = kindOf(rows[i]);
    const auto isMovement = [&kinds](std::size_t i) {
        return kinds[i] == Kind::Earning || kinds[i] == Kind::Spending;
    };
    // A pass reads the movements that count up to its own day: they go first on that day.
    const auto dayOf = [&](std::size_t i) {
        return isMovement(i) ? rows[i].day : rows[i].passDay;
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (dayOf(a) != dayOf(b))
            return dayOf(a) < dayOf(b);
        return isMovement(a) && !isMovement(b);
    });

    QDate lastPass;
    std::vector<Taken> taken;
    std::vector<Taken> atPass; // what the ledger lapsed at the pass of the adjustments read
    for (const std::size_t i : order) {
        const LedgerRow &row = rows[i];
        const Kind kind = kinds[i];
        const Currency signedAmount = row.plus ? row.pontos : Currency::fromRaw(-row.pontos.raw());
        if (!Currency::add(m_totals.book, signedAmount, &m_totals.book))
            return false;
        taken.clear();
        if (isMovement(i)) {
            if (!move(row, kind, &taken))
                return false;
            watch.movement(row, kind, taken, m_deficit);
            continue;
        }
        if (row.passDay != lastPass) {
            lastPass = row.passDay;
            atPass.clear();
            if (!lapseUpTo(row.passDay, &atPass))
                return false;
            if (!atPass.empty())
                watch.lapsed(row.passDay, atPass);
        }
        if (kind == Kind::Lapse) {
            if (!Currency::add(m_totals.bookLapsed, row.pontos, &m_totals.bookLapsed))
                return false;
            Currency atThisPass;
            for (const Taken &each : atPass)
                if (!Currency::add(atThisPass, each.points, &atThisPass))
                    return false;
            watch.adjustment(row, kind, atThisPass);
            continue;
        }
        // A lift or a refill: the scheme forgives what the card owes, and no more.
        const Currency forgiven = std::min(std::max(Currency(), row.pontos), m_deficit);
        if (!Currency::subtract(m_deficit, forgiven, &m_deficit))
            return false;
        watch.adjustment(row, kind, forgiven);
    }
    taken.clear();
    if (!lapseUpTo(today, &taken))
        return false;
    if (!taken.empty())
        watch.lapsed(today, taken);
    Currency open;
    for (const Lot &lot : m_lots)
        if (!Currency::add(open, lot.left, &open))
            return false;
    return Currency::subtract(open, m_deficit, &m_totals.ledger);
}
