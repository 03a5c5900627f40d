// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"
#include "settlement/SettlementPass.h"
#include "support/RecordingHost.h"
#include "support/TestDatabase.h"

#include <QSqlDatabase>
#include <QStringList>

// RecordingHost's clock stands at 06-12-2026 10:00:00.
inline const QString kToday = QStringLiteral("2026-12-06");
inline const QString kCutoff = QStringLiteral("2025-12-06");
inline const QString kStamp = QStringLiteral("06-12-2026 10:00:00");
inline const QString kTwoYears = QStringLiteral("2024-12-06");
inline const QString kLastMonth = QStringLiteral("2026-11-06");

inline PassOutcome runPass(const TestDatabase &db, RecordingHost &host, PassOptions options = {})
{
    ConnectionSettings settings = db.settings();
    return SettlementPass(settings, host, options).run();
}

inline QString cardLine(const QString &numCartao, const QString &cutoff = kCutoff)
{
    return QStringLiteral("    Cartão nº ") + numCartao + QStringLiteral(" saldado até ao dia ") +
           cutoff;
}

inline QString amountText(const QVariant &value)
{
    Currency amount;
    QString error;
    return Currency::fromVariant(value, &amount, &error) ? amount.toText() : error;
}

/// Each row the program posted as "Afecta Pontos Data Observa".
inline QStringList postedSummaries(const TestDatabase &db)
{
    QStringList out;
    for (const QVariantMap &row : db.postedRows()) {
        out << QStringList{row.value(QStringLiteral("Afecta")).toString(),
                           amountText(row.value(QStringLiteral("Pontos"))),
                           row.value(QStringLiteral("Data")).toString(),
                           row.value(QStringLiteral("Observa")).toString()}
                   .join(QLatin1Char(' '));
    }
    return out;
}

/// The connection of the pass that is running now.
inline QSqlDatabase passConnection()
{
    for (const QString &name : QSqlDatabase::connectionNames()) {
        if (name.startsWith(QLatin1String("velmora-")))
            return QSqlDatabase::database(name, false);
    }
    return {};
}
