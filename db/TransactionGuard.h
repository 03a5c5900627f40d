// SPDX-License-Identifier: MIT
#pragma once

#include "db/Dialect.h"

#include <QString>

class DbConnection;

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
    const QString &error() const { return m_error; }
    /// False, with error() set, when the commit failed; the work is then rolled back.
    bool commit();

    /// One savepoint at a time inside the transaction, so that a unit of work can be undone
    /// alone while the work before it stays. Each returns false, with error() set, when its
    /// statement failed; the transaction is then left to the caller to commit or roll back.
    bool savepoint();
    bool rollbackToSavepoint();
    bool releaseSavepoint();

private:
    bool step(Dialect::SavepointStep step);

    const DbConnection &m_connection;
    bool m_active = false;
    QString m_error;
};
