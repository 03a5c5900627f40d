// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"

/// A card's two sums up to one date, bound at midnight at the start of that day (a movement
/// dated later that day counts from the next day on): its "+" movements and its "-" movements,
/// each as the database summed it (a card with no such movement sums to 0).
struct CardSums
{
    Currency plus;
    Currency minus;
};

/// What a pass posts for one card. Each amount is in whole points, 0 where nothing is posted.
struct CardAdjustments
{
    Currency oldBalance; ///< the balance up to the cutoff, in whole points
    Currency lapse;      ///< taken away, dated the cutoff: the old points not yet spent
    Currency refill;     ///< added, dated the cutoff: the part of an old deficit still lacking
    Currency lift;       ///< added, dated today: what brings today's balance back to zero

    bool postsNothing() const { return lapse.isZero() && refill.isZero() && lift.isZero(); }
};

/// How points lapse: a year after they were earned, the oldest spent first.
///
/// Points earned up to the cutoff (one year ago) lapse, but only those still unspent: every
/// point taken out since the cutoff came from the oldest points, so it does not lapse again.
/// The sums stay exact (four decimals) until each amount is decided, and each is rounded once,
/// halves to even: the old balance, today's balance, and the unspent points (the old sum less
/// the exact points spent since the cutoff). Whatever the decimals, after a lapse the unspent
/// points, or today's balance, round to zero, so the next pass finds nothing to lapse.
/// A lapse never takes the card below zero today. An old deficit (a till that let the balance
/// go below zero) is refilled only as far as today's balance still lacks it, and a balance
/// still below zero today is lifted to zero. The lapse and the refill are dated at the cutoff,
/// so that the next pass finds them in its old balance; the lift is dated today.
///
/// The rule keeps no state: it reads the same sums on every pass, from any history, and a
/// second pass on the same day posts nothing.
namespace LapseRule {

/// The plus sum less the minus sum, rounded to whole points (halves to even). False when the
/// difference leaves the amount's range.
bool balance(const CardSums &sums, Currency *whole);

/// The adjustments for a card from its sums up to the cutoff and up to today. False when a
/// value leaves the amount's range.
bool adjust(const CardSums &atCutoff, const CardSums &today, CardAdjustments *out);

} // namespace LapseRule
