// SPDX-License-Identifier: MIT
#include "db/TransactionGuard.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"

#include <QSqlError>

namespace {
// One name serves every unit: only one savepoint is open at a time.
const QString kSavepoint = QStringLiteral("velmora_unidade");
} // namespace

TransactionGuard::TransactionGuard(const QSqlDatabase &database, const QString &beginSql,
                                   const QString &openSql)
    : m_database(database), m_statement(database)
{
    if (beginSql.isEmpty()) {
        m_active = m_database.transaction();
        if (!m_active)
            m_error = DbConnection::describe(m_database.lastError());
        else if (!exec(openSql)) {
            m_database.rollback();
            m_active = false;
        }
    } else {
        m_active = exec(beginSql);
    }
}

TransactionGuard::~TransactionGuard()
{
    if (m_active)
        m_database.rollback();
}

bool TransactionGuard::commit()
{
    if (!m_active)
        return false;
    m_active = false;
    if (m_database.commit())
        return true;
    m_error = DbConnection::describe(m_database.lastError());
    m_database.rollback();
    return false;
}

bool TransactionGuard::exec(const QString &sql)
{
    if (sql.isEmpty())
        return true;
    // A scrollable statement is opened as a server cursor on ODBC, which these are not.
    m_statement.setForwardOnly(true);
    const bool ok = m_statement.exec(sql);
    if (!ok)
        m_error = DbConnection::describe(m_statement.lastError());
    m_statement.finish();
    return ok;
}

bool TransactionGuard::savepoint(const Dialect &dialect)
{
    return m_active && exec(dialect.savepointSql(kSavepoint));
}

bool TransactionGuard::rollbackToSavepoint(const Dialect &dialect)
{
    return m_active && exec(dialect.rollbackToSavepointSql(kSavepoint));
}

bool TransactionGuard::releaseSavepoint(const Dialect &dialect)
{
    return m_active && exec(dialect.releaseSavepointSql(kSavepoint));
}
