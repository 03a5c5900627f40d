// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"

#include <QString>

/// How the settings map onto a Qt SQL driver: what a connection opens, and keeps.
struct ConnectionTarget
{
    enum class Backend { None, Odbc, Sqlite };
    Backend backend = Backend::None;
    QString driverName;        ///< "QODBC" or "QSQLITE"
    QString databaseName;      ///< ODBC connection string, or the SQLite file URI
    QString connectOptions;    ///< Qt's driver options
    QString refusal;           ///< why the settings cannot be used; the connection then fails
    QString file;              ///< SQLite: the database file as the server setting names it
    int statementSeconds = 60; ///< the timeout each statement is given
};

namespace ConnectionString {

/// True for FreeTDS, whose braced values end at the first "};".
bool isFreeTds(const QString &driver);

/// Quotes one value for an ODBC connection string to the options' driver. Empty result with
/// `ok` false when the value cannot be quoted for that driver.
QString quoteValue(const QString &value, const ConnectionOptions &options, bool *ok);

/// Why the driver cannot take the encryption the options ask for, or VELMORA_CLOCK names no
/// clock, naming the variable; empty when all is well. A SQLite database takes no encryption,
/// and refuses none.
QString optionsRefusal(const ConnectionSettings &settings, const ConnectionOptions &options);

/// What a failure to connect with the options' encryption adds to the driver's words: the
/// variable that asked for it, as a possible cause. Empty when none was asked for.
QString encryptionHint(const ConnectionOptions &options);

/// The session name that a DBA sees (program_name, APP_NAME()).
inline constexpr const char *kApplicationName = "Velmora";

/// Builds the target of the settings' mode: a SQL Server login, integrated security, or the
/// embedded database (the server setting being the file). An unknown mode is refused, with no
/// connection string.
ConnectionTarget build(const ConnectionSettings &settings, const ConnectionOptions &options);

} // namespace ConnectionString
