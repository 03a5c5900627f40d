// SPDX-License-Identifier: MIT
#include "db/TransactionGuard.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"

namespace {
// One name serves every unit: only one savepoint is open at a time.
const QString kSavepoint = QStringLiteral("velmora_unidade");
} // namespace

TransactionGuard::TransactionGuard(const DbConnection &connection, const QString &beginSql,
                                   const QString &openSql)
    : m_connection(connection)
{
    if (beginSql.isEmpty()) {
        m_active = m_connection.beginTransaction(&m_error);
        if (m_active && !run(openSql)) {
            m_connection.rollback();
            m_active = false;
        }
    } else {
        m_active = run(beginSql);
    }
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

bool TransactionGuard::run(const QString &sql)
{
    return sql.isEmpty() || m_connection.run(sql, &m_error);
}

bool TransactionGuard::savepoint()
{
    return m_active && run(m_connection.dialect().savepointSql(kSavepoint));
}

bool TransactionGuard::rollbackToSavepoint()
{
    return m_active && run(m_connection.dialect().rollbackToSavepointSql(kSavepoint));
}

bool TransactionGuard::releaseSavepoint()
{
    return m_active && run(m_connection.dialect().releaseSavepointSql(kSavepoint));
}
