// SPDX-License-Identifier: MIT
#pragma once

#include "settlement/LapseRule.h"

#include <QDate>
#include <QHash>
#include <QSqlQuery>
#include <QString>
#include <QStringView>
#include <QVariant>
#include <QVector>

#include <optional>
#include <utility>

class DbConnection;

/// One card's sums up to a date, bound at midnight at the start of that day, read as the
/// scheme's DBAs read them: the sum of its "+" movements and the sum of its "-" movements, in two
/// statements prepared once a pass.
class CardBalance
{
public:
    /// Prepares both sums on `connection`, which must outlive them. False, with the driver's
    /// description in `error`, when either cannot be prepared.
    bool prepare(const DbConnection &connection, QString *error);

    enum class Read {
        Ok,
        Unconvertible, ///< the sums came back, but not as an amount of points
        Failed,        ///< a sum's statement failed, or returned no row
    };
    /// The card's sums up to `bound`, midnight at its start included (Dialect::dateBoundValue);
    /// `error` is set unless Ok.
    Read read(QStringView cliente, QStringView numCartao, const QDate &bound, CardSums *sums,
              QString *error);
    /// A card's value as the sums bind it: empty text, never NULL, for a card read with a NULL
    /// value is settled as the empty text.
    static QString boundText(QStringView value);
    /// (Cliente, NumCartao), as read.
    using Key = std::pair<QStringView, QStringView>;
    /// The sums of several cards up to one bound, Dialect::cardsPerRoundTrip() of them at most:
    /// their statements go to the server as one batch, and the results are read in turn. A
    /// card whose sums cannot be converted gets none in `sums`. False, with the driver's
    /// description, when a statement failed.
    bool readMany(const QVector<Key> &cards, const QDate &bound,
                  QVector<std::optional<CardSums>> *sums, QString *error);
    /// Whether both sums run for the card when none of its movements count (a bound before
    /// any movement): after a Failed read, true when the card's own movements made it fail,
    /// false, with `error` set, when the sums fail whatever the card.
    bool readsWithoutMovements(QStringView cliente, QStringView numCartao, QString *error);

    /// Lets both statements go, before their connection closes.
    void clear();

    /// The sums from the two values a statement returned, each NULL when the card has no such
    /// movement. False, with `error` set, when a value cannot be converted.
    static bool fromSums(const QVariant &soma, const QVariant &subtrai, CardSums *sums,
                         QString *error);

private:
    const DbConnection *m_connection = nullptr;
    QSqlQuery m_plusSum;
    QSqlQuery m_minusSum;
    QDate m_bound;                ///< the date bound of both sums, null before the first
    QVariant m_dateBound;         ///< its value, as bound
    QHash<int, QSqlQuery> m_many; ///< readMany()'s statements, by their number of cards
};
