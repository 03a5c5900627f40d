// SPDX-License-Identifier: MIT
#include "settlement/SetBasedBalances.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "settlement/CardBalance.h"

#include <QSqlQuery>

bool SetBasedBalances::read(const DbConnection &connection, const QDate &bound, QString *error)
{
    m_cardsRead = 0;
    m_cards.clear();
    m_sums.clear();
    m_readable.clear();

    QSqlQuery query;
    if (!connection.prepare(query, connection.dialect().balancesSql(), error))
        return false;
    const QVariant dateBound = connection.dialect().dateBoundValue(bound);
    if (!connection.exec(query, {dateBound, dateBound}, error))
        return false;
    CardKeys keys;
    QString cliente;
    QString numCartao;
    while (query.next()) {
        if (!keys.firstTime(query.value(0), query.value(1), &cliente, &numCartao))
            continue;
        // The same steps as the per-card reading: the plus sum, less the minus sum, rounded.
        ++m_cardsRead;
        CardSums sums;
        QString ignored;
        Currency balance;
        const bool readable =
            CardBalance::fromSums(query.value(2), query.value(3), &sums, &ignored) &&
            LapseRule::balance(sums, &balance);
        if (readable && balance.isZero())
            continue;
        m_cards.add(cliente, numCartao);
        m_sums.push_back(readable ? sums : CardSums());
        m_readable.push_back(readable);
    }
    if (query.lastError().isValid()) {
        *error = DbConnection::describe(query.lastError());
        return false;
    }
    query.finish();
    m_cards.squeeze();
    m_sums.shrink_to_fit();
    m_readable.shrink_to_fit();
    return true;
}
