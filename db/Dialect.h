// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVariant>

#include <memory>

class DbConnection;
class QSqlDatabase;
class QSqlQuery;
class TransactionSteps;

/// What differs between the two database back ends: the statement texts, how values are bound,
/// how a failure is read, the pass lock and the transaction steps. One object per back end
/// (db/SqlServerDialect.cpp, db/SqliteDialect.cpp); callers never test the back end themselves.
class Dialect
{
public:
    virtual ~Dialect() = default;

    /// The distinct (Cliente, NumCartao) pairs, in ascending NumCartao order.
    virtual QString cardListSql() const = 0;
    /// Sum of Pontos over a card's '+' (plus) or '-' (minus) rows up to a date, one row, one
    /// column named Soma (plus) or Subtrai (minus), Null over no rows.
    /// Placeholders, in order: Terceiro, NumCartao, the date bound.
    virtual QString plusSumSql() const = 0;
    virtual QString minusSumSql() const = 0;
    /// The most cards whose two sums go to the server together, as one batch of statements
    /// whose results are read in turn: one where a statement costs no round trip (SQLite).
    virtual int cardsPerRoundTrip() const { return 1; }
    /// The two sums of `cards` cards as one batch: each card's plusSumSql(), then its
    /// minusSumSql(), three placeholders each.
    QString cardsSumsSql(int cards) const;
    /// The card list of the set-wise walk is copied into a table of the pass's own session, read
    /// once from the card table: the distinct (Cliente, NumCartao) pairs as stored, their row n
    /// from 1 in cardListSql()'s order (ties on NumCartao broken by Cliente), and ClienteTexto
    /// and NumCartaoTexto, the values as the server's text (NULL as the empty text), with what
    /// else the dialect's rangeBalancesSql() compares. The table goes with the session.
    /// The statements, run in turn and unprepared, that make the table empty, dropping the one
    /// that an earlier pass of the session may have left.
    virtual QStringList cardTableSql() const = 0;
    /// The statements, run in turn, that fill it.
    virtual QStringList fillCardTableSql() const = 0;
    /// The card list of the set-wise walk, read from that table: n, Cliente, NumCartao,
    /// ClienteTexto, NumCartaoTexto, in the order of n. The values as the client read them may
    /// differ from the texts (a character outside a varchar column's code page).
    virtual QString cardListTextsSql() const = 0;
    /// The history's sums of the cards of that table whose rows n lie between two bounds: one row
    /// a card, in the order of n, with columns n, Soma, Subtrai, SomaHoje, SubtraiHoje, the same
    /// sums as the per-card statements read up to the cutoff and up to today (Null where the
    /// card has no such rows). The cards meet their movements as the per-card sums meet them by
    /// the bound text: by the server's comparison of the history's columns with them. The card
    /// table is not read again, nor are the cards bound.
    /// Placeholders: the cutoff's bound twice; the first and the last row n twice, between
    /// whose cards' least and greatest numbers the history may be read, as the history compares
    /// them; today's bound; the first and the last row n.
    virtual QString rangeBalancesSql() const = 0;
    /// Whether rangeBalancesSql() compares a card's value (its text) as the per-card sums
    /// compare it when bound; a card with a value that it does not is read alone.
    virtual bool rangeReadsKey(QStringView /*text*/) const { return true; }
    /// The cards among `keys` (Cliente, NumCartao) pairs, bound in that order, that find no row
    /// of PontosCartoes, compared as the server compares the column with the bound text, the
    /// empty text finding a NULL too: one column, the pair's place from 0, in no order. A key
    /// that the client read back otherwise than it is stored (a character outside a varchar
    /// column's code page) finds none.
    virtual QString unreadKeysSql(int keys) const = 0;
    /// The most keys one unreadKeysSql() statement takes, two values each.
    virtual int keysPerCheck() const = 0;
    /// The thirteen columns that a history row is written with, in their order of assignment.
    static const QStringList &historyColumns();
    /// A statement that reads `columns` of the history and no row: it fails where one is
    /// missing.
    static QString historyColumnsSql(const QStringList &columns);
    /// The thirteen columns of a history row, in their order of assignment; with `rows`, a
    /// statement that writes that many rows at once, their values one row after another.
    QString insertHistorySql(int rows = 1) const;
    /// The most rows one insert statement is given, a card's rows never split: as many as the
    /// server's limit of values allows where each statement is a round trip (SQL Server takes
    /// 2 100 values a statement), one where it is not (SQLite).
    virtual int rowsPerInsert() const = 0;
    /// Where the server builds a batch's rows itself from what the rule decided, with the keys
    /// from the pass's copy of the card list (cardTableSql()): the statements, run unprepared so
    /// that it lasts the session, that make the table those numbers go into. Empty where the
    /// rows travel whole.
    virtual QStringList postingTableSql() const { return {}; }
    /// Puts `rows` rows into that table, seven values each: the row's place in the batch, the
    /// card's row in the copy, Data, Afecta, ValorIncid, Pontos, Observa.
    virtual QString insertPostingsSql(int /*rows*/) const { return {}; }
    /// The most rows one insertPostingsSql() statement takes.
    virtual int postingsPerInsert() const { return 1; }
    /// Writes the history's rows from that table, in their places; three values: DataSys, and
    /// the first and last places.
    virtual QString buildHistorySql() const { return {}; }
    /// The most rows one buildHistorySql() statement writes: each takes a lock on its key in
    /// the table and in each of its indexes, and SQL Server locks the whole table, stopping
    /// every till, once one statement holds some 5 000 locks on it.
    static constexpr int kRowsPerBuild = 500;
    /// Empties that table.
    virtual QString clearPostingsSql() const { return {}; }

    /// A calendar date as a bound value (a date on SQL Server, ISO text on SQLite).
    virtual QVariant dateValue(const QDate &date) const = 0;
    /// The upper bound of a sum up to `date`, as the server reads it: midnight at the start of
    /// that day, included, so that a row dated that day at 00:00 counts and one later that day
    /// does not (it counts from the next day's bound on).
    virtual QVariant dateBoundValue(const QDate &date) const;
    /// A moment as a bound value (a date-time on SQL Server, ISO text on SQLite).
    virtual QVariant dateTimeValue(const QDateTime &moment) const = 0;
    /// An amount, exact to its four decimals: an integer when it is whole, else decimal text.
    virtual QVariant amountValue(Currency amount) const;

    /// The lock that keeps two passes off one database (settlement/PassLock.h), where the server
    /// keeps it for the session: Taken, Busy when another session holds it, Failed (the reason
    /// in `error`) when it could not be taken or tested. NotKept where the database keeps no
    /// such lock (SQLite: a lock file beside the database file stands in); nothing is sent then.
    enum class ServerLock { Taken, Busy, Failed, NotKept };
    virtual ServerLock takePassLock(const DbConnection &connection, QString *error) const;
    /// Gives back the lock that takePassLock() took. False, with the reason, when the server
    /// refused; it frees the lock anyway when the session ends.
    virtual bool releasePassLock(const DbConnection &connection, QString *error) const;

    /// Readies a freshly prepared statement (the per-statement query timeout on ODBC).
    virtual void prepared(QSqlQuery &query, int commandTimeoutSeconds) const;
    /// What bound values need to live on until the statement has run.
    class BoundValues
    {
    public:
        virtual ~BoundValues() = default;
    };
    /// Binds `values` to the placeholders of `query`, in order, so that the statement runs with
    /// them; `storage` keeps what the binding needs until then. False, with the reason, when a
    /// value cannot be bound.
    virtual bool bind(QSqlQuery &query, const QVariantList &values,
                      std::unique_ptr<BoundValues> *storage, QString *error) const;
    /// After a statement (`failed`, or a commit when null) failed on `database`: true when the
    /// connection is gone, or no longer to be trusted with another statement (a statement ran
    /// out of time).
    virtual bool connectionLost(const QSqlDatabase &database, const QSqlQuery *failed) const = 0;
    /// After a statement (`failed`, or a commit when null) failed on `database`: true when the
    /// server chose its transaction as a deadlock's victim and rolled it back (SQL Server's
    /// error 1205), which running it again may get through.
    virtual bool deadlockVictim(const QSqlDatabase &database, const QSqlQuery *failed) const
    {
        Q_UNUSED(database)
        Q_UNUSED(failed)
        return false;
    }
    /// The server's date and time: one row, one value. Empty where the database lives on this
    /// machine (SQLite), whose clock a pass keeps.
    virtual QString serverTimeSql() const { return {}; }
    /// The newest row that a pass wrote (LancManual 1, Utilizador "00") by the history's Id,
    /// whose Observa is like the bound pattern and whose Data is set: Id, Data and DataSys, or
    /// no row. Read newest first, so that an index on Id answers it from
    /// the end of the table.
    virtual QString newestNoteSql() const = 0;
    /// For a history without Id: the latest Data of those rows, one value, NULL when there are
    /// none. It reads every such row.
    virtual QString latestNoteDateSql() const = 0;
    /// The cards (Terceiro and NumCartao, NULL as the empty text) of the history's rows whose
    /// Pontos is not a number or whose Data is not a date, which the sums would count as
    /// something else, or would fail on.
    virtual QString unreadableRowsSql() const { return {}; }
    /// The type of the history's Data column, one value, where only a column of text needs
    /// unreadableRowsSql() (SQL Server); empty where every table needs it.
    virtual QString dataColumnTypeSql() const { return {}; }
    /// What a connection runs once it is open; empty for nothing.
    virtual QString sessionSetupSql() const { return {}; }
    /// The first error that the driver recorded for the failed statement, where it keeps them
    /// apart (ODBC's diagnostic records): what went wrong first, where the driver's description
    /// goes on with what that left behind. Empty where it does not.
    virtual QString firstError(const QSqlQuery &failed) const
    {
        Q_UNUSED(failed)
        return {};
    }
    /// The native error codes of a statement that failed: each diagnostic record's on ODBC, the
    /// result code on SQLite.
    virtual QList<qint64> errorCodes(const QSqlQuery &failed) const = 0;
    /// Why the database as a whole refuses to be written, from a failed statement's error codes
    /// (it is read-only, the login may not write the history, it is full), in the report's
    /// words; empty when the codes say nothing of the sort, as for a card's own refusal (a
    /// constraint, a trigger).
    virtual QString wholeRefusal(const QList<qint64> &codes) const = 0;

    /// What a transaction is for: a batch that posts rows, or reads alone (a preview, the
    /// forecast).
    enum class Work { Reading, Writing };
    /// The steps of the one savepoint open at a time inside a transaction, so that a unit of
    /// work can be undone alone while the work before it stays: mark it, undo back to it (the
    /// transaction stays open), or forget it and keep its work.
    enum class SavepointStep { Mark, RollBack, Release };
    /// How this back end begins a transaction, takes a savepoint's steps, and tells whether a
    /// failure left the transaction open (db/TransactionGuard.h).
    virtual const TransactionSteps &transactionSteps() const = 0;

    static const Dialect &sqlServer();
    static const Dialect &sqlite();

    /// The forecast of what lapses (settlement/ExpiryForecast.h), which writes nothing.
    /// The rows of the card list (cardListSql): one row, one column.
    virtual QString cardCountSql() const = 0;
    /// A card's '+' and '-' movements after a first date bound up to a second, summed by the
    /// first day whose bound (dateBoundValue) takes each in: its own day when it is dated at
    /// 00:00, the next day when it is dated later that day. Columns Dia (the day),
    /// Soma, Subtrai (Null where the day has no such rows), in Dia order. Placeholders, in
    /// order: Terceiro, NumCartao, the first bound (excluded), the second bound (included).
    virtual QString movementsByDaySql() const = 0;
    /// Every card of the card list, in the list's order, with its two sums up to a first bound
    /// and its movements after that up to a second bound, summed by day as movementsByDaySql()
    /// sums them: columns Cliente, NumCartao, Soma, Subtrai (up to the first bound), Dia,
    /// DiaSoma, DiaSubtrai; one row per card and day, in Dia order, and a single row with Dia
    /// Null for a card without movements in between. A card's rows follow each other.
    /// Placeholders: the first bound twice, then the second bound.
    virtual QString balancesAndMovementsByDaySql() const = 0;

    /// The ledger of lots (settlement/LotLedger.h), which reads and writes nothing else: every
    /// card of the card list, in the list's order, with each of its '+' and '-' rows, in no
    /// order within the card, and the day from which each counts (Dia, as movementsByDaySql()
    /// finds it): columns Cliente, NumCartao, Dia, Afecta, Pontos, Observa, DataSys, Data; a
    /// single row with Dia Null for a card without rows. A card's rows follow each other. No
    /// placeholders.
    virtual QString ledgerRowsSql() const = 0;
    /// A statement that readies the connection for one long read of the whole history, or empty.
    virtual QString wholeHistoryReadSql() const { return {}; }
    /// The same rows of every customer's card with one number: columns Terceiro, Dia, Afecta,
    /// Pontos, Observa, DataSys, Data, by customer and day. Placeholder: NumCartao.
    virtual QString cardLedgerRowsSql() const = 0;

protected:
    /// `rows` rows of bound values for a table of values: `row`, with %1 the row's place from
    /// 0, joined by `separator`.
    static QString boundRows(int rows, const QString &row, const QString &separator);
};
