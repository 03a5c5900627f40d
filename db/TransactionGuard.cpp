// SPDX-License-Identifier: MIT
#include "db/TransactionGuard.h"

#include "db/DbConnection.h"

#include <QSqlError>

TransactionGuard::TransactionGuard(const QSqlDatabase &database) : m_database(database)
{
    m_active = m_database.transaction();
    if (!m_active)
        m_error = DbConnection::describe(m_database.lastError());
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
