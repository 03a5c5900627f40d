// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

/// Where the window's program takes its settings line from. The line's split into the five
/// settings is the core's (db/CommandLine.h), shared with the console program.
namespace CommandLine {

/// The argument tail as one string: the arguments after the program's own, joined by blanks.
QString joinArguments(const QStringList &arguments);

/// The settings as this process received them: on Windows the raw tail of GetCommandLineW,
/// quotes and runs of blanks included; elsewhere the arguments after the program's own, joined.
QString ofThisProcess(int argc, char *argv[]);

/// The raw tail of a Windows command line: what follows the program token (quoted or not) and
/// the blanks after it, with any quotes in it left as they are.
QString argumentTail(const QString &commandLine);

} // namespace CommandLine
