// SPDX-License-Identifier: MIT
#pragma once

#include <QDate>
#include <QString>

class DbConnection;

namespace Generator {

struct Shape
{
    qint64 cards = 10000;
    int rowsPerCard = 10; ///< on average; each card gets between half and one and a half times
    quint32 seed = 1;
    int settleShare = 10; ///< percent of the cards left with an old balance to settle
};

struct Summary
{
    qint64 cards = 0;
    qint64 rows = 0;
    qint64 cardsToSettle = 0; ///< cards generated with an old balance that rounds to non-zero
};

/// Writes a SQLite database at `path` with the scheme's tables and indexes: `shape.cards`
/// cards and their history over the three years up to `today`, the same bytes for the same
/// shape. `shape.settleShare` percent of the cards are left with an old balance for a first
/// pass to settle, a third of those going negative once their old points lapse.
bool create(const QString &path, const Shape &shape, const QDate &today, Summary *summary,
            QString *error);

/// The same cards and history in the SQL Server database of `connection`: drops and creates
/// PontosCartoes and PontosHistorico with their indexes, then fills them in bulk.
bool createOnServer(const DbConnection &connection, const Shape &shape, const QDate &today,
                    Summary *summary, QString *error);
/// Runs one statement on the SQLite database at `path`.
bool execOnFile(const QString &path, const QString &statement, QString *error);
/// Drops the two tables again.
bool dropOnServer(const DbConnection &connection, QString *error);

} // namespace Generator
