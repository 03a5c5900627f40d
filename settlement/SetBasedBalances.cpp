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

    QSqlQuery query;
    if (!connection.prepare(query, connection.dialect().balancesSql(), error))
        return false;
    const QVariant dateBound = connection.dialect().dateBoundValue(bound);
    query.bindValue(0, dateBound);
    query.bindValue(1, dateBound);
    if (!query.exec()) {
        *error = DbConnection::describe(query.lastError());
        return false;
    }
    CardKeys keys;
    QString cliente;
    QString numCartao;
    while (query.next()) {
        if (!keys.firstTime(query.value(0), query.value(1), &cliente, &numCartao))
            continue;
        // The same steps as the per-card reading: the plus sum, less the minus sum, rounded.
        CardSums sums;
        if (!CardBalance::fromSums(query.value(2), query.value(3), &sums, error))
            return false;
        ++m_cardsRead;
        Currency balance;
        if (!LapseRule::balance(sums, &balance)) {
            *error = QStringLiteral("saldo fora do intervalo");
            return false;
        }
        if (balance.isZero())
            continue;
        m_cards.add(cliente, numCartao);
        m_sums.push_back(sums);
    }
    if (query.lastError().isValid()) {
        *error = DbConnection::describe(query.lastError());
        return false;
    }
    query.finish();
    m_cards.squeeze();
    m_sums.shrink_to_fit();
    return true;
}
