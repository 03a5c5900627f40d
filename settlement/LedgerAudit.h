// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "db/DbConnection.h"
#include "settlement/Clock.h"
#include "settlement/LotLedger.h"
#include "settlement/PassRun.h"

#include <QString>

#include <memory>

class PassHost;
class PassLock;

/// One card as the audit finds it.
struct AuditLine
{
    QString cliente;
    QString numCartao;
    LotLedger::Totals totals;         ///< exact
    std::vector<LotLedger::Lot> open; ///< the lots still open, oldest first
};

/// Where the audit's lines go.
class AuditOutput
{
public:
    virtual ~AuditOutput() = default;
    /// Once the connection is open, before the first line.
    virtual void begin() {}
    virtual void line(const AuditLine &line) = 0;
    /// A line of a card's story (explain()), without its line end.
    virtual void story(const QString &) {}
};

struct AuditStats
{
    qint64 cardsRead = 0;
    qint64 cardsDiffering = 0; ///< whose balances stand more than half a point apart
    qint64 cardsFailed = 0;    ///< whose rows could not be read or replayed
    Currency above;            ///< points the cards hold beyond their ledgers, in whole points
    Currency below;            ///< points the cards lack against their ledgers, in whole points

    bool someCardsLeft() const { return cardsFailed > 0; }
};

/// Every card's book held against its ledger of lots (settlement/LotLedger.h), from one read of
/// the history in the order of card and day, one card in memory at a time. It writes nothing and
/// takes no pass lock: it reads a snapshot that a running pass may be changing.
class LedgerAudit
{
public:
    LedgerAudit(const ConnectionSettings &settings, PassHost &host, const Clock &clock,
                ConnectionOptions options, AuditOutput &output);
    ~LedgerAudit();
    LedgerAudit(const LedgerAudit &) = delete;
    LedgerAudit &operator=(const LedgerAudit &) = delete;

    /// Completed, NoConnection, Failed or Stopped.
    PassOutcome run();
    /// The story of the card numbered `numCartao`, of `cliente` or, when that is null, of each
    /// customer with such a card: every row as the ledger took it, the balances, and the lots
    /// still open. Completed, NoConnection or Failed (no such card among the rows).
    PassOutcome explain(const QString &numCartao, const QString &cliente);
    const AuditStats &stats() const { return m_stats; }

    /// A history row (columns Dia, Afecta, Pontos, Observa, DataSys from `first` on) as the
    /// ledger reads it; false, with the cause, when its amount cannot be read.
    static bool ledgerRow(const QSqlQuery &query, int first, LedgerRow *row, QString *error);
    /// The difference of the balances, the book's less the ledger's, in whole points.
    static bool difference(const LotLedger::Totals &totals, Currency *whole);

private:
    PassOutcome auditAll();
    PassOutcome explainCard(const QString &numCartao, const QString &cliente);
    void tell(const QString &cliente, const QString &numCartao, std::vector<LedgerRow> &rows);
    void endCard(const QString &cliente, const QString &numCartao, std::vector<LedgerRow> &rows);
    void cardFailed(const QString &numCartao, const QString &description);
    void release();

    const ConnectionSettings m_settings;
    PassHost &m_host;
    PassClock m_clock;
    ConnectionOptions m_options;
    AuditOutput &m_output;
    AuditStats m_stats;
    QDateTime m_now;
    ConnectionPtr m_cnLigacao;
    std::unique_ptr<PassLock> m_lock; ///< never taken
};
