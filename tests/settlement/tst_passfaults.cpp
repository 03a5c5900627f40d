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

const QString kHide = u"alter table PontosHistorico rename to Guardado"_s;
const QString kRestore = u"alter table Guardado rename to PontosHistorico"_s;
const QString kFailure = kStamp + u"   Falha! -> "_s;

/// Cards A, B and C (numbers 1, 2, 3); B's lapse leaves it negative today, so it takes two rows.
void addThreeCards(TestDatabase &db)
{
    db.addCard("A", "1", {"+ 10 2024-12-06"});
    db.addCard("B", "2", {"+ 100 2024-12-06", "- 80 2026-11-06"});
    db.addCard("C", "3", {"- 5 2024-12-06"});
}

QStringList terceiros(const TestDatabase &db)
{
    return posted(db, u"Terceiro"_s);
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
    QVERIFY2(lines.at(3).startsWith(kFailure), qPrintable(lines.at(3)));
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
        if (text.startsWith(cardLine("2")))
            QVERIFY(QSqlQuery(passConnection()).exec(kHide));
    };
    QCOMPARE(runPass(db, host), PassOutcome::Failed);
    QVERIFY(host.lines().last().startsWith(kFailure));

    // The rename went back with B's rollback; A stays settled, B is as it was.
    QCOMPARE(db.allRows().size(), 5);
    QCOMPARE(terceiros(db), QStringList{"A"});
    QCOMPARE(db.balance("B", "2", kCutoff), u"100.0000"_s);
    QCOMPARE(db.balance("B", "2", kToday), u"20.0000"_s);

    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(terceiros(db), (QStringList{"A", "B", "B", "C"}));
    QCOMPARE(db.balance("B", "2", kCutoff), u"0.0000"_s);
    QCOMPARE(db.balance("B", "2", kToday), u"0.0000"_s);
}

void tst_PassFaults::refusedPostingLeavesTheCardAndThePassGoesOn_data()
{
    QTest::addColumn<QString>("refused");
    QTest::addColumn<bool>("cardLineShown");
    QTest::newRow("the lapse") << u"new.Data = '2025-12-06'"_s << false;
    QTest::newRow("the lift") << u"new.Observa like '%era negativo'"_s << true;
}

void tst_PassFaults::refusedPostingLeavesTheCardAndThePassGoesOn()
{
    QFETCH(QString, refused);
    QFETCH(bool, cardLineShown);
    TestDatabase db;
    addThreeCards(db);
    db.exec(
        u"create trigger recusa before insert on PontosHistorico when new.LancManual = 1 "
        "and new.Terceiro = 'B' and %1 begin select raise(abort, 'recusado'); end"_s.arg(refused));
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QCOMPARE(host.text.count(u"Falha de Gravação no Histórico de Pontos\r\n"_s), 1);
    QCOMPARE(host.lines().contains(cardLine("2")), cardLineShown);
    QCOMPARE(host.countdownResets, 1);
    QCOMPARE(terceiros(db), (QStringList{"A", "C"}));

    db.exec(u"drop trigger recusa"_s);
    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(terceiros(db), (QStringList{"A", "C", "B", "B"}));
    QCOMPARE(db.balance("B", "2", kToday), u"0.0000"_s);
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
    QTest::addColumn<bool>("batched");
    for (quint32 seed = 1; seed <= 40; ++seed) {
        QTest::addRow("seed %u", seed) << seed << false;
        QTest::addRow("seed %u, batched", seed) << seed << true;
    }
}

void tst_PassFaults::interruptedPassThenCleanPassEqualsOneCleanPass()
{
    QFETCH(quint32, seed);
    QFETCH(bool, batched);
    QRandomGenerator rng(seed);
    auto pick = [&rng](const char *from) {
        const QStringList list = QString::fromUtf8(from).split(u'|');
        return list.at(rng.bounded(int(list.size())));
    };

    // Two databases filled alike: A is interrupted then passed again, B passed once.
    TestDatabase a;
    TestDatabase b;
    QList<QPair<QString, QString>> cards;
    for (const int cardCount = 1 + int(rng.bounded(8)); cards.size() < cardCount;) {
        const QPair<QString, QString> card{pick("C1|C2|O'Neil|D'Ávila"), pick("100|101|1'02|200")};
        if (!cards.contains(card))
            cards << card;
    }
    for (const auto &[cliente, numCartao] : cards) {
        QStringList movements;
        for (int m = int(rng.bounded(6)); m > 0; --m) {
            // A braced list draws in order: a seed always makes the same scheme.
            const QStringList f{pick("+|-"), pick("10|25|100|0.4|0.5|1.5|2.5|7.25"),
                                pick("2024-12-06|2025-12-05|2025-12-06|2025-12-06 15:30:00|"
                                     "2025-12-07|2026-11-06|2026-12-06|2026-12-06 08:00:00"),
                                rng.bounded(8) == 0 ? "F" : ""};
            movements << f[3] + f[0] + ' ' + f[1] + ' ' + f[2];
        }
        a.addCard(cliente, numCartao, movements);
        b.addCard(cliente, numCartao, movements);
    }

    // A preview lists exactly what the real pass then posts.
    ConnectionSettings settingsB = b.settings();
    RecordingHost preview;
    PassOptions options;
    options.dryRun = true;
    options.recordPostings = true;
    SettlementPass previewPass(settingsB, preview, options);
    QCOMPARE(previewPass.run(), PassOutcome::Completed);
    QVERIFY(b.postedRows().isEmpty());
    RecordingHost clean;
    options.dryRun = false;
    SettlementPass cleanPass(settingsB, clean, options);
    QCOMPARE(cleanPass.run(), PassOutcome::Completed);
    QCOMPARE(describe(previewPass.postings()), describe(cleanPass.postings()));

    // The fault: the history goes away during a yield (another connection) or inside a card
    // after its lapse (the pass's own connection, so it is rolled back with the card).
    const int settled = int(cleanPass.stats().cardsSettled);
    const int faultAt = 1 + int(rng.bounded(qMax(settled, 1)));
    RecordingHost interrupted;
    PassOptions interruptedOptions;
    auto insideACard = [faultAt, lines = 0](const QString &text) mutable {
        if (text.startsWith(u"    Cartão nº "_s) && ++lines == faultAt)
            QSqlQuery(passConnection()).exec(kHide);
    };
    if (batched) {
        // No yields inside the pass: the fault falls inside a batch of one to three cards,
        // whose whole cards before the failing one are kept.
        interrupted.yieldsDue = false;
        interruptedOptions.batchCards = 1 + int(rng.bounded(3));
        interrupted.onAppend = insideACard;
    } else if (settled == 0 || rng.bounded(2) == 0) {
        interrupted.onYield = [&a, faultAt](int n) {
            if (n == faultAt)
                a.exec(kHide);
        };
    } else {
        interrupted.onAppend = insideACard;
    }
    runPass(a, interrupted, interruptedOptions);
    if (a.db().tables().contains(u"Guardado"_s))
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
