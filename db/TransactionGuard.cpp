// SPDX-License-Identifier: MIT
#include "db/TransactionGuard.h"

#include "db/DbConnection.h"

#include <QSqlQuery>

#include <algorithm>

namespace {

// One name serves every unit of work: only one savepoint is open at a time.
const QString kSavepoint = QStringLiteral("velmora_unidade");
const QString kMarker = QStringLiteral("#velmora_lote");
const QString kEndedByTheServer =
    QStringLiteral("o servidor da base de dados terminou a transação antes da confirmação, e "
                   "desfez o que ela tinha gravado");

class SqlServerSteps final : public TransactionSteps
{
public:
    // The transaction's marker, a row in a temporary table of the session: it is there while
    // the transaction that wrote it is open, and goes with it when the server ends it. The
    // driver cannot tell: Microsoft's drivers keep autocommit off with IMPLICIT_TRANSACTIONS,
    // under which the next statement after such an end opens a new transaction, and
    // @@trancount is 1 again.
    QString sessionSql() const override
    {
        return QStringLiteral("create table ") + kMarker + QStringLiteral(" (Lote int not null)");
    }
    // The marker's insert also opens the transaction where IMPLICIT_TRANSACTIONS waits for a
    // statement (SAVE TRANSACTION opens none, and fails as a batch's first statement); where one
    // is open already (FreeTDS opens it at once) it joins it. A BEGIN TRANSACTION would nest a
    // second one, which the driver's commit leaves open. Reading or writing, the transaction is
    // the same: the table is tempdb's, which a read-only database does not make read-only.
    bool begin(const DbConnection &connection, Dialect::Work, QString *error) const override
    {
        if (!connection.beginTransaction(error))
            return false;
        QVariant depth;
        if (connection.readOneValue(
                QStringLiteral("insert into ") + kMarker +
                    QStringLiteral(" output @@trancount values (1)"),
                QStringLiteral("o início da transação não devolveu nenhuma linha"), &depth,
                error)) {
            if (depth.toInt() == 1)
                return true;
            *error = QStringLiteral("o início da transação encontrou @@trancount %1, não 1")
                         .arg(depth.toInt());
        }
        rollback(connection);
        return false;
    }
    // T-SQL has no RELEASE: a savepoint ends with the transaction, and a name used again is
    // found at its latest mark, so forgetting one sends nothing.
    bool savepoint(const DbConnection &connection, Dialect::SavepointStep step,
                   QString *error) const override
    {
        switch (step) {
        case Dialect::SavepointStep::Mark:
            return connection.run(QStringLiteral("save transaction ") + kSavepoint, error);
        case Dialect::SavepointStep::RollBack:
            return connection.run(QStringLiteral("rollback transaction ") + kSavepoint, error);
        case Dialect::SavepointStep::Release:
            return true;
        }
        return false;
    }
    bool stillOpen(const DbConnection &connection, bool *open, QString *error) const override
    {
        QVariant count;
        if (!connection.readOneValue(QStringLiteral("select count(*) from ") + kMarker,
                                     QStringLiteral("a contagem não devolveu nenhuma linha"),
                                     &count, error))
            return false;
        *open = count.toInt() > 0;
        return true;
    }
    // The marker goes with the commit, so that the next transaction begins without one. A
    // marker that is not there any more means the transaction that would be committed is not
    // the one that was begun; one inside another would stay open after the driver's commit.
    bool readyToCommit(const DbConnection &connection, QString *error) const override
    {
        QVariant depth;
        QString failure;
        if (!connection.readOneValue(QStringLiteral("delete from ") + kMarker +
                                         QStringLiteral(" output @@trancount"),
                                     QString(), &depth, &failure)) {
            *error = failure.isEmpty() ? kEndedByTheServer : failure;
            return false;
        }
        if (depth.toInt() == 1)
            return true;
        *error = QStringLiteral("a transação do lote está dentro de outra (@@trancount %1), que a "
                                "confirmação deixaria aberta")
                     .arg(depth.toInt());
        return false;
    }
    // Whatever is open goes first, a transaction that a statement opened after the server had
    // ended the batch's (IMPLICIT_TRANSACTIONS) included, so that none stays open under the
    // next batch; then the driver ends its own.
    void rollback(const DbConnection &connection) const override
    {
        QString ignored;
        if (!connection.isLost())
            connection.runDirect(QStringLiteral("if @@trancount > 0 rollback transaction"),
                                 &ignored);
        connection.rollback();
    }
};

class SqliteSteps final : public TransactionSteps
{
public:
    // A batch that writes takes the write lock from the start: one that first read under a
    // shared lock and then wanted to write could meet a second writer waiting for that shared
    // lock to go, and SQLite then refuses the write at once rather than wait. A batch that only
    // reads takes the driver's transaction, under a shared lock.
    bool begin(const DbConnection &connection, Dialect::Work work, QString *error) const override
    {
        return work == Dialect::Work::Writing
                   ? connection.run(QStringLiteral("begin immediate"), error)
                   : connection.beginTransaction(error);
    }
    // After a rollback to it the savepoint is still there: the release ends it in both cases.
    bool savepoint(const DbConnection &connection, Dialect::SavepointStep step,
                   QString *error) const override
    {
        switch (step) {
        case Dialect::SavepointStep::Mark:
            return connection.run(QStringLiteral("savepoint ") + kSavepoint, error);
        case Dialect::SavepointStep::RollBack:
            return connection.run(QStringLiteral("rollback to savepoint ") + kSavepoint, error);
        case Dialect::SavepointStep::Release:
            return connection.run(QStringLiteral("release savepoint ") + kSavepoint, error);
        }
        return false;
    }
    // SQLite has no statement that tells; a BEGIN that it runs is ended again at once. Inside a
    // transaction it refuses BEGIN with its plain error code (SQLITE_ERROR, 1, as sqlite3.h
    // numbers it for good) before it takes any lock, so a BEGIN refused with any other code
    // (busy, locked) found none open.
    bool stillOpen(const DbConnection &connection, bool *open, QString *error) const override
    {
        constexpr qint64 kSqliteError = 1;
        QSqlQuery query;
        if (!connection.prepare(query, QStringLiteral("begin"), error))
            return false;
        if (connection.exec(query, error)) {
            query.finish();
            *open = false;
            return connection.run(QStringLiteral("rollback"), error);
        }
        if (connection.isLost())
            return false;
        const QList<qint64> codes = connection.errorCodes(query);
        *open = std::any_of(codes.cbegin(), codes.cend(),
                            [](qint64 code) { return (code & 0xff) == kSqliteError; });
        error->clear();
        return true;
    }
    bool readyToCommit(const DbConnection &, QString *) const override { return true; }
};

} // namespace

void TransactionSteps::rollback(const DbConnection &connection) const
{
    connection.rollback();
}

const TransactionSteps &TransactionSteps::sqlServer()
{
    static const SqlServerSteps instance;
    return instance;
}

const TransactionSteps &TransactionSteps::sqlite()
{
    static const SqliteSteps instance;
    return instance;
}

TransactionGuard::TransactionGuard(const DbConnection &connection, Dialect::Work work)
    : m_connection(connection)
{
    m_active = m_connection.dialect().transactionSteps().begin(m_connection, work, &m_error);
}

TransactionGuard::~TransactionGuard()
{
    if (m_active)
        m_connection.dialect().transactionSteps().rollback(m_connection);
}

bool TransactionGuard::commit(QString *error)
{
    if (!m_active)
        return false;
    m_active = false;
    if (m_connection.dialect().transactionSteps().readyToCommit(m_connection, error) &&
        m_connection.commit(error))
        return true;
    m_connection.dialect().transactionSteps().rollback(m_connection);
    return false;
}

bool TransactionGuard::step(Dialect::SavepointStep step, QString *error)
{
    return m_active &&
           m_connection.dialect().transactionSteps().savepoint(m_connection, step, error);
}

bool TransactionGuard::savepoint(QString *error)
{
    return step(Dialect::SavepointStep::Mark, error);
}

bool TransactionGuard::rollbackToSavepoint(QString *error)
{
    return step(Dialect::SavepointStep::RollBack, error);
}

bool TransactionGuard::releaseSavepoint(QString *error)
{
    return step(Dialect::SavepointStep::Release, error);
}
