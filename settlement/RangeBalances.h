// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/CardList.h"
#include "settlement/LapseRule.h"

#include <QDate>
#include <QSqlQuery>
#include <QString>
#include <QVector>

class DbConnection;

/// The sums of a range of the card list, read with one grouped statement: every card of the
/// range, with its "+" and "-" sums up to the cutoff and up to today, as the per-card statements
/// read them. The range's cards are found by their rows in the server's copy of the card list
/// (Dialect::cardTableSql), and the history is read between their first and last numbers: a
/// batch of cards costs one statement of seven values, not four statements a card, and the card
/// table is not read again.
class RangeBalances
{
public:
    struct Card
    {
        QString cliente;
        QString numCartao;
        qint64 row = 0;        ///< in the server's copy of the card list
        bool readable = false; ///< whether its sums could be converted
        /// Whether its values, as read, are the text by which the server found its sums; a
        /// row posted under other values would not be found by them.
        bool keyReadsBack = true;
        bool sumsFound = false; ///< whether the server found any movement of the card
        /// Whether the grouped read cannot compare its values as the per-card sums compare
        /// them (Dialect::rangeReadsKey): its sums are then read alone.
        bool readAlone = false;
        CardSums atCutoff;
        CardSums today;
    };

    /// Reads on `connection`, which must outlive the statements.
    void prepare(const DbConnection &connection);
    /// The cards [start, end) of `cards`, in the list's order. False, with the reason, when a
    /// statement failed.
    bool read(const CardList &cards, qsizetype start, qsizetype end, const QDate &cutoff,
              const QDate &today, QVector<Card> *read, QString *error);
    /// Lets the statements go, before their connection closes.
    void clear();

private:
    const DbConnection *m_connection = nullptr;
    QSqlQuery m_query; ///< kept prepared from one range to the next
    bool m_prepared = false;
};
