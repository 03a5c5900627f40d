// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionString.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <functional>
#include <memory>

class Dialect;
class ReportSink;

/// One database connection under a name of its own. The name is removed again when the
/// object goes, which closes the connection if it is still open.
class DbConnection
{
public:
    DbConnection();
    ~DbConnection();
    DbConnection(const DbConnection &) = delete;
    DbConnection &operator=(const DbConnection &) = delete;

    /// Opens what the settings name, and keeps it as this connection's target; on failure
    /// `error` holds the driver's own description.
    bool open(const ConnectionSettings &settings, const ConnectionOptions &options, QString *error);
    bool isOpen() const;
    void close();

    const QString &name() const { return m_name; }
    QSqlDatabase database() const;
    const Dialect &dialect() const { return *m_dialect; }
    /// The database as a failure names it: the SQLite file, or the database and its server.
    const QString &databaseName() const { return m_databaseName; }
    /// What the connection was opened against: its back end, its SQLite file, each
    /// statement's timeout.
    const ConnectionTarget &target() const { return m_target; }

    /// A forward-only query prepared with `sql` and readied for this back end: every statement
    /// carries the command timeout. On failure `error` holds the description and the query is
    /// not usable. Nothing is sent on a lost connection.
    bool prepare(QSqlQuery &query, const QString &sql, QString *error) const;
    /// Gives a prepared query `seconds` instead of the command timeout: a read of the whole
    /// history, which holds no lock, may take minutes before its first row on a large scheme.
    void allowSeconds(QSqlQuery &query, int seconds) const;
    QSqlQuery newQuery() const;
    /// Runs a query prepared by prepare() with `values` for its placeholders, in order: the one
    /// path by which every statement of a pass reaches the database. On failure `error` holds
    /// the driver's description; when the failure lost the connection (it broke, or the
    /// statement ran out of time and the driver's connection is no longer to be trusted) the
    /// connection is marked lost.
    bool exec(QSqlQuery &query, const QVariantList &values, QString *error) const;
    bool exec(QSqlQuery &query, QString *error) const { return exec(query, {}, error); }
    /// The next row of a query that exec() ran: false at the end of its rows, or, with `error`
    /// set, when the fetch failed (which may lose the connection, as a statement may).
    bool next(QSqlQuery &query, QString *error) const;
    /// Moves a query that exec() ran to the results of its next statement: false when there are
    /// no more, or, with `error` set, when that statement failed (which may lose the
    /// connection, as a statement may).
    bool nextResult(QSqlQuery &query, QString *error) const;
    /// Reads what is left of a query's results, then lets them go. A driver would read the
    /// rest when the query is let go, where a failure is never told (FreeTDS: a statement that
    /// runs out of time there leaves only "Invalid cursor state" for the next statement): here
    /// it fails the statement, with `error` set, as next() does.
    bool finish(QSqlQuery &query, QString *error) const;
    /// Prepares and runs a statement whose rows, if any, are not kept.
    bool run(const QString &sql, QString *error) const;
    /// Runs a statement of no values as it is, unprepared, and lets its rows go: what it sets
    /// up lasts for the session, where a driver may run a prepared statement as a procedure of
    /// its own, whose temporary tables end with it. It runs without the statement's timeout, so
    /// only for what takes no time.
    bool runDirect(const QString &sql, QString *error) const;
    /// Runs a query prepared by prepare() with `values` and reads the first value of its one
    /// row into `value` (NULL stays NULL), then what is left of its results, as finish() does.
    /// False, with `error` set, when any of that failed, or, with `noRow` as the error, when
    /// the statement returned no row.
    bool readOneValue(QSqlQuery &query, const QVariantList &values, const QString &noRow,
                      QVariant *value, QString *error) const;
    /// Prepares `sql` and reads its one value, as above.
    bool readOneValue(const QString &sql, const QString &noRow, QVariant *value,
                      QString *error) const;

    /// The driver's own transaction, with the connection's timeout. Nothing is sent on a lost
    /// connection; a commit that fails for a lost connection marks it lost.
    bool beginTransaction(QString *error) const;
    bool commit(QString *error) const;
    void rollback() const;

    /// The native error codes of a statement that failed, as the database gave them (or as a
    /// test's error code filter left them).
    QList<qint64> errorCodes(const QSqlQuery &failed) const;

    /// True once a statement lost the connection: from then on nothing more is sent on it.
    bool isLost() const { return m_lost; }
    /// True once a statement or commit since the last beginTransaction() failed because the
    /// server chose the transaction as a deadlock's victim and rolled it back.
    bool deadlockVictim() const { return m_deadlockVictim; }
    /// The driver's description of the failure that lost the connection.
    const QString &lostReason() const { return m_lostReason; }

    /// When the database as a whole refused the last statement prepared or run (it is
    /// read-only, the login may not write, it is full): the failure's description, which names
    /// the database, the cause and the driver's words. Empty otherwise, as when the statement
    /// succeeded or a card's own values were refused.
    const QString &wholeRefusal() const { return m_wholeRefusal; }

    /// The driver's text of an error: its own message where it gives one.
    static QString describe(const QSqlError &error);
    /// A SQLite file that did not open, as the report tells it: the driver's words for `error`,
    /// the file's absolute path, and why, where the file system tells (`creating`: the file was
    /// to be made).
    static QString sqliteOpenFailure(const QSqlError &error, const QString &file, bool creating);

    /// For tests: called with every statement, and the values it is run with, just before it
    /// runs; with no statement just before a commit.
    using StatementObserver = std::function<void(const QSqlQuery *, const QVariantList &)>;
    static void setStatementObserver(StatementObserver observer);
    /// For tests: called with each statement that failed and the native error codes the
    /// database gave, which it may change; the connection judges the failure by what it leaves
    /// there. A test gives a failure a code that its server cannot be brought to give.
    using ErrorCodeFilter = std::function<void(const QSqlQuery &, QList<qint64> *)>;
    static void setErrorCodeFilter(ErrorCodeFilter filter);

private:
    bool refuseWhenLost(QString *error) const;
    void checkLost(const QSqlQuery *failed, const QString &description) const;
    /// Names the SQLite file after a failure that says it is damaged, or no database at all.
    void nameDamagedFile(const QSqlQuery &failed, QString *error) const;
    void checkWholeRefusal(const QSqlQuery &failed, const QString &description) const;

    QString m_name;
    const Dialect *m_dialect;
    ConnectionTarget m_target;
    mutable bool m_lost = false;
    mutable QString m_lostReason;
    mutable bool m_deadlockVictim = false;
    QString m_databaseName; ///< as a failure names it: the file, or the database and server
    mutable QString m_wholeRefusal;
};

using ConnectionPtr = std::unique_ptr<DbConnection>;

/// Replaces the connection in `cnLigacao` by a new one and opens it with the settings.
/// A blank server returns false at once and touches nothing. Any other failure appends
/// "Falha na Ligação ao Servidor! -> " with the driver's description to `report` and returns
/// false.
bool LigarServidor(ConnectionPtr &cnLigacao, const ConnectionSettings &settings,
                   const ConnectionOptions &options, ReportSink &report);
