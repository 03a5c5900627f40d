// SPDX-License-Identifier: MIT
#include "db/TransactionGuard.h"

#include "db/DbConnection.h"

#include <QSqlQuery>

#include <algorithm>

namespace {

// One name serves every unit of work: only one savepoint is open at a time.
const QString kSavepoint = QStringLiteral("velmora_unidade");

class SqlServerSteps final : public TransactionSteps
{
public:
    // Microsoft's ODBC drivers keep autocommit off with IMPLICIT_TRANSACTIONS, under which
    // SAVE TRANSACTION opens no transaction and fails as a batch's first statement; a read of a
    // table opens it. Where one is open already (FreeTDS opens it at once) that read does
    // nothing. A BEGIN TRANSACTION would nest a second one, which the driver's commit leaves
    // open. Reading or writing, the transaction is the same.
    bool begin(const DbConnection &connection, Dialect::Work, QString *error) const override
    {
        if (!connection.beginTransaction(error))
            return false;
        if (connection.run(QStringLiteral("select top 0 1 from PontosHistorico"), error))
            return true;
        connection.rollback();
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
    // A SELECT that reads no table opens no implicit transaction of its own.
    bool stillOpen(const DbConnection &connection, bool *open, QString *error) const override
    {
        QVariant count;
        if (!connection.readOneValue(QStringLiteral("select @@trancount"),
                                     QStringLiteral("@@trancount não devolveu nenhuma linha"),
                                     &count, error))
            return false;
        *open = count.toInt() > 0;
        return true;
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
};

} // namespace

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
        m_connection.rollback();
}

bool TransactionGuard::commit(QString *error)
{
    if (!m_active)
        return false;
    m_active = false;
    if (m_connection.commit(error))
        return true;
    m_connection.rollback();
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
