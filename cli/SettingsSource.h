// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

namespace SettingsSource {

/// The settings line of velmora-cli: the positional arguments joined by blanks, or the one line
/// of the file named by --settings ("-" reads standard input). `settingsOptions` holds every
/// value given to --settings. A file that its group or other users may read or write is refused,
/// as ssh refuses such a key. Returns false with a message in *error, which never quotes the
/// line: it holds a password.
bool settingsLine(const QStringList &settingsOptions, const QStringList &positional, QString *line,
                  QString *error);

/// Why `line` is refused for text after its last ";", or an empty string when only blanks
/// follow it. Such text is a word meant as an option ("dry-run") or a field left without its
/// ";", and would be ignored: the pass would run as if it were not there. The text is quoted,
/// except where it stands in the place of the password.
QString unexpectedTail(const QString &line);

} // namespace SettingsSource
