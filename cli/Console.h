// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <cstdio>

/// Text for the console runner's standard output and error. A Windows console takes UTF-16
/// through the console API, whatever its code page; a file or pipe gets UTF-8 (with CR LF line
/// ends on Windows, from the C runtime's text mode).
namespace Console {

void write(std::FILE *stream, const QString &text);

/// Text written to `stream` from now on goes out as it is: where the C runtime's text mode
/// would put a CR before each LF (a file or pipe on Windows), it no longer does. Elsewhere, and
/// on a console, this does nothing.
void keepLineEnds(std::FILE *stream);

/// True when `stream` is a terminal or console window (not a file, pipe or the null device).
bool isTerminal(std::FILE *stream);

/// What returns the cursor to the start of the line and clears it: the VT sequence where the
/// terminal takes it, else blanks over the line.
QString lineEraser(std::FILE *stream);

} // namespace Console
