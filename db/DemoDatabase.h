// SPDX-License-Identifier: MIT
#pragma once

#include <QDate>
#include <QString>

namespace DemoDatabase {

/// Creates a SQLite database at `path` with the two tables and some twenty cards that show
/// every case a pass meets, dated around `today`. Refuses to overwrite an existing file.
bool create(const QString &path, const QDate &today, QString *error);

} // namespace DemoDatabase
