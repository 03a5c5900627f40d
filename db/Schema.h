// SPDX-License-Identifier: MIT
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

/// The two tables of the loyalty scheme, as this program reads and writes them. The scheme's
/// own software owns them on SQL Server; the embedded database and the tests create them here.
namespace Schema {

/// Statements that create PontosCartoes and PontosHistorico with their indexes on SQLite.
QStringList sqliteStatements();
/// The same for SQL Server (scratch databases of the integration suite only).
QStringList sqlServerStatements();
/// Runs the statements in order on an open database; false with `error` on the first failure.
bool create(const QSqlDatabase &database, const QStringList &statements, QString *error);

} // namespace Schema
