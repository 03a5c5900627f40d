// SPDX-License-Identifier: MIT
// Cards settled in batches that share one transaction: a card that fails goes back alone, a
// pass that dies leaves whole cards only.
#include "PassTestUtil.h"
#include "db/Dialect.h"
#include "db/TransactionGuard.h"
#include "support/TestUtil.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// The rows the program posted, each "NumCartao Afecta Pontos Data Observa", sorted.
QStringList posted(const TestDatabase &db)
{
    QStringList out;
    for (const QVariantMap &row : db.postedRows()) {
        out << QStringList{row.value(u"NumCartao"_s).toString(), row.value(u"Afecta"_s).toString(),
                           amountText(row.value(u"Pontos"_s)),
                           row.value(u"Data"_s).toString().left(10),
                           row.value(u"Observa"_s).toString()}
                   .join(u' ');
    }
    out.sort();
    return out;
}

/// Seven cards that settle, numbers 1 to 7 in the card list's order, and one (8) that does
/// not. Cards 2, 4 and 7 hold an old deficit that is deeper today: each gets its refill at the
/// cutoff and the lift today.
void addCards(TestDatabase &db)
{
    db.addCard("A", "1", {"+ 10 2024-12-06"});
    db.addCard("B", "2", {"+ 10 2024-12-06", "- 30 2024-12-06", "- 10 2026-11-06"});
    db.addCard("C", "3", {"- 5 2024-12-06"});
    db.addCard("D", "4", {"- 30 2025-12-06", "- 10 2026-12-06"});
    db.addCard("E", "5", {"+ 7 2025-01-01"});
    db.addCard("F", "6", {"+ 2.5 2024-12-06"});
    db.addCard("G", "7", {"+ 50 2024-12-06", "- 60 2024-12-06", "- 5 2026-01-01"});
    db.addCard("Z", "8", {"+ 10 2026-06-01"});
}

/// What one clean pass posts for those cards, as posted() shows it.
QStringList cleanRows()
{
    TestDatabase twin;
    addCards(twin);
    RecordingHost host;
    runPass(twin, host);
    return posted(twin);
}

QStringList rowsOfCards(const QStringList &rows, const QStringList &cards)
{
    QStringList out;
    for (const QString &row : rows) {
        if (cards.contains(row.section(u' ', 0, 0)))
            out << row;
    }
    return out;
}

/// A pass that keeps its batches open: its host never yields, as the console's does not.
PassOptions batched(int cards, BalanceStrategy strategy = BalanceStrategy::PerCard)
{
    PassOptions options;
    options.strategy = strategy;
    options.connection = TestDatabase::connectionOptions();
    options.batchCards = cards;
    options.batchMilliseconds = 3600 * 1000; // the card count alone ends a batch here
    return options;
}

PassOptions batched(int cards, const QString &strategy)
{
    return batched(cards, strategy == u"set-based"_s ? BalanceStrategy::SetBased
                                                     : BalanceStrategy::PerCard);
}

const QStringList kStrategies{u"per-card"_s, u"set-based"_s};

} // namespace

class tst_BatchCommit : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void batchedPassPostsWhatOneCardAtATimePosts_data();
    void batchedPassPostsWhatOneCardAtATimePosts();
    void refusedPostingInsideABatchLeavesOnlyThatCard_data();
    void refusedPostingInsideABatchLeavesOnlyThatCard();
    void refusedRowAmongManyLeavesOnlyItsCard();
    void transactionEndedByTheServerLeavesOnlyThatCard_data();
    void transactionEndedByTheServerLeavesOnlyThatCard();
    void failuresOfABatchDoneAgainAreShownAndCountedOnce_data();
    void failuresOfABatchDoneAgainAreShownAndCountedOnce();
    void failureThatEndsThePassAfterTheServerEndedTheBatchCommitsNothing();
    void transactionProbeTellsAnOpenTransactionByItsCode();
    void connectionLostInsideABatchKeepsTheCommittedBatches_data();
    void connectionLostInsideABatchKeepsTheCommittedBatches();
    void killedPassLeavesWholeCardsAndARerunCompletes_data();
    void killedPassLeavesWholeCardsAndARerunCompletes();
    void windowYieldCommitsTheBatchFirst();

private:
    /// A clean pass after the failure settles what is left: the rows of one clean pass.
    void rerunSettlesTheRest(TestDatabase &db);

    QStringList m_clean;
};

void tst_BatchCommit::initTestCase()
{
    VELMORA_REQUIRE_BACKEND();
    m_clean = cleanRows();
    QCOMPARE(m_clean.size(), 10);
}

void tst_BatchCommit::rerunSettlesTheRest(TestDatabase &db)
{
    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(posted(db), m_clean);
}

void tst_BatchCommit::batchedPassPostsWhatOneCardAtATimePosts_data()
{
    QTest::addColumn<QString>("strategy");
    QTest::addColumn<int>("batchCards");
    for (const QString &strategy : kStrategies) {
        for (int cards : {1, 3, 500})
            QTest::addRow("%s, %d a batch", qPrintable(strategy), cards) << strategy << cards;
    }
}

void tst_BatchCommit::batchedPassPostsWhatOneCardAtATimePosts()
{
    QFETCH(QString, strategy);
    QFETCH(int, batchCards);
    TestDatabase db;
    QVERIFY(db.isValid());
    addCards(db);
    for (int pass = 1; pass <= 2; ++pass) {
        RecordingHost host;
        host.yieldsDue = false;
        SettlementPass settlement(db.settings(), host, host.manualClock,
                                  batched(batchCards, strategy));
        const PassOutcome outcome = settlement.run();
        QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
        QCOMPARE(outcome, PassOutcome::Completed);
        QCOMPARE(settlement.stats().cardsSettled, pass == 1 ? 7 : 0);
        QCOMPARE(posted(db), m_clean);
        // Only the yields around the pass: none inside it.
        QCOMPARE(host.yields, 2);
    }
}

void tst_BatchCommit::refusedPostingInsideABatchLeavesOnlyThatCard_data()
{
    QTest::addColumn<QString>("strategy");
    QTest::addColumn<QString>("refused");
    for (const QString &strategy : kStrategies) {
        const QByteArray name = strategy.toUtf8();
        QTest::addRow("%s, the refill", name.constData()) << strategy << u"{}Data = '2025-12-06'"_s;
        QTest::addRow("%s, the lift", name.constData())
            << strategy << u"{}Observa like '%era negativo'"_s;
    }
}

void tst_BatchCommit::refusedPostingInsideABatchLeavesOnlyThatCard()
{
    QFETCH(QString, strategy);
    QFETCH(QString, refused);
    TestDatabase db;
    QVERIFY(db.isValid());
    addCards(db);
    db.refusePostings(u"B"_s, refused);

    RecordingHost host;
    host.yieldsDue = false;
    PassOptions options = batched(500, strategy); // every card in one batch
    options.recordPostings = true;
    SettlementPass settlement(db.settings(), host, host.manualClock, options);
    QCOMPARE(settlement.run(), PassOutcome::Completed);
    QCOMPARE(host.text.count(u"Falha de Gravação no Histórico de Pontos\r\n"_s), 1);
    QVERIFY(!host.lines().contains(cardLine("2")));
    QCOMPARE(host.countdownResets, 1);
    // B as it was; the cards before and after it in the same batch are committed.
    const QStringList others{"1", "3", "4", "5", "6", "7"};
    QCOMPARE(posted(db), rowsOfCards(m_clean, others));
    QCOMPARE(settlement.stats().cardsSettled, 6);
    QCOMPARE(settlement.stats().rowsPosted, 8);
    QCOMPARE(settlement.postings().size(), 8);
    QCOMPARE(settlement.stats().rowsFailed, 1);
    // The points of the rows committed, B's refused card not among them.
    QCOMPARE(settlement.stats().pointsLapsed.toText(), u"19"_s);
    QCOMPARE(settlement.stats().pointsLifted.toText(), u"60"_s);

    db.allowPostings();
    rerunSettlesTheRest(db);
}

void tst_BatchCommit::refusedRowAmongManyLeavesOnlyItsCard()
{
    // 300 cards of two rows each in one batch: more rows than one statement writes where the
    // server builds them. Card 260's refill is refused, in the batch's second statement.
    TestDatabase db;
    QVERIFY(db.isValid());
    for (int i = 1; i <= 300; ++i)
        db.addCard(u"T%1"_s.arg(i), QString::number(1000 + i),
                   {u"- 30.5 2025-12-06"_s, u"- 10.0001 2026-12-06"_s});
    db.refusePostings(u"T260"_s, u"{}Data = '2025-12-06'"_s);
    RecordingHost host;
    host.yieldsDue = false;
    SettlementPass settlement(db.settings(), host, host.manualClock,
                              batched(500, BalanceStrategy::SetBased));
    QCOMPARE(settlement.run(), PassOutcome::Completed);
    QCOMPARE(host.text.count(u"    cartão nº 1260 (cliente T260) -> "_s), 1);
    QCOMPARE(settlement.stats().cardsSettled, 299);
    QCOMPARE(db.postedRows().size(), 598);
    db.allowPostings();
    for (int pass = 0; pass < 2; ++pass) { // the rest, then nothing
        RecordingHost next;
        QCOMPARE(runPass(db, next), PassOutcome::Completed);
        QCOMPARE(db.postedRows().size(), 600);
    }
    QCOMPARE(db.balance(u"T260"_s, u"1260"_s, kToday), db.balance(u"T1"_s, u"1001"_s, kToday));
}

void tst_BatchCommit::transactionEndedByTheServerLeavesOnlyThatCard_data()
{
    addStrategyRows();
}

void tst_BatchCommit::transactionEndedByTheServerLeavesOnlyThatCard()
{
    QFETCH(BalanceStrategy, strategy);
    TestDatabase db;
    QVERIFY(db.isValid());
    addCards(db);
    db.refusePostings(u"E"_s, u"{}Data = '2025-12-06'"_s, true);

    // Batches of three: the server's rollback at card 5's lapse takes card 4 with it, in the
    // same batch. The batch is settled again without card 5, and the pass goes on.
    RecordingHost host;
    host.yieldsDue = false;
    SettlementPass settlement(db.settings(), host, host.manualClock, batched(3, strategy));
    QCOMPARE(settlement.run(), PassOutcome::Completed);
    QVERIFY2(!host.text.contains(u"Falha!"_s), qPrintable(host.text));
    QCOMPARE(host.text.count(u"Falha de Gravação no Histórico de Pontos\r\n"_s), 1);
    QCOMPARE(host.lines().count(cardLine("4")), 1);
    QVERIFY(!host.lines().contains(cardLine("5")));
    QCOMPARE(posted(db), rowsOfCards(m_clean, {"1", "2", "3", "4", "6", "7"}));
    QCOMPARE(settlement.stats().cardsSettled, 6);
    QCOMPARE(settlement.stats().rowsFailed, 1);

    db.allowPostings();
    rerunSettlesTheRest(db);
}

void tst_BatchCommit::failuresOfABatchDoneAgainAreShownAndCountedOnce_data()
{
    QTest::addColumn<BalanceStrategy>("strategy");
    QTest::addColumn<bool>("implicit");
    for (const bool implicit : {false, true}) {
        const char *mode = implicit ? ", implicit transactions" : "";
        QTest::addRow("per card%s", mode) << BalanceStrategy::PerCard << implicit;
        QTest::addRow("set-based%s", mode) << BalanceStrategy::SetBased << implicit;
    }
}

void tst_BatchCommit::failuresOfABatchDoneAgainAreShownAndCountedOnce()
{
    QFETCH(BalanceStrategy, strategy);
    QFETCH(bool, implicit);
    if (implicit && !TestDatabase::isServer())
        QSKIP("SQLite has no implicit transactions");
    TestDatabase db;
    QVERIFY(db.isValid());
    addCards(db);
    // Card 45 sorts between D and E and cannot be read: 10^15 points, whose sum overflows and,
    // on the test server, ends the transaction, undoing card 4. In the batch of cards 4, 45 and
    // 5, it is named; E's refusal ends the transaction again, and the batch is done again.
    db.addCard("X", "45", {"+ 500000000000000 2024-12-06", "+ 500000000000000 2024-12-07"});
    db.refusePostings(u"E"_s, u"{}Data = '2025-12-06'"_s, true);
    // Each batch, after the driver's begin, as Microsoft's drivers run manual commit; the
    // driver's commit turns autocommit back on, which ends the mode.
    if (implicit) {
        DbConnection::setStatementObserver([](const QSqlQuery *q, const QVariantList &) {
            const bool begins = q && q->lastQuery().startsWith(u"insert into #"_s);
            QSqlQuery set(passConnection());
            set.setForwardOnly(true);
            if (begins || !q)
                QVERIFY(set.exec(u"set implicit_transactions "_s + (begins ? u"on"_s : u"off"_s)));
        });
    }
    RecordingHost host;
    host.yieldsDue = false;
    SettlementPass settlement(db.settings(), host, host.manualClock, batched(3, strategy));
    const PassOutcome outcome = settlement.run();
    DbConnection::setStatementObserver({});
    // Whatever the driver: no card is listed or counted unless its rows are in the history.
    QStringList listed;
    for (const QString &line : host.lines()) {
        if (line.endsWith(u" saldado até ao dia "_s + kCutoff))
            listed << line.section(u' ', 6, 6);
    }
    QCOMPARE(posted(db), rowsOfCards(m_clean, listed));
    QCOMPARE(settlement.stats().cardsSettled, listed.size());
    if (implicit) {
        // This driver's own commands mix with the mode: the stand-in may end the pass.
        db.allowPostings();
        rerunSettlesTheRest(db);
        return;
    }
    QCOMPARE(outcome, PassOutcome::Completed);
    QCOMPARE(host.lines().filter(u"Falha no cartão nº 45 -> "_s).size(), 1);
    QCOMPARE(host.text.count(u"Falha de Gravação no Histórico de Pontos\r\n"_s), 1);
    QCOMPARE(settlement.stats().cardsFailed, 1);
    QCOMPARE(settlement.stats().rowsFailed, 1);
    QCOMPARE(listed, (QStringList{"1", "2", "3", "4", "6", "7"}));
}

void tst_BatchCommit::failureThatEndsThePassAfterTheServerEndedTheBatchCommitsNothing()
{
    TestDatabase db;
    QVERIFY(db.isValid());
    addCards(db);
    // Before card 3 is read, the server ends the batch's transaction, as XACT_ABORT does on a
    // failure, which takes cards 1 and 2 with it; then the history goes out of reach, so that
    // card 3's sums fail whatever the card and the pass ends. On the server, the drop runs as
    // Microsoft's drivers run manual commit: in a transaction that it opens, which the pass
    // must roll back rather than commit.
    const BeforeStatement endTheBatch(
        [](const QSqlQuery *q, const QVariantList &v) {
            return q && q->lastQuery().contains(u"sum(Pontos)"_s) && v.contains(u"3"_s);
        },
        [] {
            QSqlQuery end(passConnection());
            end.setForwardOnly(true);
            QVERIFY2(end.exec(u"rollback"_s), qPrintable(end.lastError().text()));
            if (TestDatabase::isServer()) {
                QVERIFY(end.exec(u"set implicit_transactions on"_s));
                QVERIFY(breakHistoryOnPassConnection());
            } else {
                QVERIFY(end.exec(u"alter table PontosHistorico rename to Guardado"_s));
            }
        });
    RecordingHost host;
    host.yieldsDue = false;
    SettlementPass settlement(db.settings(), host, host.manualClock, batched(3));
    const PassOutcome outcome = settlement.run();
    if (!TestDatabase::isServer())
        db.exec(u"alter table Guardado rename to PontosHistorico"_s);
    QVERIFY2(outcome == PassOutcome::Failed, qPrintable(host.text));
    QVERIFY2(host.lines().last().startsWith(kStamp + u"   Falha! -> "_s), qPrintable(host.text));
    // Nothing is listed or counted as settled that the database does not hold.
    QVERIFY2(!host.lines().contains(cardLine("1")), qPrintable(host.text));
    QCOMPARE(settlement.stats().cardsSettled, 0);
    QCOMPARE(posted(db), QStringList());
    rerunSettlesTheRest(db);
}

void tst_BatchCommit::transactionProbeTellsAnOpenTransactionByItsCode()
{
    TestDatabase db;
    QVERIFY(db.isValid());
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(connectTo(db, cn, host));
    const Dialect &dialect = cn->dialect();
    const auto probe = [&](bool *open) {
        QString error;
        const bool told = dialect.transactionSteps().stillOpen(*cn, open, &error);
        if (!told)
            qWarning("%s", qPrintable(error));
        return told;
    };
    bool open = true;
    QVERIFY(probe(&open));
    QVERIFY(!open);
    {
        TransactionGuard transaction(*cn, Dialect::Work::Writing);
        QVERIFY(transaction.begun());
        QVERIFY(probe(&open));
        QVERIFY(open);
        if (!TestDatabase::isServer()) {
            // A BEGIN refused for another reason than an open transaction (busy, locked) found
            // none open: the answer comes from SQLite's code, never from its English text.
            DbConnection::setErrorCodeFilter([](const QSqlQuery &q, QList<qint64> *codes) {
                if (q.lastQuery() == u"begin"_s)
                    *codes = {5}; // SQLITE_BUSY
            });
            const bool told = probe(&open);
            DbConnection::setErrorCodeFilter({});
            QVERIFY(told);
            QVERIFY(!open);
        }
        QString error;
        QVERIFY(cn->run(TestDatabase::isServer() ? u"if @@trancount > 0 rollback transaction"_s
                                                 : u"rollback"_s,
                        &error));
        // Ended by the server: told so, and the probe leaves none open behind it.
        QVERIFY(probe(&open));
        QVERIFY(!open);
        QVERIFY(probe(&open));
        QVERIFY(!open);
    }
}

void tst_BatchCommit::connectionLostInsideABatchKeepsTheCommittedBatches_data()
{
    QTest::addColumn<QString>("strategy");
    QTest::addColumn<bool>("insideACard");
    for (const QString &strategy : kStrategies) {
        const QByteArray name = strategy.toUtf8();
        QTest::addRow("%s, at the batch's rows", name.constData()) << strategy << true;
        QTest::addRow("%s, before the commit", name.constData()) << strategy << false;
    }
}

namespace {
/// In the second batch of three: before the first row of card 4 is posted (inside card 4 on
/// the per-card walk, at the batch's statement of several rows set-wise), or at its commit,
/// once cards 4 to 6 are settled.
BeforeStatement::Match inTheSecondBatch(bool atItsRows)
{
    if (atItsRows) {
        // On a server, set-wise: the statement that builds the batch's rows from its numbers.
        return [builds = 0](const QSqlQuery *q, const QVariantList &v) mutable {
            return postsFor(q, v, u"D"_s) ||
                   (q && q->lastQuery().contains(u") select k."_s) && ++builds == 2);
        };
    }
    return nthCommit(2);
}
} // namespace

void tst_BatchCommit::connectionLostInsideABatchKeepsTheCommittedBatches()
{
    QFETCH(QString, strategy);
    QFETCH(bool, insideACard);
    TestDatabase db;
    QVERIFY(db.isValid());
    addCards(db);
    RecordingHost host;
    host.yieldsDue = false;
    // The first batch stays, the second goes back whole, and neither the report nor the
    // counts list its cards.
    const BeforeStatement cut(inTheSecondBatch(insideACard), cutPassConnection);
    PassOptions options = batched(3, strategy);
    options.recordPostings = true;
    SettlementPass settlement(db.settings(), host, host.manualClock, options);
    QCOMPARE(settlement.run(), PassOutcome::Failed);
    QVERIFY(host.lines().last().startsWith(kStamp + u"   Falha! -> "_s));
    QCOMPARE(host.lines().filter(u"    Cartão nº "_s),
             (QStringList{cardLine("1"), cardLine("2"), cardLine("3")}));
    QCOMPARE(posted(db), rowsOfCards(m_clean, {"1", "2", "3"}));
    QCOMPARE(settlement.stats().cardsSettled, 3);
    QCOMPARE(settlement.stats().rowsPosted, 4);
    QCOMPARE(settlement.postings().size(), 4);

    rerunSettlesTheRest(db);
}

void tst_BatchCommit::killedPassLeavesWholeCardsAndARerunCompletes_data()
{
    QTest::addColumn<QString>("strategy");
    QTest::addColumn<bool>("insideACard");
    for (const QString &strategy : kStrategies) {
        const QByteArray name = strategy.toUtf8();
        QTest::addRow("%s, before the commit", name.constData()) << strategy << false;
        QTest::addRow("%s, at the batch's rows", name.constData()) << strategy << true;
    }
}

void tst_BatchCommit::killedPassLeavesWholeCardsAndARerunCompletes()
{
    QFETCH(QString, strategy);
    QFETCH(bool, insideACard);
    TestDatabase db;
    QVERIFY(db.isValid());
    addCards(db);

    // The child settles in batches of three and kills itself inside the second batch, at its
    // rows or at its commit. Either way the first batch (cards 1 to 3) was committed and the
    // second was not.
    // The test's connection cannot cross a fork: closed before, opened again after.
    db.db().close();
    std::fflush(nullptr);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        RecordingHost host;
        host.yieldsDue = false;
        const BeforeStatement kill(inTheSecondBatch(insideACard), [] { ::raise(SIGKILL); });
        SettlementPass(db.settings(), host, host.manualClock, batched(3, strategy)).run();
        ::_exit(3); // not killed: the parent sees the wrong status
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(db.db().open());
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
             qPrintable(u"child status %1"_s.arg(status)));

    QCOMPARE(posted(db), rowsOfCards(m_clean, {"1", "2", "3"}));
    rerunSettlesTheRest(db);
    if (QTest::currentTestFailed())
        return;
    RecordingHost last;
    QCOMPARE(runPass(db, last), PassOutcome::Completed);
    QCOMPARE(posted(db), m_clean);
}

void tst_BatchCommit::windowYieldCommitsTheBatchFirst()
{
    // A host whose yields run: the batch is committed before each, so another connection
    // reading during the yield sees every card settled so far.
    TestDatabase db;
    QVERIFY(db.isValid());
    addCards(db);
    RecordingHost host;
    QStringList seen;
    host.onYield = [&](int) {
        seen << QString::number(posted(db).size());
    };
    QCOMPARE(SettlementPass(db.settings(), host, host.manualClock, batched(500)).run(),
             PassOutcome::Completed);
    QCOMPARE(seen, (QStringList{"0", "1", "3", "4", "6", "7", "8", "10", "10"}));
}

QTEST_GUILESS_MAIN(tst_BatchCommit)
#include "tst_batchcommit.moc"
