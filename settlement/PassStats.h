// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"

#include <QtGlobal>

/// What a pass did, counted as it goes.
struct PassStats
{
    qint64 cardsRead = 0;
    qint64 cardsSettled = 0;
    qint64 rowsPosted = 0;    ///< rows written (or, in a dry run, previewed)
    qint64 rowsFailed = 0;    ///< postings refused
    qint64 cardsFailed = 0;   ///< cards whose balance could not be read
    Currency pointsLapsed;    ///< taken away by the rows posted
    Currency pointsLifted;    ///< added by the rows posted: refills and lifts
    qint64 clockOffsetMs = 0; ///< the database server's clock less this machine's, as read
    /// The longest time a batch held its transaction, from its begin to its commit, and the
    /// most rows one batch posted: what the tills may wait on.
    qint64 longestBatchMs = 0;
    qint64 largestBatchRows = 0;

    /// Cards left as they were for the next pass: a refused posting, or a balance unread.
    bool someCardsLeft() const { return rowsFailed > 0 || cardsFailed > 0; }
};
