// SPDX-License-Identifier: MIT
#include "settlement/CardBalance.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"

#include <QSqlError>

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
    // Empty text, never NULL: a card read with a NULL value is settled as the empty text.
    const QString terceiro = cliente.isEmpty() ? QStringLiteral("") : cliente.toString();
    const QString cartao = numCartao.isEmpty() ? QStringLiteral("") : numCartao.toString();
    QVariant soma;
    QVariant subtrai;
    const QVariantList values{terceiro, cartao, m_dateBound};
    // Each sum's single value may be NULL (no movement of that kind).
    const QString noRow = QStringLiteral("a soma não devolveu nenhuma linha");
    if (!m_connection->readOneValue(m_plusSum, values, noRow, &soma, error) ||
        !m_connection->readOneValue(m_minusSum, values, noRow, &subtrai, error))
        return Read::Failed;
    return fromSums(soma, subtrai, sums, error) ? Read::Ok : Read::Unconvertible;
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
    m_bound = QDate();
    m_connection = nullptr;
}
