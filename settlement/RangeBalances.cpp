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
    const qsizetype most = m_connection->dialect().cardsPerRangeRead();
    for (qsizetype part = start; part < end; part += most) {
        if (!readPart(cards, part, qMin(end, part + most), cutoff, today, read, error))
            return false;
    }
    return true;
}

bool RangeBalances::readPart(const CardList &cards, qsizetype start, qsizetype end,
                             const QDate &cutoff, const QDate &today, QVector<Card> *read,
                             QString *error)
{
    const Dialect &dialect = m_connection->dialect();
    const qsizetype count = end - start;
    QSqlQuery shorter;
    const bool whole = count >= m_wholeCards;
    QSqlQuery &query = whole ? m_whole : shorter;
    if (!whole || count > m_wholeCards) {
        if (!m_connection->prepare(query, dialect.rangeBalancesSql(int(count)), error))
            return false;
        if (whole)
            m_wholeCards = count;
    }
    QList<std::pair<QString, QString>> keys;
    keys.reserve(count);
    for (qsizetype i = start; i < end; ++i)
        keys.append({cards.clienteText(i), cards.numCartaoText(i)});
    QVariantList values = dialect.rangeCardValues(keys);
    const QVariant cutoffBound = dialect.dateBoundValue(cutoff);
    // The range's ends as the server stores them, so that a key read otherwise still falls
    // inside its range.
    values << cutoffBound << cutoffBound << cards.numCartaoText(start)
           << cards.numCartaoText(end - 1) << dialect.dateBoundValue(today);
    if (!m_connection->exec(query, values, error))
        return false;
    const qsizetype first = read->size();
    qsizetype next = 0; // the place of the next card the statement should name
    while (m_connection->next(query, error)) {
        bool ok = false;
        const qsizetype n = query.value(0).toLongLong(&ok);
        // One row a card, in order; a second row for a card (it cannot meet two groups of the
        // history) is not taken.
        if (!ok || n < next || n >= count)
            continue;
        next = n + 1;
        Card card;
        card.cliente = cards.cliente(start + n).toString();
        card.numCartao = cards.numCartao(start + n).toString();
        QString ignored;
        card.readable =
            CardBalance::fromSums(query.value(1), query.value(2), &card.atCutoff, &ignored) &&
            CardBalance::fromSums(query.value(3), query.value(4), &card.today, &ignored);
        card.keyReadsBack = cards.readsBack(start + n);
        card.sumsFound = !query.value(3).isNull() || !query.value(4).isNull();
        read->append(card);
    }
    const bool ok = error->isEmpty();
    query.finish();
    if (ok && read->size() - first != count) {
        *error = QStringLiteral("a leitura dos saldos devolveu %1 de %2 cartões")
                     .arg(read->size() - first)
                     .arg(count);
        return false;
    }
    return ok;
}

void RangeBalances::clear()
{
    m_whole = QSqlQuery();
    m_wholeCards = 0;
    m_connection = nullptr;
}
