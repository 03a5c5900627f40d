// SPDX-License-Identifier: MIT
#pragma once

#include "db/HistoryWriter.h"
#include "report/ReportSink.h"
#include "settlement/PassStats.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class DbConnection;
class Clock;
class PassHost;
class TransactionGuard;

/// One card's rows, and the lines that say it was settled (with a preview's lines), in the
/// order the report shows them.
struct CardRows
{
    QVector<HistoryEntry> rows;
    QStringList lines;
    /// The card's row in the server's copy of the card list, where the server may build its
    /// rows from it (its values read back as stored); 0 otherwise.
    qint64 cardRow = 0;
};

/// A batch of cards settled in one transaction: the unit of work of a pass, and the place of
/// its failure rules.
///
/// Its rows, its counts and the lines that say its cards were settled become real together,
/// when it commits. Until then those lines are held back; a card taken back to its savepoint,
/// or a batch that does not commit, takes its rows, counts and lines with it, so that the
/// report never lists a card as settled that the database does not hold, and only whole cards
/// ever reach the database. The batch rolls back in its destructor unless it was committed.
///
/// A refused posting, or a card that cannot be read, leaves that card as it was, with a line
/// that stays whatever becomes of the batch; the pass goes on, and velmora-cli ends with exit
/// code 3. When such a failure made the server end the transaction, the batch's other cards
/// were undone too, and the pass settles them again (TransactionGone). A lost connection, or a
/// statement of the batch's own that fails, ends the pass (Failed, with error()). So does a
/// posting that the database refuses as a whole, whatever the card (Refused, with error()): it
/// is read-only, the login may not write, it is full; the refused card is then back as it was,
/// and the batch holds whole cards only.
///
/// A batch told to redoWhenDeadlockVictim() that the server chose as a deadlock's victim ends
/// with DeadlockVictim instead: no card was at fault, and the pass abandons it and settles its
/// cards again.
class SettlementBatch : public ReportSink
{
public:
    enum class Result { Done, TransactionGone, Failed, DeadlockVictim, Refused };

    struct Counts
    {
        qint64 cards = 0;     ///< settled
        qint64 rows = 0;      ///< posted, or in a dry run previewed
        Currency pointsTaken; ///< by the rows that take points away (the lapses)
        Currency pointsGiven; ///< by the rows that add points (refills and lifts)
    };

    /// `writer` posts the rows (null in a dry run, which writes nothing and begins a read-only
    /// transaction). Refused rows and unread cards are counted at once in the pass's `stats`
    /// (rowsFailed, cardsFailed): they stay refused whatever becomes of the batch.
    SettlementBatch(const DbConnection &connection, PassHost &host, const Clock &clock,
                    HistoryWriter *writer, bool keepRows, PassStats &stats);
    ~SettlementBatch() override;
    SettlementBatch(const SettlementBatch &) = delete;
    SettlementBatch &operator=(const SettlementBatch &) = delete;

    /// False, with the reason, when the transaction could not begin.
    bool begin(QString *error);
    /// Whether a statement of the batch that fails as a deadlock's victim ends it with
    /// DeadlockVictim (true) or as any other failure does.
    void redoWhenDeadlockVictim(bool redo) { m_redoWhenVictim = redo; }
    /// Cards settled in the batch so far.
    qint64 cards() const { return m_counts.cards; }
    /// Why the last call returned Failed.
    const QString &error() const { return m_error; }

    /// Posts one card's rows one at a time, inside a savepoint of its own.
    Result postCard(const CardRows &card);
    /// Posts the cards' rows with as few statements as the back end takes, a card's rows in
    /// one statement; the cards of a statement that is refused are posted again one at a time.
    Result postCards(const QVector<CardRows> &cards);
    /// A card whose sums cannot be read or converted: reported, and left as it was.
    Result cardUnread(const QString &numCartao, const QString &description);

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
    /// Which of a discarded batch's cards are settled again.
    enum class Redo {
        AllCards,       ///< every card, the one whose failure ended the transaction too
        AllButLastCard, ///< every card but the last one that was posted or reported unread
    };
    /// Ends the batch without committing, as discard() does, for cards that are settled again:
    /// the lines and counts of refused rows and unread cards of the cards done again go with
    /// them, so that each is shown and counted once, when it is done again. Those of a card
    /// left out stay.
    void discardForRedo(Redo redo);
    /// Whether the server still holds the batch's transaction, after a failure that may have
    /// ended it; false too when that cannot be told.
    bool stillOpen() const;
    /// Ends a batch that was a deadlock's victim as though it had never run: its cards undone,
    /// and its lines and its counts of refused rows and unread cards gone with them, to come
    /// again when it is done again.
    void abandon();

private:
    struct Line
    {
        QString text;
        bool ofCard = false; ///< a line of a card, shown only when the card is committed
        bool caret = false;
        bool refresh = false;
    };
    /// postCards() where the server builds the rows: all the cards in one statement, or, when
    /// it is refused, one card at a time.
    Result buildCards(const QVector<CardRows> &cards);
    /// The card is settled: its rows, counts and lines are the batch's.
    void keep(const CardRows &card);
    /// After a card's statement failed: the pass ends on a lost connection; otherwise whether
    /// the transaction survived.
    Result afterFailure(const QString &description);
    /// True when the failure just met made the batch a deadlock's victim that is to be redone.
    bool victim() const;
    Result failed(const QString &description);
    void show(bool cardLines);

    const DbConnection &m_connection;
    PassHost &m_host;
    const Clock &m_clock;
    HistoryWriter *m_writer;
    bool m_keepRows;
    PassStats &m_stats;
    std::unique_ptr<TransactionGuard> m_transaction;
    QVector<Line> m_lines;
    QVector<HistoryEntry> m_rows;
    Counts m_counts;
    QString m_error;
    bool m_redoWhenVictim = false;
    qint64 m_rowsFailedBefore = 0;  ///< the pass's count when the batch began
    qint64 m_cardsFailedBefore = 0; ///< the same
    /// Where the last card posted or reported unread began: its first line, and the pass's
    /// counts of failures then.
    qsizetype m_cardFirstLine = 0;
    qint64 m_rowsFailedAtCard = 0;
    qint64 m_cardsFailedAtCard = 0;
    /// Marks where a card's lines and failures begin.
    void cardBegins();
};
