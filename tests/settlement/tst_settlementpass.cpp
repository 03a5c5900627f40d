// SPDX-License-Identifier: MIT
#include "PassTestUtil.h"
#include "settlement/PassLock.h"
#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSysInfo>
#include <QTest>

#include <chrono>
#include <thread>

class tst_SettlementPass : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { VELMORA_REQUIRE_BACKEND(); }
    void emptyCardTableReportsStartThenEndAndReadsNoHistory();
    void settlesACardOnceADay_data();
    void settlesACardOnceADay();
    void writesEveryColumnAndShowsThePassInOrder();
    void settlesIntoEveryNumericAmountColumn_data();
    void settlesIntoEveryNumericAmountColumn();
    void settlesEachCustomerOfASharedCardNumber();
    void blankKeysAreOneCardAndTheCardsAfterThemKeepTheirOwn_data();
    void blankKeysAreOneCardAndTheCardsAfterThemKeepTheirOwn();
    void cardNumbersKeptAsIntegersMeetTheirMovements_data();
    void cardNumbersKeptAsIntegersMeetTheirMovements();
    void readsTheCardTableOnceWhateverItsSize_data();
    void readsTheCardTableOnceWhateverItsSize();
    void doesNothingWithoutAConnection();
    void lockFileInEachStateGivesItsOutcome_data();
    void lockFileInEachStateGivesItsOutcome();
};

namespace {

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QString lapse(const QString &n, const QString &cutoff = kCutoff)
{
    return u"- %1 %2 Regularização Automática (%1 pontos)"_s.arg(n, cutoff);
}

QString refill(const QString &n)
{
    return u"+ %1 %2 Regularização Automática (-%1 pontos)"_s.arg(n, kCutoff);
}

QString lift(const QString &n)
{
    return u"+ %1 %2 Regularização Automática (Saldo em 06-12-2026 era negativo"_s.arg(n, kToday);
}

} // namespace

void tst_SettlementPass::emptyCardTableReportsStartThenEndAndReadsNoHistory()
{
    TestDatabase db;
    db.exec(u"drop table PontosHistorico"_s); // any query on the history would fail the pass
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QCOMPARE(host.lines(),
             (QStringList{
                 {}, u"Início da Verificação - "_s + kStamp, u"Fim da Verificação - "_s + kStamp}));
    QCOMPARE(host.countdownResets, 1);
}

void tst_SettlementPass::settlesACardOnceADay_data()
{
    QTest::addColumn<QString>("cliente");
    QTest::addColumn<QString>("numCartao");
    QTest::addColumn<QStringList>("movements");
    QTest::addColumn<QStringList>("posted");
    QTest::addColumn<QDate>("today");
    auto add = [](const char *name, const QStringList &movements, const QStringList &posted,
                  const QDate &today = QDate(2026, 12, 6), const QString &cliente = "123",
                  const QString &numCartao = "456") {
        QTest::newRow(name) << cliente << numCartao << movements << posted << today;
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
    // Points spent since the cutoff were the oldest: only the rest lapses, and never more than
    // the card holds today.
    add("old points partly spent", {"+ 100 2024-12-06", "- 80 2026-11-06"}, {lapse("20")});
    add("old points all spent", {"+ 100 2024-12-06", "- 60 2026-01-10", "- 40 2026-11-06"}, {});
    add("spent, then earned again", {"+ 100 2024-12-06", "- 100 2026-01-10", "+ 30 2026-02-01"},
        {});
    add("more earned since than spent", {"+ 100 2024-12-06", "- 30 2026-01-10", "+ 500 2026-02-01"},
        {lapse("70")});
    add("old deficit, today at zero", {"+ 10 2024-12-06", "- 30 2024-12-06", "+ 20 2026-01-10"},
        {});
    add("old deficit, today above zero", {"+ 10 2024-12-06", "- 30 2024-12-06", "+ 50 2026-01-10"},
        {});
    add("old deficit still short today", {"+ 10 2024-12-06", "- 30 2024-12-06", "+ 5 2026-01-10"},
        {refill("15")});
    add("old deficit deeper today", {"+ 10 2024-12-06", "- 30 2024-12-06", "- 10 2026-01-10"},
        {refill("20"), lift("10")});
    add("overdrawn card", {"+ 50 2024-12-06", "- 80 2026-01-10"}, {lift("30")});
    add("fractional overdraft", {"+ 1.5 2024-12-06", "- 3.7 2026-11-06"}, {lift("2")});
    add("old zero, today negative", {"+ 50 2024-12-06", "- 50 2024-12-06", "- 40 2026-11-06"}, {});
    add("supplier rows", {"F+ 500 2024-12-06"}, {});
    add("quotes in both values", {"+ 25 2024-12-06"}, {lapse("25")}, {2026, 12, 6}, "O'Neil",
        "4'56");
    // The cutoff is one calendar year back.
    add("cutoff from 29 February", {"+ 10 2027-02-28", "+ 7 2027-03-01"},
        {lapse("10", "2027-02-28")}, {2028, 2, 29});
    add("cutoff from 1 March", {"+ 10 2027-03-01", "+ 7 2027-03-02"}, {lapse("10", "2027-03-01")},
        {2028, 3, 1});
    add("cutoff from 31 December", {"+ 10 2025-12-31", "+ 7 2026-01-01"},
        {lapse("10", "2025-12-31")}, {2026, 12, 31});
}

void tst_SettlementPass::settlesACardOnceADay()
{
    QFETCH(QString, cliente);
    QFETCH(QString, numCartao);
    QFETCH(QStringList, movements);
    QFETCH(QStringList, posted);
    QFETCH(QDate, today);
    TestDatabase db;
    db.addCard(cliente, numCartao, movements);
    RecordingHost host(QDateTime(today, QTime(10, 0)));
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QCOMPARE(postedSummaries(db), posted);
    QCOMPARE(::posted(db, u"Terceiro"_s), QStringList(posted.size(), cliente));
    QCOMPARE(::posted(db, u"NumCartao"_s), QStringList(posted.size(), numCartao));
    // A card line for a card that got a row, and only then; it names the cutoff.
    QCOMPARE(host.lines().size(), posted.isEmpty() ? 3 : 4);
    if (!posted.isEmpty())
        QCOMPARE(host.lines().at(2),
                 cardLine(numCartao, today.addYears(-1).toString(u"yyyy-MM-dd"_s)));

    // The same day, every kind of card is found settled: nothing is posted twice.
    RecordingHost again(QDateTime(today, QTime(10, 0)));
    QCOMPARE(runPass(db, again), PassOutcome::Completed);
    QCOMPARE(postedSummaries(db), posted);
    QCOMPARE(again.lines().size(), 3);
}

void tst_SettlementPass::writesEveryColumnAndShowsThePassInOrder()
{
    TestDatabase db;
    db.addCard(u"123"_s, u"456"_s, {"+ 100 2024-12-06", "- 30 2025-12-06"});
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);

    const QVector<QVariantMap> rows = db.postedRows();
    QCOMPARE(rows.size(), 1);
    const QVariantMap &row = rows.first();
    QCOMPARE(row.size(), 14); // the 13 written, and the Id
    const std::pair<const char *, QString> columns[] = {
        {"Terceiro", u"123"_s},  {"CliFor", u"C"_s},
        {"NumCartao", u"456"_s}, {"Tipo", {}},
        {"Numero", {}},          {"Data", kCutoff},
        {"Afecta", u"-"_s},      {"Observa", u"Regularização Automática (70 pontos)"_s},
        {"Utilizador", u"00"_s}, {"DataSys", u"2026-12-06 10:00:00"_s}};
    for (const auto &[column, value] : columns) {
        QVERIFY2(!row.value(column).isNull(), column);
        QCOMPARE(row.value(column).toString(), value);
    }
    QCOMPARE(amountText(row.value("ValorIncid")), u"70"_s);
    QCOMPARE(amountText(row.value("Pontos")), u"70"_s);
    QCOMPARE(row.value("LancManual").toInt(), 1);

    QCOMPARE(host.text, u"\r\nInício da Verificação - "_s + kStamp + "\r\n" + cardLine("456") +
                            "\r\nFim da Verificação - " + kStamp + "\r\n");
    // What the user sees, in order: the busy cursor and the status line come up before the first
    // line, each line is brought into view as it is written, and the window is idle again, its
    // countdown started anew, only after the last.
    QStringList seen = host.calls;
    seen.removeAll(u"yield"_s);
    seen.removeAll(u"refresh"_s);
    QCOMPARE(seen, (QStringList{"cursor:1", "status:1", "append", "caret", "append", "caret",
                                "append", "caret", "status:0", "reset", "cursor:0"}));
}

void tst_SettlementPass::settlesIntoEveryNumericAmountColumn_data()
{
    // The amounts a pass posts are whole points, which every numeric column type takes.
    QTest::addColumn<QString>("type");
    for (const char *type : {"int", "bigint", "decimal(19,4)", "numeric(19,4)", "money", "float"})
        QTest::newRow(type) << QString::fromLatin1(type);
}

void tst_SettlementPass::settlesIntoEveryNumericAmountColumn()
{
    QFETCH(QString, type);
    TestDatabase db(type);
    QVERIFY(db.isValid());
    // An old deficit refilled, then today's lifted: both kinds of posting.
    db.addCard(u"C1"_s, u"1001"_s,
               {u"+ 10 2024-12-06"_s, u"- 110 2024-12-06"_s, u"- 30 2026-11-06"_s});
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
    QStringList pontos;
    for (const QVariantMap &row : db.postedRows())
        pontos << amountText(row.value("Pontos")) + u' ' + amountText(row.value("ValorIncid"));
    QCOMPARE(pontos, (QStringList{u"100 100"_s, u"30 30"_s}));
}

void tst_SettlementPass::settlesEachCustomerOfASharedCardNumber()
{
    TestDatabase db;
    db.addCard(u"124"_s, u"456"_s, {"+ 30 2024-12-06"});
    db.addCard(u"123"_s, u"456"_s, {"- 15 2024-12-06"});
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    // SQL Server gives ties on the card number in no set order.
    QCOMPARE(sorted(postedSummaries(db)), sorted({refill("15"), lapse("30")}));
    QCOMPARE(sorted(posted(db, u"Terceiro"_s)), (QStringList{"123", "124"}));
    QCOMPARE(host.lines().mid(2, 2), (QStringList{cardLine("456"), cardLine("456")}));
}

void tst_SettlementPass::blankKeysAreOneCardAndTheCardsAfterThemKeepTheirOwn_data()
{
    QTest::addColumn<BalanceStrategy>("strategy");
    QTest::addColumn<int>("batchCards");
    QTest::newRow("per card") << BalanceStrategy::PerCard << 500;
    for (const int batchCards : {1, 2, 3, 500})
        QTest::addRow("set-based, batches of %d", batchCards)
            << BalanceStrategy::SetBased << batchCards;
}

void tst_SettlementPass::blankKeysAreOneCardAndTheCardsAfterThemKeepTheirOwn()
{
    // (NULL, x) and ('', x) are one card, settled once; the card list holds it once, and the
    // cards that follow it in the list still meet their own sums, in whatever batches.
    QFETCH(BalanceStrategy, strategy);
    QFETCH(int, batchCards);
    TestDatabase db;
    db.addCard(QString(), QString());
    db.addCard(u""_s, u""_s, {"- 5 2024-12-06"});
    db.addCard(u"A"_s, u"100"_s, {"+ 30 2024-12-06"});
    db.addCard(QString(), u"200"_s);
    db.addCard(u""_s, u"200"_s, {"+ 20 2024-12-06"});
    db.addCard(u"B"_s, u"300"_s, {"+ 10 2024-12-06"});
    // Listed apart, and one card on SQL Server, whose comparison ignores case.
    db.addCard(u"C"_s, QString(), {"+ 40 2024-12-06"});
    db.addCard(u"c"_s, u""_s);
    PassOptions options;
    options.strategy = strategy;
    options.batchCards = batchCards;
    const QStringList expected{refill("5"), lapse("30"), lapse("20"), lapse("10"), lapse("40")};
    for (int pass = 1; pass <= 2; ++pass) {
        RecordingHost host;
        QCOMPARE(runPass(db, host, options), PassOutcome::Completed);
        QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
        // The second pass posts nothing; SQL Server gives ties on the number in no set order.
        QCOMPARE(sorted(postedSummaries(db)), sorted(expected));
        QCOMPARE(sorted(posted(db, u"NumCartao"_s)), (QStringList{"", "", "100", "200", "300"}));
    }
}

void tst_SettlementPass::cardNumbersKeptAsIntegersMeetTheirMovements_data()
{
    addStrategyRows();
}

void tst_SettlementPass::cardNumbersKeptAsIntegersMeetTheirMovements()
{
    // The card table keeps its numbers as integers, the history as text: 5 sorts before 10 in
    // the card list, "10" before "5" in the history. One batch holds both cards, and each
    // meets its own movements.
    QFETCH(BalanceStrategy, strategy);
    TestDatabase db;
    db.exec(u"drop table PontosCartoes"_s);
    db.exec(TestDatabase::isServer()
                ? u"create table PontosCartoes (Cliente varchar(50), NumCartao int, "
                  "Nome varchar(50))"_s
                : u"create table PontosCartoes (Cliente text, NumCartao integer, Nome text)"_s);
    db.exec(u"insert into PontosCartoes (Cliente, NumCartao) values ('C5', 5), ('C10', 10)"_s);
    db.addMovement(u"C5"_s, u"5"_s, u"+"_s, u"30"_s, u"2024-12-06"_s);
    db.addMovement(u"C10"_s, u"10"_s, u"+"_s, u"20"_s, u"2024-12-06"_s);
    PassOptions options;
    options.strategy = strategy;
    for (int pass = 1; pass <= 2; ++pass) { // the second posts nothing
        RecordingHost host;
        QCOMPARE(runPass(db, host, options), PassOutcome::Completed);
        QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
        QCOMPARE(postedSummaries(db), (QStringList{lapse("30"), lapse("20")}));
        QCOMPARE(posted(db, u"NumCartao"_s), (QStringList{"5", "10"}));
    }
}

void tst_SettlementPass::readsTheCardTableOnceWhateverItsSize_data()
{
    QTest::addColumn<BalanceStrategy>("strategy");
    QTest::addColumn<int>("expected"); // statements that read PontosCartoes
    // The per-card walk looks up, apart, the one key that holds a "?", which a driver also
    // puts where it could not give a stored character; the set-wise walk has the keys as the
    // server compares them from the card list itself.
    QTest::newRow("per card") << BalanceStrategy::PerCard << 2;
    QTest::newRow("set-based") << BalanceStrategy::SetBased << 1;
}

void tst_SettlementPass::readsTheCardTableOnceWhateverItsSize()
{
    // A card table need not have an index: a walk that read it again for each batch of cards
    // would grow with the square of the cards.
    QFETCH(BalanceStrategy, strategy);
    QFETCH(int, expected);
    TestDatabase db;
    db.exec(u"drop index PontosCartoes_NumCartao"_s +
            (TestDatabase::isServer() ? u" on PontosCartoes"_s : QString()));
    // More cards than one statement looks up (499 keys on SQLite), in batches of 50.
    QStringList numbers;
    for (int i = 0; i < 620; ++i)
        numbers << (i == 7 ? u"10?07"_s : u"1%1"_s.arg(i, 3, 10, QLatin1Char('0')));
    QVERIFY(db.db().transaction());
    for (const QString &number : std::as_const(numbers))
        db.addCard(u"C"_s + number, number, {"+ 10 2024-12-06"});
    QVERIFY(db.db().commit());
    int cardTableReads = 0;
    DbConnection::setStatementObserver([&](const QSqlQuery *q, const QVariantList &) {
        cardTableReads += q && q->lastQuery().contains(u"PontosCartoes"_s) ? 1 : 0;
    });
    RecordingHost host;
    PassOptions options;
    options.strategy = strategy;
    options.batchCards = 50;
    const PassOutcome outcome = runPass(db, host, options);
    DbConnection::setStatementObserver({});
    QCOMPARE(outcome, PassOutcome::Completed);
    QCOMPARE(cardTableReads, expected);
    QStringList settled = posted(db, u"NumCartao"_s);
    settled.sort();
    numbers.sort();
    QCOMPARE(settled, numbers);
}

void tst_SettlementPass::doesNothingWithoutAConnection()
{
    TestDatabase db;
    ConnectionSettings settings = db.settings();
    // A file that is not there, or a server port where nothing listens.
    settings.strServidor =
        TestDatabase::isServer() ? u"127.0.0.1,9"_s : db.folder() + u"/missing.db"_s;
    RecordingHost host;
    QCOMPARE(SettlementPass(settings, host, host.manualClock).run(), PassOutcome::NoConnection);
    QVERIFY(host.text.startsWith(u"Falha na Ligação ao Servidor! -> "_s));
    QVERIFY(host.text.endsWith(u"\r\n"_s));
    if (!TestDatabase::isServer()) // and the file is never created empty
        QCOMPARE(host.text, u"Falha na Ligação ao Servidor! -> unable to open database file: "_s +
                                QDir::toNativeSeparators(settings.strServidor) +
                                u" (o ficheiro não existe)\r\n"_s);
    QVERIFY(!host.text.contains(u"Início"_s));
    QVERIFY(!host.calls.contains(u"cursor:1"_s));
    QVERIFY(!host.calls.contains(u"status:1"_s));
    QCOMPARE(host.countdownResets, 0);
    QVERIFY(!QFile::exists(settings.strServidor));
}

void tst_SettlementPass::lockFileInEachStateGivesItsOutcome_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("reason"); // in the failure line; empty: the pass runs
    QTest::newRow("a folder where the lock goes") << u"folder"_s << u"existe mas não"_s;
    QTest::newRow("a folder that cannot be written") << u"read-only"_s << u"sem permissão"_s;
    QTest::newRow("a lock left by a process that ended") << u"stale"_s << QString();
    // What no pass writes: left half-written by one that ended, whatever it holds.
    QTest::newRow("a lock of garbage") << u"garbage"_s << QString();
    QTest::newRow("a lock held in this process") << u"held"_s << u"busy"_s;
    // Another pass's lock seen between its creation and the writing of its owner: empty, and
    // then removed by a pass that ended, or written by one that runs.
    QTest::newRow("an empty lock then removed") << u"removed"_s << QString();
    QTest::newRow("an empty lock then written") << u"written"_s << u"busy"_s;
}

void tst_SettlementPass::lockFileInEachStateGivesItsOutcome()
{
    if (TestDatabase::isServer())
        QSKIP("the lock file belongs to SQLite; a server keeps its own lock");
    QFETCH(QString, obstacle);
    QFETCH(QString, reason);
    TestDatabase db;
    db.addCard(u"123"_s, u"456"_s, {"+ 100 2024-12-06"});
    const QString lockPath = PassLock::lockFilePath(db.path());
    QLockFile other(lockPath);
    std::thread owner; // the other pass, for the empty lock
    if (obstacle == u"folder"_s) {
        QVERIFY(QDir().mkdir(lockPath));
    } else if (obstacle == u"read-only"_s) {
        QFile::setPermissions(db.folder(), QFile::ReadOwner | QFile::ExeOwner);
        if (QFileInfo(db.folder()).isWritable()) // the superuser writes anywhere
            QSKIP("this user may write into a read-only folder");
    } else if (obstacle == u"stale"_s) {
#ifdef Q_OS_WIN
        QSKIP("a dead owner's lock is taken over by QLockFile itself; under Wine it is not");
#endif
        writeStaleLock(lockPath);
    } else if (obstacle == u"garbage"_s) {
        QFile garbage(lockPath);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("\xff\x00garbage\n\n");
    } else if (obstacle == u"held"_s) {
        QVERIFY(other.tryLock(0));
    } else {
        QVERIFY(QFile(lockPath).open(QIODevice::WriteOnly));
        const QByteArray info =
            obstacle == u"removed"_s
                ? QByteArray()
                : u"%1\n%2\n%3\n"_s.arg(QCoreApplication::applicationPid())
                      .arg(QCoreApplication::applicationFilePath(), QSysInfo::machineHostName())
                      .toUtf8();
        owner = std::thread([lockPath, info] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            QFile file(lockPath);
            if (info.isEmpty())
                file.remove();
            else if (file.open(QIODevice::WriteOnly))
                file.write(info);
        });
    }
    RecordingHost host;
    const PassOutcome outcome = runPass(db, host);
    if (owner.joinable())
        owner.join();
    QFile::setPermissions(db.folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (reason.isEmpty()) {
        QCOMPARE(outcome, PassOutcome::Completed);
        QCOMPARE(db.postedRows().size(), 1);
    } else if (reason == u"busy"_s) {
        QCOMPARE(outcome, PassOutcome::Busy);
        QCOMPARE(host.lines().value(0), kStamp + kPutOff);
    } else {
        // Retried every minute like any failure, and never taken for a busy database.
        QCOMPARE(outcome, PassOutcome::Failed);
        QVERIFY2(host.text.startsWith(kStamp + u"   Falha! -> "_s), qPrintable(host.text));
        QVERIFY2(host.text.contains(reason), qPrintable(host.text));
        QVERIFY(host.text.contains(QDir::toNativeSeparators(lockPath)));
        QVERIFY(db.postedRows().isEmpty());
    }
}

QTEST_GUILESS_MAIN(tst_SettlementPass)
#include "tst_settlementpass.moc"
