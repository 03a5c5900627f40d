// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"
#include "db/HistoryWriter.h"

#include <QDateTime>
#include <QString>

#include <exception>

/// The lines a pass or a forecast writes to the report, and the notes of the rows a pass posts:
/// what readers downstream match on, so each is made in one place. Every line ends in CR LF.
namespace PassReport {

inline const QString kCrLf = QStringLiteral("\r\n");

/// The current moment as the report lines show it.
QString timestamp(const QDateTime &moment);
/// An exception from below the pass as the report tells it: the standard library's own texts
/// are English, the report's Portuguese.
QString describe(const std::exception &e);

/// The pass's first line, after an empty one.
QString startLine(const QDateTime &moment);
QString endLine(const QDateTime &moment);
/// The last line of a preview, so that whoever reads only the tail cannot miss it.
QString previewLine();
/// The line of a pass, or a forecast, put off because another holds the database's lock.
QString putOffLine(const QDateTime &moment);
/// The line that ends a pass or a forecast that failed.
QString failureLine(const QDateTime &moment, const QString &description);
/// The line of a pass, or a forecast, that a signal stopped at a card boundary.
QString interruptedLine(const QDateTime &moment, int signal);
/// A card left as it was because it could not be read or settled.
QString cardFailureLine(const QString &numCartao, const QString &description);
/// A card settled, or in a preview that would be, up to the cutoff "yyyy-mm-dd".
QString cardSettledLine(const QString &numCartao, const QString &strDataLimite, bool preview);

/// In a preview, a row where the pass would post it.
QString previewRowLine(const HistoryEntry &row);

/// The note of a row dated at the cutoff: the points lapsed, or an old deficit refilled as a
/// negative amount.
QString oldBalanceNote(Currency amount);
QString negativeBalanceNote(const QString &strDataHoje);
/// LIKE patterns that find each of the two notes in the history, whatever its amount or date.
QString oldBalanceNotePattern();
QString negativeBalanceNotePattern();

/// How far this machine's clock stands from the database server's, by which the pass runs
/// (`offsetMs`, the server's less the machine's): a line when it is more than a few minutes,
/// else nothing.
QString clockLine(qint64 offsetMs);

} // namespace PassReport
