// SPDX-License-Identifier: MIT
#include "settlement/SettlementBatch.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "db/TransactionGuard.h"
#include "settlement/Clock.h"
#include "settlement/PassHost.h"
#include "settlement/PassReport.h"

#include <algorithm>

SettlementBatch::SettlementBatch(const DbConnection &connection, PassHost &host, const Clock &clock,
                                 HistoryWriter *writer, bool keepRows, PassStats &stats)
    : m_connection(connection), m_host(host), m_clock(clock), m_writer(writer),
      m_keepRows(keepRows), m_stats(stats)
{
}

SettlementBatch::~SettlementBatch() = default;

bool SettlementBatch::begin(QString *error)
{
    m_rowsFailedBefore = m_stats.rowsFailed;
    m_cardsFailedBefore = m_stats.cardsFailed;
    // Reads share the batch as well: on SQLite the file lock is then taken once a batch
    // rather than around every statement. A preview only reads, under a shared lock.
    m_transaction = std::make_unique<TransactionGuard>(
        m_connection, m_writer ? Dialect::Work::Writing : Dialect::Work::Reading);
    if (m_transaction->begun())
        return true;
    *error = m_transaction->error();
    return false;
}

SettlementBatch::Result SettlementBatch::failed(const QString &description)
{
    m_error = m_connection.isLost() ? m_connection.lostReason() : description;
    return Result::Failed;
}

bool SettlementBatch::victim() const
{
    return m_redoWhenVictim && !m_connection.isLost() && m_connection.deadlockVictim();
}

SettlementBatch::Result SettlementBatch::afterFailure(const QString &description)
{
    if (m_connection.isLost())
        return failed(description);
    if (victim())
        return Result::DeadlockVictim;
    // Some errors end the whole transaction on the server (T-SQL's XACT_ABORT, a trigger's
    // ROLLBACK, Babelfish on an overflow): then the batch's other cards were undone too.
    bool open = true;
    QString error;
    if (!m_connection.dialect().transactionSteps().stillOpen(m_connection, &open, &error))
        return failed(error);
    return open ? Result::Done : Result::TransactionGone;
}

void SettlementBatch::keep(const CardRows &card)
{
    for (const HistoryEntry &row : card.rows) {
        ++m_counts.rows;
        Currency &points =
            row.Afecta == QLatin1String("-") ? m_counts.pointsTaken : m_counts.pointsGiven;
        Currency magnitude;
        if (row.Pontos.absolute(&magnitude))
            Currency::add(points, magnitude, &points);
        if (m_keepRows)
            m_rows.append(row);
    }
    for (const QString &line : card.lines)
        m_lines.append({line, true, true, true});
    ++m_counts.cards;
}

void SettlementBatch::cardBegins()
{
    m_cardFirstLine = m_lines.size();
    m_rowsFailedAtCard = m_stats.rowsFailed;
    m_cardsFailedAtCard = m_stats.cardsFailed;
}

SettlementBatch::Result SettlementBatch::postCard(const CardRows &card)
{
    cardBegins();
    if (!m_writer) {
        // A preview refuses what the writer would refuse whatever the table.
        for (const HistoryEntry &row : card.rows) {
            const QString refusal = HistoryWriter::rowRefusal(row);
            if (!refusal.isEmpty()) {
                HistoryWriter::reportRefusal(row, refusal, *this);
                ++m_stats.rowsFailed;
                return Result::Done;
            }
        }
        keep(card);
        return Result::Done;
    }
    // A card is settled whole or not at all: its savepoint lets it go back alone, a posting
    // refused between its two rows included, while the batch's other cards stay.
    QString stepError;
    if (!m_transaction->savepoint(&stepError))
        return failed(stepError);
    for (const HistoryEntry &row : card.rows) {
        // A refused row was reported by GravarHistorico.
        if (m_writer->GravarHistorico(row, m_clock.now(), *this))
            continue;
        if (m_connection.isLost())
            return failed({});
        if (victim())
            return Result::DeadlockVictim;
        // Read before the rollback, which is a statement of its own.
        const QString wholeRefusal = m_connection.wholeRefusal();
        ++m_stats.rowsFailed;
        const bool backAtSavepoint = m_transaction->rollbackToSavepoint(&stepError) &&
                                     m_transaction->releaseSavepoint(&stepError);
        if (!wholeRefusal.isEmpty()) {
            // Every other card would be refused as well: the pass ends.
            m_error = wholeRefusal;
            return backAtSavepoint ? Result::Refused : failed(wholeRefusal);
        }
        if (backAtSavepoint)
            return Result::Done;
        const Result after = afterFailure(stepError);
        // Still open, yet not back at the savepoint: the batch must not be committed with part
        // of the card.
        return after == Result::Done ? failed(stepError) : after;
    }
    if (!m_transaction->releaseSavepoint(&stepError))
        return failed(stepError);
    keep(card);
    return Result::Done;
}

SettlementBatch::Result SettlementBatch::postCards(const QVector<CardRows> &cards)
{
    if (!m_writer) {
        for (const CardRows &card : cards)
            postCard(card);
        return Result::Done;
    }
    if (cards.isEmpty())
        return Result::Done;
    if (!m_connection.dialect().buildHistorySql().isEmpty() &&
        std::all_of(cards.cbegin(), cards.cend(),
                    [](const CardRows &card) { return card.cardRow > 0; }))
        return buildCards(cards);
    const int most = m_connection.dialect().rowsPerInsert();
    qsizetype next = 0; // the first card not yet posted
    while (next < cards.size()) {
        // The statements' rows, a card's rows never split, and the cards of each statement.
        QVector<HistoryEntry> rows;
        QVector<int> statementRows;
        QVector<qsizetype> statementEnd; // one past the statement's last card
        for (qsizetype i = next; i < cards.size(); ++i) {
            const int count = int(cards.at(i).rows.size());
            if (statementRows.isEmpty() || statementRows.last() + count > most) {
                statementRows.append(0);
                statementEnd.append(i);
            }
            statementRows.last() += count;
            statementEnd.last() = i + 1;
            rows += cards.at(i).rows;
        }
        qsizetype written = 0;
        QString error;
        const bool ok = m_writer->writeRows(rows, statementRows, m_clock.now(), &written, &error);
        // The cards of the statements that went through are settled.
        qsizetype statement = 0;
        for (qsizetype rowsKept = 0; rowsKept < written; ++statement) {
            for (qsizetype i = statement == 0 ? next : statementEnd.at(statement - 1);
                 i < statementEnd.at(statement); ++i)
                keep(cards.at(i));
            rowsKept += statementRows.at(statement);
        }
        if (ok)
            return Result::Done;
        // The refused statement's cards, one at a time: only the card that is refused stays as
        // it was. Then the statements after it, together again.
        const Result after = afterFailure(error);
        if (after != Result::Done)
            return after;
        const qsizetype first = statement == 0 ? next : statementEnd.at(statement - 1);
        for (qsizetype i = first; i < statementEnd.at(statement); ++i) {
            const Result one = postCard(cards.at(i));
            if (one != Result::Done)
                return one;
        }
        next = statementEnd.at(statement);
    }
    return Result::Done;
}

SettlementBatch::Result SettlementBatch::buildCards(const QVector<CardRows> &cards)
{
    QVector<HistoryEntry> rows;
    QVector<qint64> cardRows;
    for (const CardRows &card : cards) {
        rows += card.rows;
        cardRows.insert(cardRows.size(), card.rows.size(), card.cardRow);
    }
    qsizetype written = 0;
    QString error;
    const bool ok = m_writer->buildRows(rows, cardRows, m_clock.now(), &written, &error);
    // The cards whose rows went in are settled.
    qsizetype card = 0;
    for (qsizetype rowsKept = 0; rowsKept < written; ++card) {
        keep(cards.at(card));
        rowsKept += cards.at(card).rows.size();
    }
    if (ok)
        return Result::Done;
    // The refused statement's cards one at a time, so that only a card that is refused stays as
    // it was; then the rest together again.
    const Result after = afterFailure(error);
    if (after != Result::Done)
        return after;
    qsizetype rowsTried = 0;
    for (; card < cards.size() && rowsTried < Dialect::kRowsPerBuild; ++card) {
        rowsTried += cards.at(card).rows.size();
        const Result one = postCard(cards.at(card));
        if (one != Result::Done)
            return one;
    }
    return card < cards.size() ? buildCards(cards.mid(card)) : Result::Done;
}

SettlementBatch::Result SettlementBatch::cardUnread(const QString &numCartao,
                                                    const QString &description)
{
    cardBegins();
    append(PassReport::cardFailureLine(numCartao, description));
    caretToEnd();
    refresh();
    ++m_stats.cardsFailed;
    return afterFailure(description);
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
    if (!m_transaction->commit(error)) {
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

void SettlementBatch::abandon()
{
    m_transaction.reset();
    m_lines.clear();
    m_stats.rowsFailed = m_rowsFailedBefore;
    m_stats.cardsFailed = m_cardsFailedBefore;
    m_counts = {};
    m_rows.clear();
}

void SettlementBatch::discardForRedo(Redo redo)
{
    m_transaction.reset();
    QVector<Line> kept;
    qint64 rowsFailed = m_rowsFailedBefore;
    qint64 cardsFailed = m_cardsFailedBefore;
    if (redo == Redo::AllButLastCard) {
        // The card left out holds no line of a settled card: it was not kept.
        kept = m_lines.mid(qMin(m_cardFirstLine, m_lines.size()));
        rowsFailed += m_stats.rowsFailed - m_rowsFailedAtCard;
        cardsFailed += m_stats.cardsFailed - m_cardsFailedAtCard;
    }
    m_stats.rowsFailed = rowsFailed;
    m_stats.cardsFailed = cardsFailed;
    m_lines = kept;
    show(false);
    m_counts = {};
    m_rows.clear();
}

bool SettlementBatch::stillOpen() const
{
    if (!m_transaction || !m_transaction->begun() || m_connection.isLost())
        return false;
    bool open = false;
    QString error;
    return m_connection.dialect().transactionSteps().stillOpen(m_connection, &open, &error) && open;
}

void SettlementBatch::discard()
{
    m_transaction.reset();
    show(false);
    m_counts = {};
    m_rows.clear();
}
