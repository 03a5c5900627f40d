// SPDX-License-Identifier: MIT
#include "support/TestUtil.h"

#include <QFile>
#include <QSysInfo>
#include <QTest>

using namespace Qt::StringLiterals;

bool connectTo(const TestDatabase &db, ConnectionPtr &cn, ReportSink &report)
{
    return LigarServidor(cn, db.settings(), db.connectionOptions(), report);
}

HistoryEntry historyEntry(const QString &afecta, const QString &amount, const QString &observa)
{
    HistoryEntry e;
    e.Terceiro = u"O'Neil"_s;
    e.CliFor = u"C"_s;
    e.NumCartao = u"1001"_s;
    e.Tipo = e.Numero = u""_s; // empty, not NULL
    e.Data = QDate(2025, 12, 6);
    e.Afecta = afecta;
    QTest::qVerify(Currency::fromString(amount, &e.Pontos), "Currency::fromString(amount)",
                   qPrintable(amount), __FILE__, __LINE__);
    e.ValorIncid = e.Pontos;
    e.Observa = observa;
    return e;
}

void writeStaleLock(const QString &lockPath)
{
    QFile file(lockPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // A process number that no process has: the largest a system hands out is far below.
    file.write("2147483646\nvelmora-cli\n" + QSysInfo::machineHostName().toUtf8() + "\n");
}
