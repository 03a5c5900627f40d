// SPDX-License-Identifier: MIT
#include "PassTestUtil.h"

#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTest>

class tst_PassFaults : public QObject
{
    Q_OBJECT
private slots:
    void historyLostDuringAYieldEndsThePass();
    void failureInsideACardLeavesThatCardAsItWas();
    void refusedPostingLeavesTheCardAndThePassGoesOn_data();
    void refusedPostingLeavesTheCardAndThePassGoesOn();
    void stopEndsThePassAtACardBoundary();
    void interruptedPassThenCleanPassEqualsOneCleanPass_data();
    void interruptedPassThenCleanPassEqualsOneCleanPass();
};

namespace {

const QString kHide = QStringLiteral("alter table PontosHistorico rename to Guardado");
const QString kRestore = QStringLiteral("alter table Guardado rename to PontosHistorico");

/// Cards A, B and C (numbers 1, 2, 3); B's lapse leaves it negative today, so it takes two rows.
void addThreeCards(TestDatabase &db)
{
    for (const char *c : {"A", "B", "C"})
        db.addCard(QString::fromLatin1(c), QString::number(c[0] - 'A' + 1));
    db.addMovement("A", "1", "+", "10", kTwoYears);
    db.addMovement("B", "2", "+", "100", kTwoYears);
    db.addMovement("B", "2", "-", "80", kLastMonth);
    db.addMovement("C", "3", "-", "5", kTwoYears);
}

QStringList terceiros(const TestDatabase &db)
{
    QStringList out;
    for (const QVariantMap &row : db.postedRows())
        out << row.value("Terceiro").toString();
    return out;
}

QStringList describe(const QVector<HistoryEntry> &entries)
{
    QStringList out;
    for (const HistoryEntry &e : entries)
        out << e.Terceiro + '|' + e.NumCartao + '|' + e.Data.toString(Qt::ISODate) + '|' +
                   e.Afecta + e.Pontos.toText() + '|' + e.ValorIncid.toText() + '|' + e.Observa;
    return out;
}

} // namespace

void tst_PassFaults::historyLostDuringAYieldEndsThePass()
{
    TestDatabase db;
    addThreeCards(db);
    RecordingHost host;
    // Yield 1 follows the busy display; yield 2 follows card A.
    host.onYield = [&db](int n) {
        if (n == 2)
            db.exec(kHide);
    };
    QCOMPARE(runPass(db, host), PassOutcome::Failed);

    const QStringList lines = host.lines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(2), cardLine("1"));
    QVERIFY2(lines.at(3).startsWith(kStamp + QStringLiteral("   Falha! -> ")),
             qPrintable(lines.at(3)));
    QCOMPARE(host.calls.mid(host.calls.size() - 3), (QStringList{"cursor:0", "append", "caret"}));
    QVERIFY(host.statusVisible);
    QCOMPARE(host.countdownResets, 0);

    db.exec(kRestore);
    QCOMPARE(terceiros(db), QStringList{"A"});
    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(terceiros(db), (QStringList{"A", "B", "B", "C"}));
}

void tst_PassFaults::failureInsideACardLeavesThatCardAsItWas()
{
    TestDatabase db;
    addThreeCards(db);
    RecordingHost host;
    // Inside B's transaction, between its lapse and the reading of its current balance.
    host.onAppend = [](const QString &text) {
        if (text.startsWith(cardLine("2"))) {
            QSqlQuery query(passConnection());
            QVERIFY(query.exec(kHide));
        }
    };
    QCOMPARE(runPass(db, host), PassOutcome::Failed);
    QVERIFY(host.lines().last().startsWith(kStamp + QStringLiteral("   Falha! -> ")));

    // The rename went back with B's rollback; A stays settled, B is as it was.
    QCOMPARE(db.allRows().size(), 5);
    QCOMPARE(terceiros(db), QStringList{"A"});
    QCOMPARE(db.balance("B", "2", kCutoff), QStringLiteral("100.0000"));
    QCOMPARE(db.balance("B", "2", kToday), QStringLiteral("20.0000"));

    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(terceiros(db), (QStringList{"A", "B", "B", "C"}));
    QCOMPARE(db.balance("B", "2", kCutoff), QStringLiteral("0.0000"));
    QCOMPARE(db.balance("B", "2", kToday), QStringLiteral("0.0000"));
}

void tst_PassFaults::refusedPostingLeavesTheCardAndThePassGoesOn_data()
{
    QTest::addColumn<QString>("refused");
    QTest::addColumn<bool>("cardLineShown");
    QTest::newRow("the lapse") << QStringLiteral("new.Data = '2025-12-06'") << false;
    QTest::newRow("the lift") << QStringLiteral("new.Observa like '%era negativo'") << true;
}

void tst_PassFaults::refusedPostingLeavesTheCardAndThePassGoesOn()
{
    QFETCH(QString, refused);
    QFETCH(bool, cardLineShown);
    TestDatabase db;
    addThreeCards(db);
    db.exec(QStringLiteral("create trigger recusa before insert on PontosHistorico "
                           "when new.LancManual = 1 and new.Terceiro = 'B' and %1 "
                           "begin select raise(abort, 'recusado'); end")
                .arg(refused));
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QCOMPARE(host.text.count(QStringLiteral("Falha de Gravação no Histórico de Pontos\r\n")), 1);
    QCOMPARE(host.lines().contains(cardLine("2")), cardLineShown);
    QCOMPARE(host.countdownResets, 1);
    QCOMPARE(terceiros(db), (QStringList{"A", "C"}));

    db.exec(QStringLiteral("drop trigger recusa"));
    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(terceiros(db), (QStringList{"A", "C", "B", "B"}));
    QCOMPARE(db.balance("B", "2", kToday), QStringLiteral("0.0000"));
}

void tst_PassFaults::stopEndsThePassAtACardBoundary()
{
    TestDatabase db;
    addThreeCards(db);
    RecordingHost host;
    host.onYield = [&host](int n) {
        if (n == 3) // after card B, both of its rows
            host.stop = true;
    };
    QCOMPARE(runPass(db, host), PassOutcome::Stopped);
    QCOMPARE(terceiros(db), (QStringList{"A", "B", "B"}));
    QCOMPARE(host.lines().last(), cardLine("2"));
    QVERIFY(!host.waitCursor);
    QCOMPARE(host.countdownResets, 0);
}

void tst_PassFaults::interruptedPassThenCleanPassEqualsOneCleanPass_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 40; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

void tst_PassFaults::interruptedPassThenCleanPassEqualsOneCleanPass()
{
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);
    auto pick = [&rng](const QStringList &from) {
        return from.at(rng.bounded(int(from.size())));
    };
    const QStringList clientes{"C1", "C2", "O'Neil", "D'Ávila"};
    const QStringList numeros{"100", "101", "1'02", "200"};
    const QStringList pontos{"10", "25", "100", "0.4", "0.5", "1.5", "2.5", "7.25"};
    const QStringList datas{"2024-12-06", "2025-12-05", "2025-12-06", "2025-12-06 15:30:00",
                            "2025-12-07", "2026-11-06", "2026-12-06", "2026-12-06 08:00:00"};

    // Two databases filled alike: A is interrupted then passed again, B passed once.
    TestDatabase a;
    TestDatabase b;
    QList<QPair<QString, QString>> cards;
    const int cardCount = 1 + int(rng.bounded(8));
    while (cards.size() < cardCount) {
        const QPair<QString, QString> card{pick(clientes), pick(numeros)};
        if (!cards.contains(card))
            cards << card;
    }
    for (const auto &[cliente, numCartao] : cards) {
        a.addCard(cliente, numCartao);
        b.addCard(cliente, numCartao);
        for (int m = int(rng.bounded(6)); m > 0; --m) {
            const QStringList row{pick({"+", "-"}), pick(pontos), pick(datas),
                                  rng.bounded(8) == 0 ? "F" : "C"};
            a.addMovement(cliente, numCartao, row[0], row[1], row[2], row[3]);
            b.addMovement(cliente, numCartao, row[0], row[1], row[2], row[3]);
        }
    }

    // A preview lists exactly what the real pass then posts.
    RecordingHost preview;
    ConnectionSettings settingsB = b.settings();
    PassOptions dryRun;
    dryRun.dryRun = true;
    dryRun.recordPostings = true;
    SettlementPass previewPass(settingsB, preview, dryRun);
    QCOMPARE(previewPass.run(), PassOutcome::Completed);
    QVERIFY(b.postedRows().isEmpty());
    RecordingHost clean;
    PassOptions recorded;
    recorded.recordPostings = true;
    SettlementPass cleanPass(settingsB, clean, recorded);
    QCOMPARE(cleanPass.run(), PassOutcome::Completed);
    QCOMPARE(describe(previewPass.postings()), describe(cleanPass.postings()));

    // The fault: the history goes away during a yield (another connection) or inside a card
    // after its lapse (the pass's own connection, so it is rolled back with the card).
    const int settled = int(cleanPass.stats().cardsSettled);
    const int faultAt = 1 + int(rng.bounded(qMax(settled, 1)));
    RecordingHost interrupted;
    if (settled == 0 || rng.bounded(2) == 0) {
        interrupted.onYield = [&a, faultAt](int n) {
            if (n == faultAt)
                a.exec(kHide);
        };
    } else {
        interrupted.onAppend = [faultAt, lines = 0](const QString &text) mutable {
            if (text.startsWith(QStringLiteral("    Cartão nº ")) && ++lines == faultAt)
                QSqlQuery(passConnection()).exec(kHide);
        };
    }
    runPass(a, interrupted);
    if (a.db().tables().contains(QStringLiteral("Guardado")))
        a.exec(kRestore);
    RecordingHost again;
    QCOMPARE(runPass(a, again), PassOutcome::Completed);

    for (const auto &[cliente, numCartao] : cards) {
        for (const QString &day : {kCutoff, kToday})
            QCOMPARE(a.balance(cliente, numCartao, day), b.balance(cliente, numCartao, day));
    }
    QCOMPARE(postedSummaries(a), postedSummaries(b));
    RecordingHost last;
    runPass(a, last);
    QCOMPARE(postedSummaries(a), postedSummaries(b));
}

QTEST_GUILESS_MAIN(tst_PassFaults)
#include "tst_passfaults.moc"
