// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"

#include <QString>

/// The settings line that both programs take, "server;database;login;password;mode;", read
/// into the five connection settings. Where the line comes from is each program's own
/// business (app/CommandLine.h, cli/SettingsSource.h).
namespace CommandLine {

/// Splits "server;database;login;password;mode;" into the five settings. A field counts only
/// when a ";" follows it; a sixth or later field and text after the last ";" are ignored.
ConnectionSettings split(const QString &argumentString);

/// Upper-cases the mode (blank becomes "SQL") and checks the required settings. Returns the
/// Portuguese message that refuses the start, or an empty string when the settings will do.
QString normaliseAndValidate(ConnectionSettings &settings);

} // namespace CommandLine
