// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

/// How a mode and the settings map onto a Qt SQL driver.
struct ConnectionTarget
{
    enum class Backend { None, Odbc, Sqlite };
    Backend backend = Backend::None;
    QString driverName;     ///< "QODBC" or "QSQLITE"
    QString databaseName;   ///< ODBC connection string, or the SQLite file URI
    QString connectOptions; ///< Qt's driver options
    QString refusal;        ///< why the settings cannot be used; the connection then fails
    /// The timeout each statement is given, in seconds; 0 for the command timeout itself.
    int statementSeconds = 0;
};

namespace ConnectionString {

/// The ODBC driver for SQL Server: VELMORA_ODBC_DRIVER when set, else the platform's default.
QString odbcDriver();
/// True for FreeTDS, whose braced values end at the first "};".
bool isFreeTds(const QString &driver);

/// Quotes one value for an ODBC connection string. Empty result with `ok` false when the
/// value cannot be quoted for `driver`.
QString quoteValue(const QString &value, const QString &driver, bool *ok);

struct Timeouts
{
    int loginSeconds = 30;   ///< opening the connection
    int commandSeconds = 60; ///< each statement
};

/// Builds the target for an upper-cased mode: "SQL" (SQL login), "WIN" (integrated security)
/// or "SQLITE" (the embedded database, `server` being the file). Any other mode gives an
/// empty ODBC connection string, which fails to open. `readOnly` opens SQLite read-only.
ConnectionTarget build(const QString &mode, const QString &server, const QString &database,
                       const QString &login, const QString &password, const Timeouts &timeouts,
                       bool readOnly = false, const QString &driver = odbcDriver());

} // namespace ConnectionString
