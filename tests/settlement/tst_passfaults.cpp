// SPDX-License-Identifier: MIT
#include "PassTestUtil.h"
#include "settlement/ExpiryForecast.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <new>
#include <optional>

class tst_PassFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { VELMORA_REQUIRE_BACKEND(); }
    void historyLostDuringAYieldEndsThePass();
    void connectionLostInsideACardLeavesThatCardAsItWas();
    void refusedPostingLeavesTheCardAndThePassGoesOn_data();
    void refusedPostingLeavesTheCardAndThePassGoesOn();
    void refusalOfTheWholeDatabaseEndsThePass_data();
    void refusalOfTheWholeDatabaseEndsThePass();
    void historyWithoutAColumnEndsThePassNamingIt_data();
    void historyWithoutAColumnEndsThePassNamingIt();
    void cardThatCannotBeReadIsLeftAndThePassGoesOn_data();
    void cardThatCannotBeReadIsLeftAndThePassGoesOn();
    void cardReadAloneInTheSetWiseWalkKeepsItsRangeWhenTheWindowYields();
    void stopEndsThePassAtACardBoundary();
    void exceptionFromBelowIsAFailureInPortugueseAndLeavesWholeCards();
    void interruptedPassThenCleanPassEqualsOneCleanPass_data();
    void interruptedPassThenCleanPassEqualsOneCleanPass();
};

namespace {

const QString kFailure = kStamp + u"   Falha! -> "_s;

/// Cards A, B and C (numbers 1, 2, 3); B's old deficit is deeper today, so it takes two rows:
/// the refill at the cutoff and the lift today.
void addThreeCards(TestDatabase &db)
{
    db.addCard("A", "1", {"+ 10 2024-12-06"});
    db.addCard("B", "2", {"+ 10 2024-12-06", "- 30 2024-12-06", "- 10 2026-11-06"});
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
    // Yield 1 follows the busy display; yield 2 follows card A. On a server another connection
    // then holds the history locked: the pass's next statement runs into its command timeout.
    host.onYield = [&db](int n) {
        if (n == 2)
            db.breakHistory();
    };
    QCOMPARE(runPass(db, host), PassOutcome::Failed);
    const QStringList lines = host.lines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(2), cardLine("1"));
    QVERIFY2(lines.at(3).startsWith(kFailure), qPrintable(lines.at(3)));
    QCOMPARE(host.calls.mid(host.calls.size() - 3), (QStringList{"cursor:0", "append", "caret"}));
    QVERIFY(host.statusVisible);
    QCOMPARE(host.countdownResets, 0);

    db.restoreHistory();
    QCOMPARE(terceiros(db), QStringList{"A"}); // card A whole, the others untouched
    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(terceiros(db), (QStringList{"A", "B", "B", "C"}));
}

void tst_PassFaults::connectionLostInsideACardLeavesThatCardAsItWas()
{
    TestDatabase db;
    addThreeCards(db);
    RecordingHost host;
    // Inside B's transaction, between its refill and its lift.
    const BeforeStatement cut(
        [](const QSqlQuery *q, const QVariantList &v) { return postsFor(q, v, u"B"_s, true); },
        cutPassConnection);
    QCOMPARE(runPass(db, host), PassOutcome::Failed);
    // One failure line, with the driver's own words: the lift was not refused.
    QVERIFY2(host.lines().last().startsWith(kFailure), qPrintable(host.text));
    QVERIFY(!host.text.contains(u"Falha de Gravação"_s));
    QVERIFY(!host.lines().contains(cardLine("2")));

    // A stays settled, B is as it was.
    QCOMPARE(db.allRows().size(), 6);
    QCOMPARE(terceiros(db), QStringList{"A"});
    QCOMPARE(db.balance("B", "2", kCutoff), u"-20.0000"_s);
    QCOMPARE(db.balance("B", "2", kToday), u"-30.0000"_s);

    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(terceiros(db), (QStringList{"A", "B", "B", "C"}));
    QCOMPARE(db.balance("B", "2", kCutoff), u"0.0000"_s);
    QCOMPARE(db.balance("B", "2", kToday), u"0.0000"_s);
}

void tst_PassFaults::refusedPostingLeavesTheCardAndThePassGoesOn_data()
{
    QTest::addColumn<QString>("refused");
    QTest::newRow("the refill") << u"{}Data = '2025-12-06'"_s;
    QTest::newRow("the lift") << u"{}Observa like '%era negativo'"_s;
}

void tst_PassFaults::refusedPostingLeavesTheCardAndThePassGoesOn()
{
    QFETCH(QString, refused);
    TestDatabase db;
    addThreeCards(db);
    db.refusePostings(u"B"_s, refused);
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QCOMPARE(host.text.count(u"Falha de Gravação no Histórico de Pontos\r\n"_s), 1);
    // Then the card and the driver's cause, once.
    const QStringList lines = host.lines();
    const qsizetype at = lines.indexOf(u"Falha de Gravação no Histórico de Pontos"_s);
    QVERIFY2(lines.value(at + 1).startsWith(u"    cartão nº 2 (cliente B) -> "_s) &&
                 lines.value(at + 1).size() > 32,
             qPrintable(host.text));
    QCOMPARE(host.text.count(u"cartão nº 2 "_s), 1);
    QVERIFY(!host.lines().contains(cardLine("2"))); // left as it was: not listed as settled
    QCOMPARE(host.countdownResets, 1);
    QCOMPARE(terceiros(db), (QStringList{"A", "C"}));

    db.allowPostings();
    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(terceiros(db), (QStringList{"A", "C", "B", "B"}));
    QCOMPARE(db.balance("B", "2", kToday), u"0.0000"_s);
}

void tst_PassFaults::refusalOfTheWholeDatabaseEndsThePass_data()
{
    QTest::addColumn<qint64>("code"); // the native error code the refusal comes with
    QTest::addColumn<QString>("cause");
    QTest::addColumn<BalanceStrategy>("strategy");
    const auto add = [](const char *name, qint64 code, const QString &cause) {
        QTest::addRow("%s, per card", name) << code << cause << BalanceStrategy::PerCard;
        QTest::addRow("%s, set-based", name) << code << cause << BalanceStrategy::SetBased;
    };
    const QString readOnly = u"só permite leitura"_s;
    if (TestDatabase::isServer()) {
        add("3906 read-only", 3906, readOnly);
        add("229 permission denied", 229, u"o utilizador não tem permissão para gravar"_s);
        add("9002 log full", 9002, u"o registo de transacções está cheio"_s);
        add("1105 filegroup full", 1105, u"o grupo de ficheiros está cheio"_s);
    } else {
        add("SQLITE_READONLY", 8, readOnly);
        add("SQLITE_READONLY_DIRECTORY", 8 | (6 << 8), readOnly);
        add("SQLITE_FULL", 13, u"o disco ou a base de dados está cheio"_s);
        add("SQLITE_PERM", 3, u"sem permissão de acesso"_s);
    }
}

void tst_PassFaults::refusalOfTheWholeDatabaseEndsThePass()
{
    QFETCH(qint64, code);
    QFETCH(QString, cause);
    QFETCH(BalanceStrategy, strategy);
    TestDatabase db;
    addThreeCards(db);
    // B's postings truly fail, with the code of a refusal whatever the card, which the test
    // server cannot be brought to give.
    db.refusePostings(u"B"_s, u"{}Afecta in ('+', '-')"_s);
    DbConnection::setErrorCodeFilter([code](const QSqlQuery &failed, QList<qint64> *codes) {
        if (failed.lastQuery().startsWith(u"insert"_s))
            *codes = {code};
    });
    RecordingHost host;
    PassOptions options;
    options.strategy = strategy;
    const PassOutcome outcome = runPass(db, host, options);
    DbConnection::setErrorCodeFilter({});
    QCOMPARE(outcome, PassOutcome::Failed);
    // One refused posting, then the failure, which names the database and the cause.
    QCOMPARE(host.text.count(u"Falha de Gravação no Histórico de Pontos\r\n"_s), 1);
    const ConnectionSettings settings = db.settings();
    const QString database = TestDatabase::isServer()
                                 ? settings.strBaseDados + u" no servidor "_s + settings.strServidor
                                 : QFileInfo(db.path()).absoluteFilePath();
    const QString failure = host.lines().constLast();
    QVERIFY2(failure.startsWith(kFailure + u"a base de dados "_s + database +
                                u" não aceita gravações: "_s + cause + u" ("_s),
             qPrintable(host.text));
    QCOMPARE(host.countdownResets, 0);
    // A, settled before in the same batch, stays whole; C was never reached.
    QCOMPARE(terceiros(db), QStringList{"A"});
}

void tst_PassFaults::historyWithoutAColumnEndsThePassNamingIt_data()
{
    QTest::addColumn<BalanceStrategy>("strategy");
    QTest::addColumn<bool>("dryRun");
    QTest::newRow("per card") << BalanceStrategy::PerCard << false;
    QTest::newRow("set-based") << BalanceStrategy::SetBased << false;
    QTest::newRow("dry run") << BalanceStrategy::PerCard << true;
}

void tst_PassFaults::historyWithoutAColumnEndsThePassNamingIt()
{
    // A scheme's own history, made without two of the columns a row is written with: the pass
    // (and the dry run that checks a database for it) ends before its first card, naming them,
    // rather than refusing every card.
    QFETCH(BalanceStrategy, strategy);
    QFETCH(bool, dryRun);
    TestDatabase db;
    addThreeCards(db);
    db.exec(u"alter table PontosHistorico drop column DataSys"_s);
    db.exec(u"alter table PontosHistorico drop column Numero"_s);
    RecordingHost host;
    PassOptions options;
    options.strategy = strategy;
    options.dryRun = dryRun;
    QCOMPARE(runPass(db, host, options), PassOutcome::Failed);
    QVERIFY2(host.lines().constLast().startsWith(kFailure +
                                                 u"a tabela PontosHistorico da base de dados "_s) &&
                 host.lines().constLast().contains(u"grava: Numero, DataSys;"_s),
             qPrintable(host.text));
    QVERIFY(!host.text.contains(u"Falha de Gravação"_s));
    QVERIFY(!host.text.contains(u"Cartão nº"_s));
    QCOMPARE(terceiros(db), QStringList());
}

void tst_PassFaults::cardThatCannotBeReadIsLeftAndThePassGoesOn_data()
{
    QTest::addColumn<QString>("amountType"); // empty: the back end's usual one
    QTest::addColumn<QString>("movement");   // of card 15, "Data, Pontos"; empty: 10^15 points
    QTest::addColumn<BalanceStrategy>("strategy");
    // Sums beyond the amount's range; on SQLite, a table made without types keeps any text (a
    // number that is none, a date that is none), and on SQL Server a Data kept as varchar.
    const QStringList rows =
        TestDatabase::isServer()
            ? QStringList{u"money|"_s, u"decimal(19,4)|"_s, u"|'15/01/2025', 10"_s}
            : QStringList{u"|"_s,
                          u"|'2024-12-06', 'abc'"_s,
                          u"|'2024-12-06', '12,5'"_s,
                          u"|'2024-12-06', '1.2.5'"_s,
                          u"|'10-12-2024', '12.5'"_s,
                          u"|'10000-01-01', '12.5'"_s,
                          u"|20241206, '12.5'"_s};
    for (const QString &row : rows) {
        const QString type = row.section(u'|', 0, 0);
        const QString movement = row.section(u'|', 1);
        const QByteArray name = (type.isEmpty() ? u"default"_s : type).toUtf8() + ' ' +
                                (movement.isEmpty() ? u"10^15"_s : movement).toUtf8();
        QTest::addRow("%s, per card", name.constData())
            << type << movement << BalanceStrategy::PerCard;
        QTest::addRow("%s, set-based", name.constData())
            << type << movement << BalanceStrategy::SetBased;
    }
}

void tst_PassFaults::cardThatCannotBeReadIsLeftAndThePassGoesOn()
{
    QFETCH(QString, amountType);
    QFETCH(QString, movement);
    QFETCH(BalanceStrategy, strategy);
    TestDatabase db(amountType);
    QVERIFY(db.isValid());
    if (!movement.isEmpty() && TestDatabase::isServer())
        db.exec(u"alter table PontosHistorico alter column Data varchar(30)"_s);
    addThreeCards(db);
    // Card 15, between B and C, sums to 10^15 points: beyond money's range on the server, and
    // beyond the amount's range once read; or holds a movement that is no number or date.
    if (movement.isEmpty()) {
        db.addCard("X", "15", {"+ 500000000000000 2024-12-06", "+ 500000000000000 2024-12-07"});
    } else {
        db.addCard("X", "15", {"+ 100 2024-12-06"});
        db.exec(
            u"insert into PontosHistorico (Terceiro, CliFor, NumCartao, Data, Afecta, "
            "Pontos) values ('X', 'C', '15', %1)"_s.arg(movement.replace(u", "_s, u", '-', "_s)));
    }
    // A number kept as text is a number: "12.5" counts.
    db.addCard("Y", "16", {"+ 40.5 2024-12-06"});
    db.exec(u"insert into PontosHistorico (Terceiro, CliFor, NumCartao, Data, Afecta, Pontos) "
            "values ('Y', 'C', '16', '2024-12-07', '+', '12.5')"_s);
    for (int pass = 1; pass <= 2; ++pass) {
        RecordingHost host;
        PassOptions options;
        options.strategy = strategy;
        options.connection = db.connectionOptions();
        SettlementPass settlement(db.settings(), host, host.manualClock, options);
        QCOMPARE(settlement.run(), PassOutcome::Completed);
        // Named, left as it was, and the cards after it settled: on every pass.
        const QStringList failures = host.lines().filter(u"Falha"_s);
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures.first().startsWith(u"Falha no cartão nº 15 -> "_s),
                 qPrintable(failures.first()));
        QCOMPARE(settlement.stats().cardsFailed, 1);
        QVERIFY(settlement.stats().someCardsLeft());
        QCOMPARE(terceiros(db), (QStringList{"A", "Y", "B", "B", "C"})); // NumCartao order
        QCOMPARE(db.balance("Y", "16", kToday), u"0.0000"_s);
    }
    // The forecast leaves it out too, rather than foreseeing it from sums that misread it. On
    // SQL Server its statements convert every row's Data, and fail whole on a varchar that is
    // no date.
    if (TestDatabase::isServer() && !movement.isEmpty())
        return;
    struct Output : ExpiryOutput
    {
        QStringList cards;
        void line(const ExpiryLine &line) override { cards << line.numCartao; }
    } output;
    RecordingHost host;
    ForecastOptions forecast;
    forecast.strategy = strategy;
    forecast.connection = db.connectionOptions();
    QCOMPARE(ExpiryForecast(db.settings(), host, host.manualClock, forecast, output).run(),
             PassOutcome::Completed);
    QVERIFY2(host.text.contains(u"Falha no cartão nº 15 -> "_s), qPrintable(host.text));
    QVERIFY(!output.cards.contains(u"15"_s));
}

void tst_PassFaults::cardReadAloneInTheSetWiseWalkKeepsItsRangeWhenTheWindowYields()
{
    TestDatabase db;
    QVERIFY(db.isValid());
    addThreeCards(db);
    // Card 15 sorts between A and B. The grouped read finds it beyond the amount's range; by the
    // time it is read alone, its movements were corrected to 10 points each (by another user,
    // here on the pass's own connection), so it settles then, in the middle of its range.
    db.addCard("X", "15", {"+ 500000000000000 2024-12-06", "+ 500000000000000 2024-12-07"});
    const BeforeStatement correct(
        [](const QSqlQuery *q, const QVariantList &v) {
            return q && q->lastQuery().contains(u"sum(Pontos)"_s) &&
                   !q->lastQuery().contains(u"group by"_s) && v.value(1).toString() == u"15"_s;
        },
        [] {
            QSqlQuery fix(passConnection());
            fix.setForwardOnly(true);
            QVERIFY2(fix.exec(u"update PontosHistorico set Pontos = 10 where NumCartao = '15'"_s),
                     qPrintable(fix.lastError().text()));
        });
    // The window: every card may yield.
    RecordingHost host;
    host.yieldsDue = true;
    PassOptions options;
    options.strategy = BalanceStrategy::SetBased;
    QCOMPARE(runPass(db, host, options), PassOutcome::Completed);
    QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
    QStringList settled = terceiros(db);
    settled.sort();
    QCOMPARE(settled, (QStringList{"A", "B", "B", "C", "X"}));
    for (const char *card : {"1", "15", "2", "3"})
        QCOMPARE(host.lines().count(cardLine(QString::fromLatin1(card))), 1);
    RecordingHost again;
    QCOMPARE(runPass(db, again, options), PassOutcome::Completed);
    QCOMPARE(db.postedRows().size(), 5);
}

void tst_PassFaults::exceptionFromBelowIsAFailureInPortugueseAndLeavesWholeCards()
{
    TestDatabase db;
    addThreeCards(db);
    RecordingHost host;
    host.onYield = [](int n) {
        if (n == 2) // after card A
            throw std::bad_alloc();
    };
    QCOMPARE(runPass(db, host), PassOutcome::Failed);
    QCOMPARE(host.lines().constLast(), kFailure + u"memória insuficiente"_s);
    QCOMPARE(terceiros(db), QStringList{"A"});
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
    // A server pays a command timeout for some interruptions.
    for (quint32 seed = 1; seed <= (TestDatabase::isServer() ? 5u : 40u); ++seed) {
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

    // Two databases filled alike, one after the other: B passed once, A interrupted then
    // passed again.
    QList<QPair<QString, QString>> cards;
    for (const int cardCount = 1 + int(rng.bounded(8)); cards.size() < cardCount;) {
        const QPair<QString, QString> card{pick("C1|C2|O'Neil|D'Ávila"), pick("100|101|1'02|200")};
        if (!cards.contains(card))
            cards << card;
    }
    QList<QStringList> movementsOf;
    for (qsizetype c = 0; c < cards.size(); ++c) {
        QStringList movements;
        for (int m = int(rng.bounded(6)); m > 0; --m) {
            // A braced list draws in order: a seed always makes the same scheme.
            const QStringList f{pick("+|-"), pick("10|25|100|0.4|0.5|1.5|2.5|7.25"),
                                pick("2024-12-06|2025-12-05|2025-12-06|2025-12-06 15:30:00|"
                                     "2025-12-07|2026-11-06|2026-12-06|2026-12-06 08:00:00"),
                                rng.bounded(8) == 0 ? "F" : ""};
            movements << f[3] + f[0] + ' ' + f[1] + ' ' + f[2];
        }
        movementsOf << movements;
    }
    auto fill = [&](TestDatabase &db) {
        for (qsizetype c = 0; c < cards.size(); ++c)
            db.addCard(cards[c].first, cards[c].second, movementsOf[c]);
    };

    QStringList cleanSummaries;
    QStringList cleanBalances;
    int settled = 0;
    {
        TestDatabase b;
        fill(b);
        const int rowsBefore = int(b.allRows().size());
        // A preview lists exactly what the real pass then posts, and writes nothing, as another
        // connection sees it while the preview runs.
        ConnectionSettings settingsB = b.settings();
        RecordingHost preview;
        QList<int> seenDuringPreview;
        preview.onYield = [&](int) {
            seenDuringPreview << b.historyRowsSeenFromOutside();
        };
        PassOptions options;
        options.dryRun = true;
        options.recordPostings = true;
        options.connection = b.connectionOptions();
        SettlementPass previewPass(settingsB, preview, preview.manualClock, options);
        QCOMPARE(previewPass.run(), PassOutcome::Completed);
        QCOMPARE(seenDuringPreview, QList<int>(seenDuringPreview.size(), rowsBefore));
        QVERIFY(b.postedRows().isEmpty());
        RecordingHost clean;
        options.dryRun = false;
        SettlementPass cleanPass(settingsB, clean, clean.manualClock, options);
        QCOMPARE(cleanPass.run(), PassOutcome::Completed);
        QCOMPARE(describe(previewPass.postings()), describe(cleanPass.postings()));
        settled = int(cleanPass.stats().cardsSettled);
        cleanSummaries = postedSummaries(b);
        for (const auto &[cliente, numCartao] : cards) {
            for (const QString &day : {kCutoff, kToday})
                cleanBalances << b.balance(cliente, numCartao, day);
        }
    }

    // The fault: the history goes away during a yield (another connection), or the pass's
    // session ends inside a card, after its first row.
    TestDatabase a;
    fill(a);
    const int faultAt = 1 + int(rng.bounded(qMax(settled, 1)));
    RecordingHost interrupted;
    PassOptions interruptedOptions;
    // Inside a card: before its first or its second row.
    bool fired = false;
    int statementsAfter = 0; // sent once the fault was in place
    std::optional<BeforeStatement> insideACard;
    auto cutInsideACard = [&insideACard, &fired, faultAt] {
        insideACard.emplace(
            [faultAt, rows = 0](const QSqlQuery *q, const QVariantList &) mutable {
                return q && q->lastQuery().startsWith(u"insert"_s) && ++rows == faultAt;
            },
            [&fired] {
                cutPassConnection();
                fired = true;
            });
    };
    const bool duringAYield = !batched && (settled == 0 || rng.bounded(2) == 0);
    if (batched) {
        // No yields inside the pass: the fault falls inside a batch of one to three cards.
        interrupted.yieldsDue = false;
        interruptedOptions.batchCards = 1 + int(rng.bounded(3));
        cutInsideACard();
    } else if (duringAYield) {
        interrupted.onYield = [&a, &fired, faultAt](int n) {
            if (n == faultAt) {
                a.breakHistory();
                fired = true;
            }
        };
        DbConnection::setStatementObserver(
            [&](const QSqlQuery *, const QVariantList &) { statementsAfter += fired ? 1 : 0; });
    } else {
        cutInsideACard();
    }
    const PassOutcome outcome = runPass(a, interrupted, interruptedOptions);
    insideACard.reset();
    DbConnection::setStatementObserver({});
    // The fault was there, and the pass failed on it: unless it came at the last yield, after
    // which nothing more is sent.
    QVERIFY(fired || settled == 0);
    if (fired && (!duringAYield || statementsAfter > 0))
        QCOMPARE(outcome, PassOutcome::Failed);
    else
        QCOMPARE(outcome, PassOutcome::Completed);
    a.restoreHistory();
    RecordingHost again;
    QCOMPARE(runPass(a, again), PassOutcome::Completed);

    QStringList balances;
    for (const auto &[cliente, numCartao] : cards) {
        for (const QString &day : {kCutoff, kToday})
            balances << a.balance(cliente, numCartao, day);
    }
    QCOMPARE(balances, cleanBalances);
    QCOMPARE(postedSummaries(a), cleanSummaries);
    RecordingHost last;
    runPass(a, last);
    QCOMPARE(postedSummaries(a), cleanSummaries);
}

QTEST_GUILESS_MAIN(tst_PassFaults)
#include "tst_passfaults.moc"
