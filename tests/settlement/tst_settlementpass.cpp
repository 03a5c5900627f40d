// SPDX-License-Identifier: MIT
#include "PassTestUtil.h"

#include <QFile>
#include <QTest>

class tst_SettlementPass : public QObject
{
    Q_OBJECT
private slots:
    void emptyCardTableReportsStartThenEndAndReadsNoHistory();
    void settlesACardOnceADay_data();
    void settlesACardOnceADay();
    void writesEveryColumnAndCallsTheHostInOrder();
    void settlesEachCustomerOfASharedCardNumber();
    void doesNothingWithoutAConnection();
    void cutoffIsOneCalendarYearBack_data();
    void cutoffIsOneCalendarYearBack();
};

namespace {

/// Movements as "+ 100 2024-12-06" or "- 5 2025-12-06 15:30:00"; "F+" is a supplier's row.
void addMovements(TestDatabase &db, const QString &cliente, const QString &numCartao,
                  const QStringList &movements)
{
    for (const QString &movement : movements) {
        const QStringList f = movement.split(QLatin1Char(' '));
        db.addMovement(cliente, numCartao, f[0].right(1), f[1], f.mid(2).join(QLatin1Char(' ')),
                       f[0].size() > 1 ? QStringLiteral("F") : QStringLiteral("C"));
    }
}

QString lapse(const QString &n)
{
    return QStringLiteral("- %1 %2 Regularização Automática (%1 pontos)").arg(n, kCutoff);
}

QString refill(const QString &n)
{
    return QStringLiteral("+ %1 %2 Regularização Automática (-%1 pontos)").arg(n, kCutoff);
}

QString lift(const QString &n)
{
    return QStringLiteral("+ %1 %2 Regularização Automática (Saldo em 06-12-2026 era negativo")
        .arg(n, kToday);
}

} // namespace

void tst_SettlementPass::emptyCardTableReportsStartThenEndAndReadsNoHistory()
{
    TestDatabase db;
    // Any query on the history would now fail the pass.
    db.exec(QStringLiteral("drop table PontosHistorico"));
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QCOMPARE(host.lines(),
             (QStringList{QString(), QStringLiteral("Início da Verificação - ") + kStamp,
                          QStringLiteral("Fim da Verificação - ") + kStamp}));
    QCOMPARE(host.countdownResets, 1);
}

void tst_SettlementPass::settlesACardOnceADay_data()
{
    QTest::addColumn<QString>("cliente");
    QTest::addColumn<QString>("numCartao");
    QTest::addColumn<QStringList>("movements");
    QTest::addColumn<QStringList>("posted");
    auto add = [](const char *name, const QStringList &movements, const QStringList &posted,
                  const QString &cliente = "123", const QString &numCartao = "456") {
        QTest::newRow(name) << cliente << numCartao << movements << posted;
    };
    add("no history", {}, {});
    add("surplus up to the cutoff", {"+ 100 2024-12-06", "- 30 2025-12-06"}, {lapse("70")});
    add("old deficit", {"+ 10 2024-12-06", "- 30 2024-12-06"}, {refill("20")});
    add("day after the cutoff", {"+ 40 2025-12-06", "+ 60 2025-12-07"}, {lapse("40")});
    add("later on the cutoff date", {"+ 5 2025-12-06", "+ 70 2025-12-06 15:30:00"}, {lapse("5")});
    add("midnight on the cutoff date", {"+ 5 2025-12-06 00:00:00", "+ 70 2025-12-06 00:00:01"},
        {lapse("5")});
    add("0.4 rounds to 0", {"+ 0.4 2024-12-06"}, {});
    add("0.5 rounds to 0", {"+ 0.5 2024-12-06"}, {});
    add("1.5 rounds to 2", {"+ 1.5 2024-12-06"}, {lapse("2")});
    add("2.5 rounds to 2", {"+ 2.5 2024-12-06"}, {lapse("2")});
    add("-2.5 rounds to -2", {"- 2.5 2024-12-06"}, {refill("2")});
    add("lapse leaves today negative", {"+ 100 2024-12-06", "- 80 2026-11-06"},
        {lapse("100"), lift("80")});
    add("fractional lapse and lift", {"+ 1.5 2024-12-06", "- 3.7 2026-11-06"},
        {lapse("2"), lift("4")});
    add("old zero, today negative", {"+ 50 2024-12-06", "- 50 2024-12-06", "- 40 2026-11-06"}, {});
    add("supplier rows", {"F+ 500 2024-12-06"}, {});
    add("quotes in both values", {"+ 25 2024-12-06"}, {lapse("25")}, "O'Neil", "4'56");
}

void tst_SettlementPass::settlesACardOnceADay()
{
    QFETCH(QString, cliente);
    QFETCH(QString, numCartao);
    QFETCH(QStringList, movements);
    QFETCH(QStringList, posted);
    TestDatabase db;
    db.addCard(cliente, numCartao);
    addMovements(db, cliente, numCartao, movements);

    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QCOMPARE(postedSummaries(db), posted);
    for (const QVariantMap &row : db.postedRows()) {
        QCOMPARE(row.value(QStringLiteral("Terceiro")).toString(), cliente);
        QCOMPARE(row.value(QStringLiteral("NumCartao")).toString(), numCartao);
    }
    QStringList lines = host.lines();
    QCOMPARE(lines.size(), posted.isEmpty() ? 3 : 4);
    if (!posted.isEmpty())
        QCOMPARE(lines.at(2), cardLine(numCartao));

    // The same day, every kind of card is found settled: nothing is posted twice.
    RecordingHost again;
    QCOMPARE(runPass(db, again), PassOutcome::Completed);
    QCOMPARE(postedSummaries(db), posted);
    QCOMPARE(again.lines().size(), 3);
}

void tst_SettlementPass::writesEveryColumnAndCallsTheHostInOrder()
{
    TestDatabase db;
    db.addCard(QStringLiteral("123"), QStringLiteral("456"));
    addMovements(db, QStringLiteral("123"), QStringLiteral("456"),
                 {"+ 100 2024-12-06", "- 30 2025-12-06"});
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);

    const QVector<QVariantMap> rows = db.postedRows();
    QCOMPARE(rows.size(), 1);
    const QVariantMap &row = rows.first();
    QCOMPARE(row.size(), 14); // the 13 written, and the Id
    QCOMPARE(row.value("Terceiro").toString(), QStringLiteral("123"));
    QCOMPARE(row.value("CliFor").toString(), QStringLiteral("C"));
    QCOMPARE(row.value("NumCartao").toString(), QStringLiteral("456"));
    for (const char *empty : {"Tipo", "Numero"}) {
        QVERIFY2(!row.value(empty).isNull(), empty);
        QCOMPARE(row.value(empty).toString(), QString());
    }
    QCOMPARE(row.value("Data").toString(), kCutoff);
    QCOMPARE(row.value("Afecta").toString(), QStringLiteral("-"));
    QCOMPARE(amountText(row.value("ValorIncid")), QStringLiteral("70"));
    QCOMPARE(amountText(row.value("Pontos")), QStringLiteral("70"));
    QCOMPARE(row.value("LancManual").toInt(), 1);
    QCOMPARE(row.value("Observa").toString(),
             QStringLiteral("Regularização Automática (70 pontos)"));
    QCOMPARE(row.value("Utilizador").toString(), QStringLiteral("00"));
    QCOMPARE(row.value("DataSys").toString(), QStringLiteral("2026-12-06 10:00:00"));

    QCOMPARE(host.text, QStringLiteral("\r\nInício da Verificação - ") + kStamp + "\r\n" +
                            cardLine("456") + "\r\nFim da Verificação - " + kStamp + "\r\n");
    // Busy display, start line, the card line and its yield, end line, idle display, reset.
    QCOMPARE(host.calls, (QStringList{"cursor:1", "status:1", "yield", "append", "caret", "refresh",
                                      "append", "caret", "refresh", "yield", "append", "caret",
                                      "refresh", "status:0", "yield", "reset", "cursor:0"}));
}

void tst_SettlementPass::settlesEachCustomerOfASharedCardNumber()
{
    TestDatabase db;
    db.addCard(QStringLiteral("124"), QStringLiteral("456"));
    db.addCard(QStringLiteral("123"), QStringLiteral("456"));
    db.addMovement(QStringLiteral("124"), QStringLiteral("456"), "+", "30", kTwoYears);
    db.addMovement(QStringLiteral("123"), QStringLiteral("456"), "-", "15", kTwoYears);
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);

    QCOMPARE(postedSummaries(db), (QStringList{refill("15"), lapse("30")}));
    const QVector<QVariantMap> rows = db.postedRows();
    QCOMPARE(rows.at(0).value("Terceiro").toString(), QStringLiteral("123"));
    QCOMPARE(rows.at(1).value("Terceiro").toString(), QStringLiteral("124"));
    QCOMPARE(host.lines().mid(2, 2), (QStringList{cardLine("456"), cardLine("456")}));
}

void tst_SettlementPass::doesNothingWithoutAConnection()
{
    TestDatabase db;
    ConnectionSettings settings = db.settings();
    settings.strServidor = db.folder() + QStringLiteral("/missing.db");
    RecordingHost host;
    QCOMPARE(SettlementPass(settings, host).run(), PassOutcome::NoConnection);

    QVERIFY(host.text.startsWith(QStringLiteral("Falha na Ligação ao Servidor! -> ")));
    QVERIFY(!host.text.contains(QStringLiteral("Início")));
    QVERIFY(!host.calls.contains(QStringLiteral("cursor:1")));
    QVERIFY(!host.calls.contains(QStringLiteral("status:1")));
    QCOMPARE(host.countdownResets, 0);
    QVERIFY(!QFile::exists(settings.strServidor));
}

void tst_SettlementPass::cutoffIsOneCalendarYearBack_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QString>("cutoff");
    QTest::addColumn<QString>("dayAfter");
    QTest::newRow("29 February") << QDate(2028, 2, 29) << "2027-02-28"
                                 << "2027-03-01";
    QTest::newRow("1 March") << QDate(2028, 3, 1) << "2027-03-01"
                             << "2027-03-02";
    QTest::newRow("31 December") << QDate(2026, 12, 31) << "2025-12-31"
                                 << "2026-01-01";
}

void tst_SettlementPass::cutoffIsOneCalendarYearBack()
{
    QFETCH(QDate, today);
    QFETCH(QString, cutoff);
    QFETCH(QString, dayAfter);
    TestDatabase db;
    db.addCard(QStringLiteral("123"), QStringLiteral("456"));
    db.addMovement(QStringLiteral("123"), QStringLiteral("456"), "+", "10", cutoff);
    db.addMovement(QStringLiteral("123"), QStringLiteral("456"), "+", "7", dayAfter);
    RecordingHost host(QDateTime(today, QTime(9, 30)));
    QCOMPARE(runPass(db, host), PassOutcome::Completed);

    const QVector<QVariantMap> rows = db.postedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().value("Data").toString(), cutoff);
    QCOMPARE(amountText(rows.first().value("Pontos")), QStringLiteral("10"));
    QCOMPARE(host.lines().at(2), cardLine("456", cutoff));
}

QTEST_GUILESS_MAIN(tst_SettlementPass)
#include "tst_settlementpass.moc"
