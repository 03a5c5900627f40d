// SPDX-License-Identifier: MIT
#include "settlement/SettlementBatch.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "db/TransactionGuard.h"
#include "settlement/PassHost.h"

SettlementBatch::SettlementBatch(const DbConnection &connection, PassHost &host, bool dryRun,
                                 bool keepRows)
    : m_connection(connection), m_host(host), m_dryRun(dryRun), m_keepRows(keepRows)
{
}

SettlementBatch::~SettlementBatch() = default;

bool SettlementBatch::begin(QString *error)
{
    // Reads share the batch as well: on SQLite the file lock is then taken once a batch
    // rather than around every statement. A preview only reads, under a shared lock.
    const Dialect &dialect = m_connection.dialect();
    m_transaction = std::make_unique<TransactionGuard>(
        m_connection, m_dryRun ? QString() : dialect.beginWritingSql(),
        dialect.openTransactionSql());
    if (m_transaction->begun())
        return true;
    *error = m_transaction->error();
    return false;
}

bool SettlementBatch::openCard(QString *error)
{
    if (!m_dryRun && !m_transaction->savepoint()) {
        *error = m_transaction->error();
        return false;
    }
    m_cardOpen = true;
    m_cardLines = m_lines.size();
    m_cardRows = m_rows.size();
    m_cardCounts = m_counts;
    return true;
}

void SettlementBatch::addRow(const HistoryEntry &row)
{
    ++m_counts.rows;
    Currency &points =
        row.Afecta == QLatin1String("-") ? m_counts.pointsTaken : m_counts.pointsGiven;
    Currency magnitude;
    if (row.Pontos.absolute(&magnitude))
        Currency::add(points, magnitude, &points);
    if (m_keepRows)
        m_rows.append(row);
}

void SettlementBatch::addCardLine(const QString &text)
{
    m_lines.append({text, true, true, true});
}

bool SettlementBatch::closeCard(QString *error)
{
    if (!m_dryRun && !m_transaction->releaseSavepoint()) {
        *error = m_transaction->error();
        return false;
    }
    m_cardOpen = false;
    ++m_counts.cards;
    return true;
}

bool SettlementBatch::undoCard(QString *error)
{
    if (!m_dryRun && !(m_transaction->rollbackToSavepoint() && m_transaction->releaseSavepoint())) {
        *error = m_transaction->error();
        return false; // still open: the batch must not be committed with part of the card
    }
    m_cardOpen = false;
    // The card's own lines go; the lines that stay (its refused posting) remain.
    for (qsizetype i = m_lines.size() - 1; i >= m_cardLines; --i) {
        if (m_lines.at(i).ofCard)
            m_lines.remove(i);
    }
    m_rows.resize(m_cardRows);
    m_counts = m_cardCounts;
    return true;
}

void SettlementBatch::append(const QString &text)
{
    m_lines.append({text, false, false, false});
}

void SettlementBatch::caretToEnd()
{
    if (!m_lines.isEmpty())
        m_lines.last().caret = true;
}

void SettlementBatch::refresh()
{
    if (!m_lines.isEmpty())
        m_lines.last().refresh = true;
}

void SettlementBatch::show(bool cardLines)
{
    for (const Line &line : std::as_const(m_lines)) {
        if (line.ofCard && !cardLines)
            continue;
        m_host.append(line.text);
        if (line.caret)
            m_host.caretToEnd();
        if (line.refresh)
            m_host.refresh();
    }
    m_lines.clear();
}

bool SettlementBatch::commit(QString *error, Counts *counts, QVector<HistoryEntry> *rows)
{
    if (!m_transaction->commit()) {
        *error = m_transaction->error();
        show(false);
        return false;
    }
    show(true);
    *counts = m_counts;
    if (rows)
        rows->append(m_rows);
    m_counts = {};
    m_rows.clear();
    return true;
}

void SettlementBatch::discard()
{
    m_transaction.reset();
    show(false);
    m_counts = {};
    m_rows.clear();
    m_cardOpen = false;
}
