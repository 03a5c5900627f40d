// SPDX-License-Identifier: MIT
#include "settlement/CardBalance.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"

#include <QSqlError>

namespace {
QString noRowText()
{
    return QStringLiteral("a soma não devolveu nenhuma linha");
}
} // namespace

QString CardBalance::boundText(QStringView value)
{
    return value.isEmpty() ? QStringLiteral("") : value.toString();
}

bool CardBalance::prepare(const DbConnection &connection, QString *error)
{
    clear();
    m_connection = &connection;
    const Dialect &dialect = connection.dialect();
    return connection.prepare(m_plusSum, dialect.plusSumSql(), error) &&
           connection.prepare(m_minusSum, dialect.minusSumSql(), error);
}

CardBalance::Read CardBalance::read(QStringView cliente, QStringView numCartao, const QDate &bound,
                                    CardSums *sums, QString *error)
{
    // The date changes only between a card's old and current balance: it is bound, and its
    // text made, only then. A bound value stays with the statement from one run to the next.
    if (bound != m_bound) {
        m_dateBound = m_connection->dialect().dateBoundValue(bound);
        m_bound = bound;
    }
    QVariant soma;
    QVariant subtrai;
    const QVariantList values{boundText(cliente), boundText(numCartao), m_dateBound};
    // Each sum's single value may be NULL (no movement of that kind).
    const QString noRow = noRowText();
    if (!m_connection->readOneValue(m_plusSum, values, noRow, &soma, error) ||
        !m_connection->readOneValue(m_minusSum, values, noRow, &subtrai, error))
        return Read::Failed;
    return fromSums(soma, subtrai, sums, error) ? Read::Ok : Read::Unconvertible;
}

bool CardBalance::readMany(const QVector<Key> &cards, const QDate &bound,
                           QVector<std::optional<CardSums>> *sums, QString *error)
{
    sums->clear();
    if (cards.isEmpty())
        return true;
    // A statement is prepared for the whole number of cards, or for the power of two that
    // takes the cards, the last card filling the places left: a pass prepares a few sizes once.
    const int most = m_connection->dialect().cardsPerRoundTrip();
    int size = int(cards.size());
    if (size < most) {
        size = 1;
        while (size < cards.size())
            size *= 2;
    }
    size = qMin(size, most);
    if (cards.size() > size) {
        *error = QStringLiteral("demasiados cartões numa só leitura");
        return false;
    }
    QSqlQuery &query = m_many[size];
    if (query.lastQuery().isEmpty() &&
        !m_connection->prepare(query, m_connection->dialect().cardsSumsSql(size), error)) {
        m_many.remove(size);
        return false;
    }
    const QVariant dateBound = m_connection->dialect().dateBoundValue(bound);
    QVariantList values;
    values.reserve(qsizetype(6) * size);
    for (int i = 0; i < size; ++i) {
        const Key &card = cards.at(qMin(qsizetype(i), cards.size() - 1));
        const QString terceiro = boundText(card.first);
        const QString cartao = boundText(card.second);
        for (int sum = 0; sum < 2; ++sum)
            values << terceiro << cartao << dateBound;
    }
    if (!m_connection->exec(query, values, error))
        return false;
    QVariant read[2];
    for (int i = 0; i < 2 * size; ++i) {
        // Each statement's one row: a statement that failed, or a result missing, fails all.
        if ((i > 0 && !m_connection->nextResult(query, error)) ||
            !m_connection->next(query, error)) {
            if (error->isEmpty())
                *error = noRowText();
            query.finish();
            return false;
        }
        read[i % 2] = query.value(0);
        if (i % 2 == 1 && i / 2 < cards.size()) {
            CardSums card;
            QString unconvertible;
            sums->append(fromSums(read[0], read[1], &card, &unconvertible)
                             ? std::optional<CardSums>(card)
                             : std::nullopt);
        }
    }
    return m_connection->finish(query, error);
}

bool CardBalance::readsWithoutMovements(QStringView cliente, QStringView numCartao, QString *error)
{
    // The first day every SQL Server date type takes, and long before any loyalty scheme.
    CardSums none;
    const bool ran = read(cliente, numCartao, QDate(1900, 1, 1), &none, error) == Read::Ok;
    m_bound = QDate(); // the next read binds its own date again
    return ran;
}

bool CardBalance::fromSums(const QVariant &soma, const QVariant &subtrai, CardSums *sums,
                           QString *error)
{
    CardSums read;
    if (!soma.isNull() && !Currency::fromVariant(soma, &read.plus, error))
        return false;
    if (!subtrai.isNull() && !Currency::fromVariant(subtrai, &read.minus, error))
        return false;
    *sums = read;
    return true;
}

void CardBalance::clear()
{
    m_plusSum = QSqlQuery();
    m_minusSum = QSqlQuery();
    m_many.clear();
    m_bound = QDate();
    m_connection = nullptr;
}
