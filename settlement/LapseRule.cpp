// SPDX-License-Identifier: MIT
#include "settlement/LapseRule.h"

#include <algorithm>

namespace LapseRule {

namespace {
const Currency kZero;
}

bool balance(const CardSums &sums, Currency *whole)
{
    Currency difference;
    return Currency::subtract(sums.plus, sums.minus, &difference) && difference.roundToWhole(whole);
}

bool adjust(const CardSums &atCutoff, const CardSums &today, CardAdjustments *out)
{
    CardAdjustments result;
    if (!balance(atCutoff, &result.oldBalance))
        return false;
    if (result.oldBalance.isZero()) {
        *out = result;
        return true;
    }
    // Today's balance, and the points taken out since the cutoff, both exact.
    Currency unrounded;
    Currency current;
    Currency spent;
    if (!Currency::subtract(today.plus, today.minus, &unrounded) ||
        !unrounded.roundToWhole(&current) ||
        !Currency::subtract(today.minus, atCutoff.minus, &spent))
        return false;

    // Today's balance once the adjustment at the cutoff is posted, rounded as the next pass
    // will read it.
    Currency after = unrounded;
    if (result.oldBalance.isPositive()) {
        // The old points not spent since the cutoff, rounded once from the exact sums: rounding
        // the old balance and the spent points apart could leave half a point that the next
        // pass would lapse again.
        Currency oldSum;
        Currency unspentSum;
        Currency unspent;
        if (!Currency::subtract(atCutoff.plus, atCutoff.minus, &oldSum) ||
            !Currency::subtract(oldSum, spent, &unspentSum) || !unspentSum.roundToWhole(&unspent))
            return false;
        result.lapse = std::min(std::max(kZero, unspent), std::max(kZero, current));
        if (!Currency::subtract(unrounded, result.lapse, &after))
            return false;
    } else {
        Currency deficit;
        Currency lacking;
        if (!result.oldBalance.absolute(&deficit) || !Currency::subtract(kZero, current, &lacking))
            return false;
        result.refill = std::min(deficit, std::max(kZero, lacking));
        if (!Currency::add(unrounded, result.refill, &after))
            return false;
    }
    if (!after.roundToWhole(&after))
        return false;
    if (after.isNegative() && !Currency::subtract(kZero, after, &result.lift))
        return false;
    *out = result;
    return true;
}

} // namespace LapseRule
