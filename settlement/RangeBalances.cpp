// SPDX-License-Identifier: MIT
#include "settlement/RangeBalances.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "settlement/CardBalance.h"

void RangeBalances::prepare(const DbConnection &connection)
{
    clear();
    m_connection = &connection;
}

bool RangeBalances::read(const CardList &cards, qsizetype start, qsizetype end, const QDate &cutoff,
                         const QDate &today, QVector<Card> *read, QString *error)
{
    read->clear();
    if (start >= end)
        return true;
    const Dialect &dialect = m_connection->dialect();
    if (!m_prepared) {
        if (!m_connection->prepare(m_query, dialect.rangeBalancesSql(), error))
            return false;
        m_prepared = true;
    }
    const QVariant cutoffBound = dialect.dateBoundValue(cutoff);
    const QVariant first = qint64(cards.row(start));
    const QVariant last = qint64(cards.row(end - 1));
    const QVariantList values{
        cutoffBound, cutoffBound, first, last, first, last, dialect.dateBoundValue(today),
        first,       last};
    if (!m_connection->exec(m_query, values, error))
        return false;
    qsizetype next = start; // the next card the statement should name
    while (m_connection->next(m_query, error)) {
        bool ok = false;
        const qint64 row = m_query.value(0).toLongLong(&ok);
        // One row a card, in order; a row that names no card of the list (a pair settled as
        // another) is not taken.
        if (!ok || next >= end || row != qint64(cards.row(next)))
            continue;
        Card card;
        card.cliente = cards.cliente(next).toString();
        card.numCartao = cards.numCartao(next).toString();
        card.row = row;
        QString ignored;
        card.readable =
            CardBalance::fromSums(m_query.value(1), m_query.value(2), &card.atCutoff, &ignored) &&
            CardBalance::fromSums(m_query.value(3), m_query.value(4), &card.today, &ignored);
        card.keyReadsBack = cards.readsBack(next);
        // The values as the server compares them; those read, where they are the same.
        card.readAlone = card.keyReadsBack ? !dialect.rangeReadsKey(cards.cliente(next)) ||
                                                 !dialect.rangeReadsKey(cards.numCartao(next))
                                           : !dialect.rangeReadsKey(cards.clienteText(next)) ||
                                                 !dialect.rangeReadsKey(cards.numCartaoText(next));
        card.readAlone = card.readAlone || CardKeys::mayBeListedTwice(card.cliente, card.numCartao);
        card.sumsFound = !m_query.value(3).isNull() || !m_query.value(4).isNull();
        read->append(card);
        ++next;
    }
    const bool ok = error->isEmpty();
    m_query.finish();
    if (ok && read->size() != end - start) {
        *error = QStringLiteral("a leitura dos saldos devolveu %1 de %2 cartões")
                     .arg(read->size())
                     .arg(end - start);
        return false;
    }
    return ok;
}

void RangeBalances::clear()
{
    m_query = QSqlQuery();
    m_prepared = false;
    m_connection = nullptr;
}
