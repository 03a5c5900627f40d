// SPDX-License-Identifier: MIT
#include "db/TransactionGuard.h"

#include "db/DbConnection.h"

TransactionGuard::TransactionGuard(const DbConnection &connection, Dialect::Work work)
    : m_connection(connection)
{
    m_active = m_connection.dialect().begin(m_connection, work, &m_error);
}

TransactionGuard::~TransactionGuard()
{
    if (m_active)
        m_connection.rollback();
}

bool TransactionGuard::commit()
{
    if (!m_active)
        return false;
    m_active = false;
    if (m_connection.commit(&m_error))
        return true;
    m_connection.rollback();
    return false;
}

bool TransactionGuard::step(Dialect::SavepointStep step)
{
    return m_active && m_connection.dialect().savepoint(m_connection, step, &m_error);
}

bool TransactionGuard::savepoint()
{
    return step(Dialect::SavepointStep::Mark);
}

bool TransactionGuard::rollbackToSavepoint()
{
    return step(Dialect::SavepointStep::RollBack);
}

bool TransactionGuard::releaseSavepoint()
{
    return step(Dialect::SavepointStep::Release);
}
