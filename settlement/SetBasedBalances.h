// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/CardList.h"
#include "settlement/LapseRule.h"

#include <QDate>
#include <QString>
#include <QStringView>

#include <vector>

class DbConnection;

/// The old balances of every card, read with one statement over the whole history, keeping
/// only the cards that may need settling: those whose balance, rounded to whole points, is not
/// zero. The others are counted and forgotten, so that a large scheme costs memory only for
/// the cards a pass will touch.
class SetBasedBalances
{
public:
    /// Reads every card's balance up to and including `bound`. The result is read to its end
    /// and closed before this returns, so the connection is free for the settling. False,
    /// with `error` set, when the statement fails. A card whose sums cannot be converted is
    /// kept, not readable(), for the pass to read on its own.
    bool read(const DbConnection &connection, const QDate &bound, QString *error);

    /// Cards in the card list, settled or not.
    qint64 cardsRead() const { return m_cardsRead; }
    /// Cards to settle, in card-list order.
    qsizetype size() const { return m_cards.size(); }
    QStringView cliente(qsizetype i) const { return m_cards.cliente(i); }
    QStringView numCartao(qsizetype i) const { return m_cards.numCartao(i); }
    /// Whether the grouped read could convert the card's sums.
    bool readable(qsizetype i) const { return m_readable.at(static_cast<std::size_t>(i)); }
    /// The card's sums up to the bound, when readable; their balance, in whole points, is never
    /// zero.
    const CardSums &sums(qsizetype i) const { return m_sums.at(static_cast<std::size_t>(i)); }

private:
    qint64 m_cardsRead = 0;
    CardList m_cards;
    std::vector<CardSums> m_sums;
    std::vector<bool> m_readable;
};
