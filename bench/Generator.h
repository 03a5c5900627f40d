// SPDX-License-Identifier: MIT
#pragma once

#include <QDate>
#include <QString>

namespace Generator {

struct Shape
{
    qint64 cards = 10000;
    int rowsPerCard = 10; ///< on average; each card gets between half and one and a half times
    quint32 seed = 1;
};

struct Summary
{
    qint64 cards = 0;
    qint64 rows = 0;
    qint64 cardsToSettle = 0; ///< cards generated with an old balance that rounds to non-zero
};

/// Writes a SQLite database at `path` with the scheme's tables and indexes: `shape.cards`
/// cards and their history over the three years up to `today`, the same bytes for the same
/// shape. About one card in ten is left with an old balance for a first pass to settle, a
/// third of those going negative once their old points lapse.
bool create(const QString &path, const Shape &shape, const QDate &today, Summary *summary,
            QString *error);

} // namespace Generator
