// SPDX-License-Identifier: MIT
#pragma once

#include "db/DbConnection.h"
#include "db/HistoryWriter.h"
#include "support/TestDatabase.h"

/// Opens `cn` on the test database's file; a failure goes to `report`.
bool connectTo(const TestDatabase &db, ConnectionPtr &cn, ReportSink &report);

/// A movement of card 1001 of "O'Neil" on 2025-12-06, with `amount` (decimal text) as both
/// ValorIncid and Pontos; an amount that does not parse fails the current test.
HistoryEntry historyEntry(const QString &afecta, const QString &amount, const QString &observa);

/// What a pass writes after its timestamp when another pass holds the database.
inline const QString kPutOff = QStringLiteral(
    "   Verificação adiada: outro processo do Velmora está a verificar esta base de dados.");

/// Writes at `lockPath` a pass lock of this machine whose owner has ended.
void writeStaleLock(const QString &lockPath);
