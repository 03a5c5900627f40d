// SPDX-License-Identifier: MIT
#pragma once

#include "db/HistoryWriter.h"
#include "report/ReportSink.h"

#include <QString>
#include <QVector>

#include <memory>

class DbConnection;
class PassHost;
class TransactionGuard;

/// A batch of cards settled in one transaction: the unit of work of a pass. Its rows, its
/// counts and the lines that say its cards were settled become real together, when it
/// commits. Until then those lines are held back; a card taken back to its savepoint, or a
/// batch that does not commit, takes its rows, counts and lines with it, so that the report
/// never lists a card as settled that the database does not hold. The batch rolls back in its
/// destructor unless it was committed.
///
/// As a ReportSink it takes the lines that stay whatever becomes of the batch (a refused
/// posting, a card that could not be read), in their order among the held ones.
class SettlementBatch : public ReportSink
{
public:
    struct Counts
    {
        qint64 cards = 0;     ///< settled
        qint64 rows = 0;      ///< posted, or in a dry run previewed
        Currency pointsTaken; ///< by the rows that take points away (the lapses)
        Currency pointsGiven; ///< by the rows that add points (refills and lifts)
    };

    /// A dry run begins a read-only transaction, and its savepoints send nothing.
    SettlementBatch(const DbConnection &connection, PassHost &host, bool dryRun, bool keepRows);
    ~SettlementBatch() override;
    SettlementBatch(const SettlementBatch &) = delete;
    SettlementBatch &operator=(const SettlementBatch &) = delete;

    /// False, with the reason, when the transaction could not begin.
    bool begin(QString *error);
    /// Cards settled in the batch so far.
    qint64 cards() const { return m_counts.cards; }

    /// A card being settled, inside a savepoint of its own. False, with the reason, when its
    /// statement failed.
    bool openCard(QString *error);
    bool cardOpen() const { return m_cardOpen; }
    /// A row posted (or previewed) for the open card.
    void addRow(const HistoryEntry &row);
    /// A line of the open card, shown once the batch commits (caret to the end, refresh).
    void addCardLine(const QString &text);
    /// The open card is settled, and stays in the batch.
    bool closeCard(QString *error);
    /// The open card goes back to its savepoint, with its rows, counts and lines.
    bool undoCard(QString *error);

    // ReportSink: lines that stay.
    void append(const QString &text) override;
    void caretToEnd() override;
    void refresh() override;

    /// Commits, then shows the held lines in order and hands over the counts and, when kept,
    /// the rows. False, with the reason, when the commit failed: the batch is then undone.
    bool commit(QString *error, Counts *counts, QVector<HistoryEntry> *rows);
    /// Ends the batch without committing, its cards undone, and shows the lines that stay. The
    /// rollback also tells the driver of a transaction that the server ended; on a lost
    /// connection nothing is sent.
    void discard();

private:
    struct Line
    {
        QString text;
        bool ofCard = false; ///< a line of a card, shown only when the card is committed
        bool caret = false;
        bool refresh = false;
    };
    void show(bool cardLines);

    const DbConnection &m_connection;
    PassHost &m_host;
    bool m_dryRun;
    bool m_keepRows;
    std::unique_ptr<TransactionGuard> m_transaction;
    QVector<Line> m_lines;
    QVector<HistoryEntry> m_rows;
    Counts m_counts;
    bool m_cardOpen = false;
    // Where the open card began, to take it back.
    qsizetype m_cardLines = 0;
    qsizetype m_cardRows = 0;
    Counts m_cardCounts;
};
