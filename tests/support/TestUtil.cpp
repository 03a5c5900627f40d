// SPDX-License-Identifier: MIT
#include "support/TestUtil.h"

#include <QTest>

bool connectTo(const TestDatabase &db, ConnectionPtr &cn, ReportSink &report)
{
    ConnectionSettings s = db.settings();
    return LigarServidor(cn, s.strServidor, {}, {}, s.strBaseDados, s.strModoLigacao, report);
}

HistoryEntry historyEntry(const QString &afecta, const QString &amount, const QString &observa)
{
    HistoryEntry e{QStringLiteral("O'Neil"), QStringLiteral("C"), QStringLiteral("1001"),
                   QStringLiteral(""), QStringLiteral(""), QDate(2025, 12, 6), afecta, {}, {},
                   observa};
    QTest::qVerify(Currency::fromString(amount, &e.Pontos), "Currency::fromString(amount)",
                   qPrintable(amount), __FILE__, __LINE__);
    e.ValorIncid = e.Pontos;
    return e;
}
