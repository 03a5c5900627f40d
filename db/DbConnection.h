// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionString.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <memory>

class Dialect;
class ReportSink;

/// One database connection under a name of its own. The name is removed again when the
/// object goes, which closes the connection if it is still open.
class DbConnection
{
public:
    DbConnection();
    ~DbConnection();
    DbConnection(const DbConnection &) = delete;
    DbConnection &operator=(const DbConnection &) = delete;

    /// Opens against `target`; on failure `error` holds the driver's own description.
    bool open(const ConnectionTarget &target, int commandTimeoutSeconds, QString *error);
    bool isOpen() const;
    void close();

    const QString &name() const { return m_name; }
    QSqlDatabase database() const;
    const Dialect &dialect() const { return *m_dialect; }

    /// A forward-only query prepared with `sql` and readied for this back end. On failure
    /// `error` holds the description and the query is not usable.
    bool prepare(QSqlQuery &query, const QString &sql, QString *error) const;
    QSqlQuery newQuery() const;

    /// The driver's text of an error: its own message where it gives one.
    static QString describe(const QSqlError &error);

private:
    QString m_name;
    const Dialect *m_dialect;
    int m_commandTimeout = 60;
};

using ConnectionPtr = std::unique_ptr<DbConnection>;

/// Replaces the connection in `cnLigacao` by a new one and opens it with the settings.
/// A blank server returns false at once and touches nothing. A blank mode becomes "SQL" in
/// the caller's variable. Any other failure appends "Falha na Ligação ao Servidor! -> " with
/// the driver's description to `report` and returns false.
bool LigarServidor(ConnectionPtr &cnLigacao, const QString &strServidor,
                   const QString &strUtilizador, const QString &strPassword,
                   const QString &strBaseDados, QString &strModoLigacao, ReportSink &report,
                   const ConnectionString::Timeouts &timeouts = {}, bool readOnly = false);
