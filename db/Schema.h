// SPDX-License-Identifier: MIT
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

/// The two tables of the loyalty scheme, as this program reads and writes them. The scheme's
/// own software owns them on SQL Server; the embedded database and the tests create them here.
namespace Schema {

/// Statements that create PontosCartoes and PontosHistorico with their indexes on SQLite;
/// `amountType` is the declared type of ValorIncid and Pontos.
QStringList sqliteStatements(const QString &amountType = QStringLiteral("numeric"));
/// The same for SQL Server (scratch databases of the tests and the benchmark only), with the
/// text columns of `textType` ("varchar" or "nvarchar") and the amounts of `amountType`.
QStringList sqlServerStatements(const QString &textType = QStringLiteral("varchar"),
                                const QString &amountType = QStringLiteral("money"));
/// Statements that drop the two tables on SQL Server where they exist (scratch databases only).
QStringList sqlServerDropStatements();
/// Runs the statements in order on an open database; false with `error` on the first failure.
bool create(const QSqlDatabase &database, const QStringList &statements, QString *error);

} // namespace Schema
