// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/CardList.h"
#include "settlement/LapseRule.h"

#include <QDate>
#include <QSqlQuery>
#include <QString>
#include <QVector>

class DbConnection;

/// The sums of a range of the card list, read with one grouped statement: every card whose
/// number lies in the range, with its "+" and "-" sums up to the cutoff and up to today, as
/// the per-card statements read them. A batch of cards costs one statement, not four a card.
class RangeBalances
{
public:
    struct Card
    {
        QString cliente;
        QString numCartao;
        bool readable = false; ///< whether its sums could be converted
        /// Whether its values, as read, are the text by which the server found its sums; a
        /// row posted under other values would not be found by them.
        bool keyReadsBack = true;
        bool sumsFound = false; ///< whether the server found any movement of the card
        CardSums atCutoff;
        CardSums today;
    };

    /// Prepares the statements on `connection`, which must outlive them.
    bool prepare(const DbConnection &connection, QString *error);
    /// The cards numbered after `after` (the first range when null, which holds the cards
    /// without a number too) up to and including `upTo`, in the card list's order; a card
    /// `keys` has seen is left out. False, with the reason, when the statement failed.
    bool read(const QString *after, const QString &upTo, const QDate &cutoff, const QDate &today,
              CardKeys &keys, QVector<Card> *cards, QString *error);
    /// Lets the statements go, before their connection closes.
    void clear();

private:
    const DbConnection *m_connection = nullptr;
    QSqlQuery m_first;
    QSqlQuery m_next;
};
