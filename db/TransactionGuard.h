// SPDX-License-Identifier: MIT
#pragma once

#include <QSqlDatabase>
#include <QString>

/// Begins a transaction and rolls it back on destruction unless it was committed.
class TransactionGuard
{
public:
    explicit TransactionGuard(const QSqlDatabase &database);
    ~TransactionGuard();
    TransactionGuard(const TransactionGuard &) = delete;
    TransactionGuard &operator=(const TransactionGuard &) = delete;

    bool begun() const { return m_active; }
    const QString &error() const { return m_error; }
    /// False, with error() set, when the commit failed; the work is then rolled back.
    bool commit();

private:
    QSqlDatabase m_database;
    bool m_active = false;
    QString m_error;
};
