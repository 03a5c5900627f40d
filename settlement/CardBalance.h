// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"

#include <QDate>
#include <QSqlQuery>
#include <QString>
#include <QStringView>
#include <QVariant>

class DbConnection;

/// One card's balance up to the end of a date, read as the scheme's DBAs read it: the sum of
/// its "+" movements less the sum of its "-" movements, in two statements prepared once a pass.
class CardBalance
{
public:
    /// Prepares both sums on `connection`, which must outlive them. False, with the driver's
    /// description in `error`, when either cannot be prepared.
    bool prepare(const DbConnection &connection, QString *error);

    /// The balance of the card up to and including `bound`, unrounded. False, with `error` set,
    /// when a sum fails, returns no row, cannot be converted or leaves the range.
    bool read(QStringView cliente, QStringView numCartao, const QDate &bound, Currency *balance,
              QString *error);

    /// Lets both statements go, before their connection closes.
    void clear();

    /// The balance from the two sums' values, each NULL when the card has no such movement:
    /// the plus sum less the minus sum, unrounded. False, with `error` set, when a value
    /// cannot be converted or the difference leaves the range.
    static bool fromSums(const QVariant &soma, const QVariant &subtrai, Currency *balance,
                         QString *error);

private:
    const DbConnection *m_connection = nullptr;
    QSqlQuery m_plusSum;
    QSqlQuery m_minusSum;
    QDate m_bound; ///< the date bound on both sums, null before the first
};
