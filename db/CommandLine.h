// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"

#include <QString>

/// The settings line that both programs take, "server;database;login;password;mode;", read
/// into the five connection settings. Where the line comes from is each program's own
/// business (app/CommandLine.h, cli/SettingsSource.h).
namespace CommandLine {

/// Splits "server;database;login;password;mode;" into the five settings. A field counts only
/// when a ";" follows it; text after the last ";" is ignored. A line of more than five fields
/// whose password is braced as ODBC braces a value ("{Ab;c}}d}" for "Ab;c}d") is read with that
/// password. `fieldCount`, when given, receives the number of fields read.
ConnectionSettings split(const QString &argumentString, int *fieldCount = nullptr);

/// Upper-cases the mode (blank becomes "SQL") and checks the field count and the required
/// settings. Returns the Portuguese message that refuses the start, or an empty string when the
/// settings will do. The message never holds the text of the password or of a field after it.
QString normaliseAndValidate(ConnectionSettings &settings, int fieldCount = 5);

} // namespace CommandLine
