// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"

#include <QString>
#include <QStringList>

namespace CommandLine {

/// Splits "server;database;login;password;mode;" into the five settings. A field counts only
/// when a ";" follows it; a sixth or later field and text after the last ";" are ignored.
ConnectionSettings split(const QString &argumentString);

/// Upper-cases the mode (blank becomes "SQL") and checks the required settings. Returns the
/// Portuguese message that refuses the start, or an empty string when the settings will do.
QString normaliseAndValidate(ConnectionSettings &settings);

/// The argument tail as one string: the arguments after the program's own, joined by blanks.
QString joinArguments(const QStringList &arguments);

/// The settings as this process received them: on Windows the raw tail of GetCommandLineW,
/// quotes and runs of blanks included; elsewhere the arguments after the program's own, joined.
QString ofThisProcess(int argc, char *argv[]);

/// The raw tail of a Windows command line: what follows the program token (quoted or not) and
/// the blanks after it, with any quotes in it left as they are.
QString argumentTail(const QString &commandLine);

} // namespace CommandLine
