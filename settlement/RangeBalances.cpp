// SPDX-License-Identifier: MIT
#include "settlement/RangeBalances.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "settlement/CardBalance.h"

#include <QSqlError>

bool RangeBalances::prepare(const DbConnection &connection, QString *error)
{
    clear();
    m_connection = &connection;
    const Dialect &dialect = connection.dialect();
    return connection.prepare(m_first, dialect.rangeBalancesSql(true), error) &&
           connection.prepare(m_next, dialect.rangeBalancesSql(false), error);
}

bool RangeBalances::read(const QString *after, const QString &upTo, const QDate &cutoff,
                         const QDate &today, CardKeys &keys, QVector<Card> *cards, QString *error)
{
    cards->clear();
    const Dialect &dialect = m_connection->dialect();
    const QVariant cutoffBound = dialect.dateBoundValue(cutoff);
    const QVariant todayBound = dialect.dateBoundValue(today);
    QSqlQuery &query = after ? m_next : m_first;
    const QVariantList values =
        after ? QVariantList{*after, upTo, cutoffBound, cutoffBound, *after, upTo, todayBound}
              : QVariantList{upTo, cutoffBound, cutoffBound, upTo, todayBound};
    if (!m_connection->exec(query, values, error))
        return false;
    Card card;
    while (m_connection->next(query, error)) {
        if (!keys.firstTime(query.value(0), query.value(1), &card.cliente, &card.numCartao))
            continue;
        QString ignored;
        card.readable =
            CardBalance::fromSums(query.value(2), query.value(3), &card.atCutoff, &ignored) &&
            CardBalance::fromSums(query.value(4), query.value(5), &card.today, &ignored);
        card.keyReadsBack = query.value(6).toString() == card.cliente &&
                            query.value(7).toString() == card.numCartao;
        card.sumsFound = !query.value(4).isNull() || !query.value(5).isNull();
        cards->append(card);
    }
    const bool ok = error->isEmpty();
    query.finish();
    return ok;
}

void RangeBalances::clear()
{
    m_first = QSqlQuery();
    m_next = QSqlQuery();
    m_connection = nullptr;
}
