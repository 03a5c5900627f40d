// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "db/ConnectionString.h"

#include <QDate>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <QVector>

/// The scheme's two tables for one test, with a connection of the test's own to fill and
/// inspect them: a real SQLite file in a temporary folder, or, when VELMORA_TEST_BACKEND is
/// "sqlserver", the scratch database that VELMORA_TEST_SQLSERVER names, its tables made afresh.
/// The same cases run on both; what differs between them lives here.
class TestDatabase
{
public:
    /// Whether this run's cases go to SQL Server: VELMORA_TEST_BACKEND is "sqlserver", which
    /// CTest sets for the *_sqlserver runs, or useServer() was called.
    static bool isServer();
    /// For a suite about the server alone: its cases go to SQL Server whatever the environment.
    static void useServer();
    /// VELMORA_TEST_SQLSERVER: "server;database;login;password;mode;", or empty.
    static QString serverLine();

    /// `amountType` and `textType` declare ValorIncid/Pontos and the text columns; empty for
    /// the back end's usual ones.
    explicit TestDatabase(const QString &amountType = {}, const QString &textType = {});
    ~TestDatabase();
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    bool isValid() const { return m_valid; }
    /// The SQLite file (empty on a server).
    QString path() const { return m_path; }
    /// A temporary folder of the test's own.
    QString folder() const { return m_dir.path(); }
    /// The settings a pass uses to reach this database.
    ConnectionSettings settings() const;
    /// The options a pass here connects with: short ones on a server, so that a held-up statement
    /// fails the pass within a test's patience.
    static ConnectionOptions connectionOptions();
    QSqlDatabase db() const;

    /// A card; a null QString is stored as NULL.
    void addCard(const QString &cliente, const QString &numCartao);
    /// A card and its movements, each "+ 100 2024-12-06" or "- 5 2025-12-06 15:30:00" (sign,
    /// points, date); a sign written "F+" or "F-" makes it a supplier's row.
    void addCard(const QString &cliente, const QString &numCartao, const QStringList &movements);
    /// One movement; `data` is "yyyy-MM-dd" or "yyyy-MM-dd hh:mm:ss"; `pontos` a decimal text.
    void addMovement(const QString &cliente, const QString &numCartao, const QString &afecta,
                     const QString &pontos, const QString &data,
                     const QString &cliFor = QStringLiteral("C"));
    /// Runs a statement; fails the current test when it does not succeed.
    void exec(const QString &sql);

    /// Rows written by the program (LancManual = 1), in the order written, each as a map of
    /// column name to value; dates as "yyyy-MM-dd", with " hh:mm:ss" when they carry a time.
    QVector<QVariantMap> postedRows() const;
    /// Every history row, in order of insertion.
    QVector<QVariantMap> allRows() const;
    /// The card's balance up to and including `day` (as the pass counts it), exactly, as a
    /// decimal text with four decimals.
    QString balance(const QString &cliente, const QString &numCartao, const QString &day) const;

    /// Makes PontosHistorico unusable to every other connection until restoreHistory(): on
    /// SQLite it is renamed away; on a server a second connection holds it locked, so that the
    /// pass's next statement on it runs into its command timeout.
    void breakHistory();
    void restoreHistory();
    /// A statement that, run on the pass's own connection inside its transaction, makes the
    /// pass's next statement on the history fail; the pass's rollback undoes it.
    static QString breakHistoryOnOwnConnectionSql()
    {
        return QStringLiteral("drop table PontosHistorico");
    }
    /// Refuses the program's postings for `terceiro` that meet `condition`, a test on the
    /// row's columns written with "{}" before each column name ("{}Data = '2025-12-06'").
    /// The refusal fails the one statement, or, with `endsTransaction`, rolls back the whole
    /// transaction, as a trigger's error does on a server where XACT_ABORT is on.
    void refusePostings(const QString &terceiro, const QString &condition,
                        bool endsTransaction = false);
    void allowPostings();
    /// Ends the session of `connection` as a lost network or a server restart would: a SQLite
    /// connection is closed under its user; on a server the server ends the session (through
    /// the T-SQL server's PostgreSQL side, which VELMORA_TEST_TSQL_DIR or the default folder of
    /// its start script names, on the port TSQL_PG_PORT names as it does for that script, 5433
    /// by default). The session's next statement fails. Fails the current test when
    /// the session could not be ended.
    static void endSession(QSqlDatabase connection);
    /// The history rows that another connection sees, uncommitted ones included where the
    /// database lets a reader see them.
    int historyRowsSeenFromOutside() const;

private:
    void createTables(const QString &amountType, const QString &textType);

    QTemporaryDir m_dir;
    QString m_path;
    QString m_connection;
    QString m_lockConnection; ///< the server connection that holds the history locked
    bool m_refusalIsTrigger = false;
    bool m_valid = false;
};

/// Ends the current test function as skipped when this run's cases go to a server and
/// VELMORA_TEST_SQLSERVER names none. Use it in initTestCase().
#define VELMORA_REQUIRE_BACKEND()                                                                  \
    do {                                                                                           \
        if (TestDatabase::isServer() && TestDatabase::serverLine().isEmpty())                      \
            QSKIP("VELMORA_TEST_SQLSERVER is not set (\"server;database;login;password;SQL;\")");  \
    } while (false)
