// SPDX-License-Identifier: MIT
#pragma once

#include "db/Dialect.h"

#include <QString>

class DbConnection;

/// How a back end takes the steps of a transaction: begin it, mark, undo and forget the one
/// savepoint inside it, tell whether a failure left it open, and make sure it is still the
/// same one before it is committed. Every statement goes through
/// the connection, with its timeout. One object per back end, which its dialect gives
/// (Dialect::transactionSteps()).
class TransactionSteps
{
public:
    virtual ~TransactionSteps() = default;

    /// Begins a transaction on `connection` for `work`; commit and rollback are the driver's.
    /// False, with the reason, when it could not be begun: then none is open.
    virtual bool begin(const DbConnection &connection, Dialect::Work work,
                       QString *error) const = 0;
    /// Takes one step of the savepoint; false, with the reason, when its statement failed.
    virtual bool savepoint(const DbConnection &connection, Dialect::SavepointStep step,
                           QString *error) const = 0;
    /// After a statement failed inside a transaction: whether the transaction is still open,
    /// in `open`. A server may end it on some errors, undoing what it held. False, with the
    /// reason, when that cannot be told.
    virtual bool stillOpen(const DbConnection &connection, bool *open, QString *error) const = 0;
    /// Just before the commit: false, with the reason, when the transaction open now is not the
    /// one that begin() opened, so that nothing is committed in its name.
    virtual bool readyToCommit(const DbConnection &connection, QString *error) const = 0;
    /// Rolls back what begin() began, and leaves no transaction open; nothing is sent on a lost
    /// connection.
    virtual void rollback(const DbConnection &connection) const;
    /// What a connection runs once, before its first transaction; empty for nothing.
    virtual QString sessionSql() const { return {}; }

    static const TransactionSteps &sqlServer();
    static const TransactionSteps &sqlite();
};

/// Begins a transaction and rolls it back on destruction unless it was committed. Every
/// statement goes through the connection, with its timeout; on a lost connection nothing is
/// sent, not even the rollback.
class TransactionGuard
{
public:
    /// Begins the transaction that the back end gives `work`; commit and rollback are the
    /// driver's.
    TransactionGuard(const DbConnection &connection, Dialect::Work work);
    ~TransactionGuard();
    TransactionGuard(const TransactionGuard &) = delete;
    TransactionGuard &operator=(const TransactionGuard &) = delete;

    bool begun() const { return m_active; }
    /// Why the transaction could not begin (a constructor has no other way to say it).
    const QString &error() const { return m_error; }
    /// False, with the reason, when the commit failed; the work is then rolled back.
    bool commit(QString *error);

    /// One savepoint at a time inside the transaction, so that a unit of work can be undone
    /// alone while the work before it stays. Each returns false, with the reason, when its
    /// statement failed; the transaction is then left to the caller to commit or roll back.
    bool savepoint(QString *error);
    bool rollbackToSavepoint(QString *error);
    bool releaseSavepoint(QString *error);

private:
    bool step(Dialect::SavepointStep step, QString *error);

    const DbConnection &m_connection;
    bool m_active = false;
    QString m_error;
};
