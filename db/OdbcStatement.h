// SPDX-License-Identifier: MIT
#pragma once

#include "db/Dialect.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <memory>

class QSqlDatabase;
class QSqlQuery;

/// What Velmora asks of ODBC itself, beneath Qt's ODBC driver, through the handles that the
/// driver hands out: a statement's timeout, values bound from buffers of its own, the diagnostic
/// records of a failure, and whether a connection is dead. The one place that depends on how
/// Qt's driver keeps its handles, and on the ODBC headers.
class OdbcStatement
{
public:
    /// One diagnostic record of a failed call.
    struct Diagnostic
    {
        QByteArray state;  ///< the SQLSTATE
        qint64 native = 0; ///< the server's own error number
        QString message;   ///< the driver's text
    };

    /// The statement under `query`, as Qt's ODBC driver prepared it; none (isValid() false)
    /// for a query that was not prepared, or that another driver prepared.
    explicit OdbcStatement(const QSqlQuery &query);
    bool isValid() const { return m_handle != nullptr; }

    /// Gives the statement a query timeout; nothing without a statement.
    void setTimeout(int seconds) const;
    /// Binds `values` to the statement's placeholders, in order, from buffers that `storage`
    /// keeps until the statement has run: ASCII text as 8-bit text, any other text as UTF-16,
    /// dates, moments and integers as themselves, NULL as a NULL text. False, with the reason,
    /// for a value of any other type or one that the driver refused.
    bool bind(const QVariantList &values, std::unique_ptr<Dialect::BoundValues> *storage,
              QString *error) const;
    /// The records that the statement's last failure left, in the driver's order. Qt asks for
    /// ODBC 2 states, so that a timeout is S1T00; ODBC 3 drivers may still say HYT00.
    QList<Diagnostic> diagnostics() const;
    /// Whether the statement's last failure, by its SQLSTATEs, ran out of time (S1T00, HYT00,
    /// HYT01) or lost the connection (class 08).
    bool timedOutOrDisconnected() const;

    /// The records that the last failed call of the connection itself (a commit) left; none
    /// when it is not open.
    static QList<Diagnostic> connectionDiagnostics(const QSqlDatabase &database);
    /// Whether the driver finds the open connection of `database` dead.
    static bool connectionDead(const QSqlDatabase &database);

private:
    void *m_handle = nullptr; ///< the ODBC statement handle
};
