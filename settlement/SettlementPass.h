// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "db/ConnectionString.h"
#include "db/Currency.h"
#include "db/DbConnection.h"
#include "db/HistoryWriter.h"

#include <QDate>
#include <QSqlQuery>
#include <QString>
#include <QVector>

class PassHost;
class PassLock;
class CardList;

/// How a pass ended.
enum class PassOutcome {
    Completed,    ///< ran to its end; the countdown starts again
    NoConnection, ///< the connection did not open (reported by LigarServidor)
    Failed,       ///< ended through the failure path
    Stopped,      ///< the host went away; ended at a card boundary
    Busy,         ///< another pass, here or on another machine, is settling the database
};

/// How the old balances are read.
enum class BalanceStrategy {
    PerCard,  ///< two sums per card, as the scheme's DBAs know them
    SetBased, ///< one grouped read of every card's old balance
};

struct PassOptions
{
    bool dryRun = false; ///< post nothing; report what would be posted
    BalanceStrategy strategy = BalanceStrategy::PerCard;
    ConnectionString::Timeouts timeouts;
    bool recordPostings = false; ///< keep every posted row for postings() (tests, previews)
};

struct PassStats
{
    qint64 cardsRead = 0;
    qint64 cardsSettled = 0;
    qint64 rowsPosted = 0; ///< rows written (or, in a dry run, previewed)
    qint64 rowsFailed = 0;
};

/// The three date texts of a pass.
struct PassDates
{
    QDate today;
    QDate cutoff;           ///< today one calendar year back (29 February to 28 February)
    QString strDataHoje;    ///< "dd-mm-yyyy"
    QString strDataHojeSQL; ///< "yyyy-mm-dd"
    QString strDataLimite;  ///< cutoff as "yyyy-mm-dd"

    static PassDates forDay(const QDate &today);
};

/// One settlement pass over every card: each card's balance at the end of the cutoff date is
/// brought to zero, and a settled card whose balance up to today is then negative is lifted
/// to zero. Each settled card is one transaction.
class SettlementPass
{
public:
    /// `settings` is the window's own: a blank mode is written back as "SQL".
    SettlementPass(ConnectionSettings &settings, PassHost &host, PassOptions options = {});
    ~SettlementPass();

    PassOutcome run();

    const PassStats &stats() const { return m_stats; }
    /// The rows this pass posted, or would have posted in a dry run, in order; kept only with
    /// PassOptions::recordPostings, as a large pass would otherwise hold every row.
    const QVector<HistoryEntry> &postings() const { return m_postings; }

    /// The adjustments' notes.
    static QString oldBalanceNote(Currency oldBalance);
    static QString negativeBalanceNote(const QString &strDataHoje);
    /// The current moment as the report lines show it.
    static QString timestamp(const QDateTime &moment);

private:
    struct Failure
    {
        QString description;
    };

    void settleAll();
    void settlePerCard();
    void settleSetBased();
    void readCardList(CardList &cards);
    Currency readBalanceRaw(QStringView cliente, QStringView numCartao, const QDate &bound);
    void settleCard(QStringView cliente, QStringView numCartao, Currency oldBalance);
    /// False when GravarHistorico failed (and reported it).
    bool post(const HistoryEntry &entry);
    void release();
    PassOutcome failed(const QString &description);
    [[noreturn]] static void fail(const QString &description);
    static Currency toCurrency(const QVariant &value);
    static Currency wholePoints(Currency balance);

    ConnectionSettings &m_settings;
    PassHost &m_host;
    PassOptions m_options;
    PassDates m_dates;
    PassStats m_stats;
    QVector<HistoryEntry> m_postings;
    qint64 m_committedRows = 0; ///< rows posted up to the last settled card
    qsizetype m_committedPostings = 0;

    ConnectionPtr m_cnLigacao;
    QSqlQuery m_plusSum;
    QSqlQuery m_minusSum;
    std::unique_ptr<HistoryWriter> m_writer;
    std::unique_ptr<PassLock> m_lock;
};
