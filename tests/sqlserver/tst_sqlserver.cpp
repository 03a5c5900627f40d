// SPDX-License-Identifier: MIT
// What only a SQL Server shows. The cases both back ends share run in the *_sqlserver builds of
// the settlement, pass-fault, strategy and history-writer suites.
#include "db/CommandLine.h"
#include "db/Dialect.h"
#include "db/TransactionGuard.h"
#include "settlement/ExpiryForecast.h"
#include "settlement/PassTestUtil.h"
#include "support/TestUtil.h"

#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

// On Windows the ODBC headers use the SDK's types without including them.
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <QSemaphore>

#include <atomic>
#include <future>
#include <optional>
#include <thread>

namespace {
/// A Microsoft ODBC driver's name, under which the tests list FreeTDS too.
const QString kMicrosoftDriver = u"ODBC Driver 18 for SQL Server"_s;
} // namespace

class tst_SqlServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void serverNamedWithoutAPortConnects();
    void failedConnectionCarriesTheDriversWordsWithoutThePassword_data();
    void failedConnectionCarriesTheDriversWordsWithoutThePassword();
    void gravarHistoricoWritesExactValuesWithTheCommandTimeout();
    void settlesOnEverySchemaVariant_data();
    void settlesOnEverySchemaVariant();
    void settlesManyCardsReadInOneList();
    void cardsMeetTheirMovementsAsTheHistoryComparesWhateverTheCardTablesCollation();
    void savepointOpensUnderImplicitTransactions();
    void onePassAtATimeWhateverTheServerIsCalled_data();
    void onePassAtATimeWhateverTheServerIsCalled();
    void killedPassFreesTheLockAndLeavesWholeCards();
    void passRunsByTheServersClockWhateverTheMachines_data();
    void passRunsByTheServersClockWhateverTheMachines();
    void statementOutOfTimeEndsThePassAndNothingFollows_data();
    void statementOutOfTimeEndsThePassAndNothingFollows();
    void statementCutOffBeforeItsEndQuotesTheTimeout_data();
    void statementCutOffBeforeItsEndQuotesTheTimeout();
    void everyStatementOfAPassCarriesTheCommandTimeout_data();
    void everyStatementOfAPassCarriesTheCommandTimeout();
    void redemptionBackdatedBetweenACardsReadsLapsesOnlyTheRest();
    void keyBeyondTheBasicPlaneSettlesOrFailsAlone_data();
    void keyBeyondTheBasicPlaneSettlesOrFailsAlone();
    void passSessionIsNamedVelmora();
    void deadlockVictimBatchIsDoneAgainWhole();

private:
    struct Cli
    {
        QProcess process;
        int exitCode() const
        {
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        }
    };
    /// The server field of VELMORA_TEST_SQLSERVER with the rest of the line.
    static QString lineWithServer(const QString &server);
    /// True once another session holds the pass lock.
    static bool passLockHeld(const TestDatabase &db);

    QTemporaryDir m_odbcFolder;
    bool m_microsoftDriver = false; ///< FreeTDS is registered under kMicrosoftDriver too
};

namespace {

QString cardRows(const TestDatabase &db)
{
    return postedSummaries(db).join(u'\n');
}

/// The day a pass in this process settles on; velmora-cli settles on the system's date.
const QDate kPassDay(2026, 12, 6);

/// Cards whose adjustments span every kind: a lapse, a refill, a refill with a lift, dated
/// around the cutoff of a pass on `today`.
void addCards(TestDatabase &db, int count, const QDate &today = kPassDay)
{
    const auto day = [](const QDate &d) {
        return d.toString(u"yyyy-MM-dd"_s);
    };
    const QString twoYears = day(today.addYears(-2));
    const QString cutoff = day(today.addYears(-1));
    const QString lastMonth = day(today.addMonths(-1));
    QVERIFY(db.db().transaction());
    for (int i = 0; i < count; ++i) {
        const QString n = QString::number(100000 + i);
        switch (i % 3) {
        case 0:
            db.addCard(u"C"_s + n, n, {u"+ 100 "_s + twoYears, u"- 30 "_s + cutoff});
            break;
        case 1:
            db.addCard(u"C"_s + n, n, {u"+ 10 "_s + twoYears, u"- 30 "_s + twoYears});
            break;
        default:
            db.addCard(u"C"_s + n, n,
                       {u"+ 10 "_s + twoYears, u"- 30 "_s + twoYears, u"- 10 "_s + lastMonth});
            break;
        }
    }
    QVERIFY(db.db().commit());
}

/// The cards of addCards() that are neither untouched nor settled whole, with their balances
/// at the cutoff of a pass on `today` and today.
QString halfSettledCards(const TestDatabase &db, int count, const QDate &passDay = kPassDay)
{
    const QString cutoffDay = passDay.addYears(-1).toString(u"yyyy-MM-dd"_s);
    QHash<QString, std::pair<Currency, Currency>> balances; // by card: cutoff, today
    for (const QVariantMap &row : db.allRows()) {
        Currency amount;
        QString error;
        Currency::fromVariant(row.value(u"Pontos"_s), &amount, &error);
        if (row.value(u"Afecta"_s).toString() == u"-"_s)
            Currency::subtract({}, amount, &amount);
        auto &[cutoff, today] = balances[row.value(u"NumCartao"_s).toString()];
        if (row.value(u"Data"_s).toString() <= cutoffDay)
            Currency::add(cutoff, amount, &cutoff);
        Currency::add(today, amount, &today);
    }
    // Untouched: 70 and 70, -20 and -20, -20 and -30. Settled: 0 and 0 (the third lifted).
    const QStringList untouched{u"70 70"_s, u"-20 -20"_s, u"-20 -30"_s};
    QStringList out;
    for (int i = 0; i < count; ++i) {
        const QString n = QString::number(100000 + i);
        const auto &[cutoff, today] = balances.value(n);
        const QString seen = cutoff.toText() + u' ' + today.toText();
        if (seen != untouched.at(i % 3) && seen != u"0 0"_s)
            out << n + u": "_s + seen;
    }
    return out.join(u", "_s);
}

} // namespace

void tst_SqlServer::initTestCase()
{
    TestDatabase::useServer();
    VELMORA_REQUIRE_BACKEND();
    // The driver manager reads its list of drivers once a process: FreeTDS is listed under a
    // Microsoft driver's name as well, before the first connection.
    QFile system(u"/etc/odbcinst.ini"_s);
    QString library;
    if (system.open(QIODevice::ReadOnly)) {
        bool freeTds = false;
        for (const QString &line : QString::fromUtf8(system.readAll()).split(u'\n')) {
            if (line.startsWith(u'['))
                freeTds = line.trimmed() == u"[FreeTDS]"_s;
            else if (freeTds && line.startsWith(u"Driver"_s))
                library = line.section(u'=', 1).trimmed();
        }
    }
    QFile ini(m_odbcFolder.filePath(u"odbcinst.ini"_s));
    if (library.isEmpty() || !ini.open(QIODevice::WriteOnly))
        return;
    for (const QString &name : {kMicrosoftDriver, u"FreeTDS"_s})
        ini.write(("[" + name + "]\nDriver=" + library + "\n").toUtf8());
    ini.close();
    qputenv("ODBCSYSINI", QFile::encodeName(m_odbcFolder.path()));
    m_microsoftDriver = true;
}

QString tst_SqlServer::lineWithServer(const QString &server)
{
    QStringList fields = TestDatabase::serverLine().split(u';');
    fields[0] = server;
    return fields.join(u';');
}

bool tst_SqlServer::passLockHeld(const TestDatabase &db)
{
    QSqlQuery q(db.db());
    q.setForwardOnly(true);
    return q.exec(u"select applock_test('public', N'Velmora.Liquidacao', 'Exclusive', "
                  "'Session')"_s) &&
           q.next() && q.value(0).toInt() == 0;
}

void tst_SqlServer::serverNamedWithoutAPortConnects()
{
    const ConnectionSettings s = TestDatabase().settings();
    if (!s.strServidor.endsWith(u",1433"_s))
        QSKIP("the test server is not on port 1433");
    // A bare host is a default instance, on port 1433.
    const QString host = s.strServidor.chopped(5);
    ConnectionSettings bare = s;
    bare.strServidor = host;
    RecordingHost report;
    ConnectionPtr cn;
    QVERIFY2(LigarServidor(cn, bare, {}, report), qPrintable(report.text));
}

void tst_SqlServer::failedConnectionCarriesTheDriversWordsWithoutThePassword_data()
{
    QTest::addColumn<QString>("what"); // which setting is wrong
    QTest::newRow("wrong password") << u"password"_s;
    QTest::newRow("unknown database") << u"database"_s;
    QTest::newRow("silent port") << u"port"_s;
}

void tst_SqlServer::failedConnectionCarriesTheDriversWordsWithoutThePassword()
{
    QFETCH(QString, what);
    ConnectionSettings s = TestDatabase().settings();
    const QString secret = u"Err;ado-"_s + s.strPassword;
    QTcpServer silent; // accepts, and never answers
    if (what == u"password"_s) {
        s.strPassword = secret;
    } else if (what == u"database"_s) {
        s.strBaseDados = u"velmora_nao_existe"_s;
    } else {
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        s.strServidor = u"127.0.0.1,%1"_s.arg(silent.serverPort());
    }
    RecordingHost report;
    ConnectionPtr cn;
    ConnectionOptions options;
    options.loginSeconds = options.commandSeconds = 2;
    QVERIFY(!LigarServidor(cn, s, options, report));
    QVERIFY2(report.text.startsWith(u"Falha na Ligação ao Servidor! -> [FreeTDS]"_s),
             qPrintable(report.text));
    QVERIFY(report.text.endsWith(u"\r\n"_s));
    QVERIFY(!report.text.contains(s.strPassword));
    QVERIFY(!report.text.contains(secret));
}

void tst_SqlServer::gravarHistoricoWritesExactValuesWithTheCommandTimeout()
{
    TestDatabase db;
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY2(connectTo(db, cn, host), qPrintable(host.text));
    const HistoryEntry e = historyEntry(u"+"_s, u"-12.3456"_s, u"Regularização (-12 pontos)"_s);
    HistoryWriter writer(*cn);
    const QDateTime moment(QDate(2026, 12, 6), QTime(10, 15, 30));
    QVERIFY(writer.GravarHistorico(e, moment, host));
    QCOMPARE(host.text, QString());
    const QVariantMap row = db.postedRows().value(0);
    QCOMPARE(amountText(row.value(u"Pontos"_s)), u"12.3456"_s);
    QCOMPARE(row.value(u"Terceiro"_s).toString(), u"O'Neil"_s);
    QCOMPARE(row.value(u"Data"_s).toString(), u"2025-12-06"_s);
    QCOMPARE(row.value(u"DataSys"_s).toString(), u"2026-12-06 10:15:30"_s);

    // Every statement carries the statement timeout: half the command timeout on FreeTDS,
    // which takes as long again to call a statement off.
    QSqlQuery sum;
    QString error;
    QVERIFY2(cn->prepare(sum, cn->dialect().plusSumSql(), &error), qPrintable(error));
    const QVariant handle = sum.result()->handle();
    QCOMPARE(handle.metaType(), QMetaType::fromType<SQLHANDLE>());
    SQLULEN timeout = 0;
    QVERIFY(SQL_SUCCEEDED(SQLGetStmtAttr(*static_cast<const SQLHANDLE *>(handle.constData()),
                                         SQL_ATTR_QUERY_TIMEOUT, &timeout, 0, nullptr)));
    QCOMPARE(timeout, SQLULEN((db.connectionOptions().commandSeconds + 1) / 2));
}

void tst_SqlServer::settlesOnEverySchemaVariant_data()
{
    QTest::addColumn<QString>("textType");
    QTest::addColumn<QString>("amountType");
    for (const char *text : {"varchar", "nvarchar"}) {
        for (const char *amount : {"money", "int"})
            QTest::addRow("%s, %s", text, amount)
                << QString::fromLatin1(text) << QString::fromLatin1(amount);
    }
}

void tst_SqlServer::settlesOnEverySchemaVariant()
{
    QFETCH(QString, textType);
    QFETCH(QString, amountType);
    TestDatabase db(amountType, textType);
    QVERIFY(db.isValid());
    // Quotes and accents in the values; times of day on the cutoff date and on today, which
    // fall after the bound of their day's sums.
    db.addCard(u"O'Neil"_s, u"10'08"_s, {u"+ 25 2024-12-06"_s});
    db.addCard(u"Conceição"_s, u"2001"_s,
               {u"+ 5 2025-12-06"_s, u"+ 70 2025-12-06 15:30:00"_s, u"- 90 2026-12-06 08:00:00"_s});
    db.addCard(u"C3"_s, u"2002"_s,
               {u"+ 10 2024-12-06 23:59:59"_s, u"- 30 2024-12-06"_s, u"- 10 2026-11-06"_s});
    const QString expected =
        QStringList{u"- 25 2025-12-06 Regularização Automática (25 pontos)"_s,
                    u"- 5 2025-12-06 Regularização Automática (5 pontos)"_s,
                    u"+ 20 2025-12-06 Regularização Automática (-20 pontos)"_s,
                    u"+ 10 2026-12-06 Regularização Automática (Saldo em 06-12-2026 era negativo"_s}
            .join(u'\n');
    for (int pass = 1; pass <= 2; ++pass) {
        RecordingHost host;
        QCOMPARE(runPass(db, host), PassOutcome::Completed);
        QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
        // The second pass finds every card settled.
        QCOMPARE(cardRows(db), expected);
    }
    QCOMPARE(posted(db, u"Terceiro"_s).value(1), u"Conceição"_s);
}

void tst_SqlServer::settlesManyCardsReadInOneList()
{
    // The connection serves one result at a time: the cards are settled while their list,
    // longer than a network packet, has been read whole.
    TestDatabase db;
    addCards(db, 300);
    RecordingHost host;
    QCOMPARE(runPass(db, host), PassOutcome::Completed);
    QCOMPARE(host.text.count(u"    Cartão nº "_s), 300);
    QCOMPARE(db.postedRows().size(), 400);
    QCOMPARE(halfSettledCards(db, 300), QString());
}

void tst_SqlServer::cardsMeetTheirMovementsAsTheHistoryComparesWhateverTheCardTablesCollation()
{
    // The card table is case-sensitive, the history is not: the per-card sums find a card's
    // movements under any case, as the history compares its bound key, and the set-wise read
    // must find the same ones, not compare in the card table's collation.
    for (const BalanceStrategy strategy : {BalanceStrategy::PerCard, BalanceStrategy::SetBased}) {
        TestDatabase db;
        db.exec(u"drop table PontosCartoes"_s);
        db.exec(u"create table PontosCartoes (Cliente varchar(50) collate Latin1_General_CS_AS, "
                "NumCartao varchar(50) collate Latin1_General_CS_AS, Nome varchar(50))"_s);
        db.addCard(u"abc"_s, u"X1"_s);
        db.addMovement(u"ABC"_s, u"x1"_s, u"+"_s, u"30"_s, u"2024-12-06"_s);
        db.addCard(u"C2"_s, u"2002"_s, {u"+ 10 2024-12-06"_s});
        PassOptions options;
        options.strategy = strategy;
        RecordingHost host;
        QCOMPARE(runPass(db, host, options), PassOutcome::Completed);
        QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
        QCOMPARE(postedSummaries(db),
                 (QStringList{u"- 10 2025-12-06 Regularização Automática (10 pontos)"_s,
                              u"- 30 2025-12-06 Regularização Automática (30 pontos)"_s}));
    }
}

void tst_SqlServer::savepointOpensUnderImplicitTransactions()
{
    // Microsoft's ODBC drivers turn autocommit off with IMPLICIT_TRANSACTIONS and no BEGIN, as
    // this session does by hand: there a card's savepoint as a batch's first statement finds no
    // transaction open, unless the batch's opening statement opened one.
    TestDatabase db;
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY2(connectTo(db, cn, host), qPrintable(host.text));
    const Dialect &dialect = cn->dialect();
    auto run = [&cn](const QString &sql) {
        QSqlQuery q = cn->newQuery();
        const bool ok = q.exec(sql);
        q.finish();
        return ok;
    };
    auto transactions = [&cn] {
        QSqlQuery q = cn->newQuery();
        return q.exec(u"select @@trancount"_s) && q.next() ? q.value(0).toInt() : -1;
    };
    QVERIFY(run(u"set implicit_transactions on"_s));
    QString error;
    QVERIFY(!dialect.transactionSteps().savepoint(*cn, Dialect::SavepointStep::Mark, &error));
    QCOMPARE(transactions(), 0);
    QVERIFY(run(u"insert into #velmora_lote values (1)"_s)); // what a batch's begin runs first
    QVERIFY2(dialect.transactionSteps().savepoint(*cn, Dialect::SavepointStep::Mark, &error),
             qPrintable(error));
    QCOMPARE(transactions(), 1); // one transaction, which the driver's commit ends
    QVERIFY(run(u"rollback"_s));
    QVERIFY(run(u"set implicit_transactions off"_s));
}

void tst_SqlServer::onePassAtATimeWhateverTheServerIsCalled_data()
{
    QTest::addColumn<QString>("secondServer");
    const QString server = TestDatabase().settings().strServidor;
    QTest::newRow("same name") << server;
    // "localhost" comes from the hosts file, never from a name server.
    QString other = server;
    other.replace(u"127.0.0.1"_s, u"localhost"_s);
    QTest::newRow("other name") << other;
}

void tst_SqlServer::onePassAtATimeWhateverTheServerIsCalled()
{
    QFETCH(QString, secondServer);
    TestDatabase db;
    // velmora-cli settles on the system's date.
    const QDate today = QDate::currentDate();
    addCards(db, 12, today);
    // The first pass is held inside its card walk, with its lock taken, by a lock of ours on
    // the history; the second starts then.
    db.breakHistory();
    Cli first;
    first.process.start(QStringLiteral(VELMORA_CLI), {TestDatabase::serverLine()});
    QVERIFY(first.process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(passLockHeld(db), 20000);
    Cli second;
    second.process.start(QStringLiteral(VELMORA_CLI), {lineWithServer(secondServer)});
    QVERIFY(second.process.waitForFinished(30000));
    db.restoreHistory();
    QVERIFY(first.process.waitForFinished(60000));

    const QString secondOut = QString::fromUtf8(second.process.readAllStandardOutput());
    QCOMPARE(second.exitCode(), 4);
    QVERIFY2(secondOut.contains(kPutOff + u"\n"_s),
             qPrintable(secondOut + QString::fromUtf8(second.process.readAllStandardError())));
    QVERIFY(!secondOut.contains(u"Início"_s));
    if (QDate::currentDate() != today)
        QSKIP("the date changed during the test");
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(db.postedRows().size(), 16); // one clean pass: 12 cards, 4 of them lifted
    QCOMPARE(halfSettledCards(db, 12, today), QString());
    QVERIFY(!passLockHeld(db));
}

void tst_SqlServer::passRunsByTheServersClockWhateverTheMachines_data()
{
    QTest::addColumn<qint64>("machineAhead"); // seconds
    QTest::addColumn<QString>("clockLine");   // empty: none
    QTest::newRow("a day behind") << qint64(-86400) << u"1 dia(s) e 00:00:00 atrasado"_s;
    QTest::newRow("a day ahead") << qint64(86400) << u"1 dia(s) e 00:00:00 adiantado"_s;
    QTest::newRow("a minute ahead") << qint64(60) << QString();
}

void tst_SqlServer::passRunsByTheServersClockWhateverTheMachines()
{
    QFETCH(qint64, machineAhead);
    QFETCH(QString, clockLine);
    TestDatabase db;
    // The server runs on this machine: its date is the system's.
    const QDate today = QDate::currentDate();
    addCards(db, 12, today);
    RecordingHost host(QDateTime::currentDateTime().addSecs(machineAhead));
    PassOptions options;
    options.connection = db.connectionOptions();
    options.connection.clock.clear();
    SettlementPass pass(db.settings(), host, host.manualClock, options);
    QCOMPARE(pass.run(), PassOutcome::Completed);
    if (QDate::currentDate() != today)
        QSKIP("the date changed during the test");
    // The rows and lines of a pass on the server's date.
    QCOMPARE(db.postedRows().size(), 16);
    QCOMPARE(halfSettledCards(db, 12, today), QString());
    QVERIFY(host.text.contains(u"Início da Verificação - "_s + today.toString(u"dd-MM-yyyy"_s)));
    QVERIFY(qAbs(pass.stats().clockOffsetMs + machineAhead * 1000) < 60000);
    const QStringList warnings = host.lines().filter(u"Aviso: o relógio"_s);
    QVERIFY2(clockLine.isEmpty() ? warnings.isEmpty()
                                 : warnings.size() == 1 && warnings.first().contains(clockLine),
             qPrintable(host.text));
}

void tst_SqlServer::killedPassFreesTheLockAndLeavesWholeCards()
{
#ifdef Q_OS_WIN
    QSKIP("needs SIGKILL");
#else
    const int cards = 1500;
    TestDatabase db;
    // velmora-cli settles on the system's date.
    const QDate today = QDate::currentDate();
    addCards(db, cards, today);
    const int before = int(db.allRows().size());
    Cli doomed;
    doomed.process.start(QStringLiteral(VELMORA_CLI), {TestDatabase::serverLine()});
    QVERIFY(doomed.process.waitForStarted());
    // Killed once it has posted some rows, well before its end.
    QTRY_VERIFY_WITH_TIMEOUT(db.historyRowsSeenFromOutside() > before + 20, 60000);
    doomed.process.kill();
    QVERIFY(doomed.process.waitForFinished(10000));
    QVERIFY(db.postedRows().size() < cards);
    QCOMPARE(halfSettledCards(db, cards, today), QString());

    // At once: the server ended the dead pass's session, and its lock with it.
    Cli next;
    next.process.start(QStringLiteral(VELMORA_CLI), {TestDatabase::serverLine()});
    QVERIFY(next.process.waitForFinished(120000));
    QCOMPARE(next.exitCode(), 0);
    if (QDate::currentDate() != today)
        QSKIP("the date changed during the test");
    QCOMPARE(db.postedRows().size(), cards + cards / 3);
    QCOMPARE(halfSettledCards(db, cards, today), QString());
#endif
}

namespace {

/// While it lives, the pass reaches the server as Microsoft's ODBC drivers do: the FreeTDS
/// library under their name (registered by initTestCase()), so that the connection string has
/// neither FreeTDS's Port= nor its connection-wide Timeout=, and the server is named without
/// its port.
class MicrosoftDriverName
{
public:
    MicrosoftDriverName(ConnectionSettings *settings, ConnectionOptions *options)
    {
        // FreeTDS, so named, has no Port= to go by: its TDSPORT, which outranks any Port=, is
        // the test server's port while this lives.
        qputenv("TDSPORT", settings->strServidor.section(u',', 1).toLatin1());
        settings->strServidor = settings->strServidor.section(u',', 0, 0);
        options->odbcDriver = kMicrosoftDriver;
    }
    ~MicrosoftDriverName() { qunsetenv("TDSPORT"); }
    MicrosoftDriverName(const MicrosoftDriverName &) = delete;
    MicrosoftDriverName &operator=(const MicrosoftDriverName &) = delete;
};

} // namespace

void tst_SqlServer::statementOutOfTimeEndsThePassAndNothingFollows_data()
{
    QTest::addColumn<bool>("microsoftString");
    QTest::addColumn<QString>("held"); // what another session holds up
    for (bool microsoft : {false, true}) {
        const char *driver = microsoft ? "Microsoft's string" : "FreeTDS's string";
        QTest::addRow("%s, a card's read", driver) << microsoft << u"table"_s;
        QTest::addRow("%s, a posting", driver) << microsoft << u"row"_s;
    }
}

void tst_SqlServer::statementOutOfTimeEndsThePassAndNothingFollows()
{
    QFETCH(bool, microsoftString);
    QFETCH(QString, held);
    TestDatabase db;
    db.addCard("A", "1", {"+ 10 2024-12-06"});
    db.addCard("B", "2", {"+ 20 2024-12-06"});
    // Cards without movements between them, so that B's sums are read in a later round trip
    // than A's: after the yield.
    for (int i = 1; held == u"table"_s && i < Dialect::sqlServer().cardsPerRoundTrip(); ++i)
        db.addCard(u"F"_s, u"1-%1"_s.arg(i, 3, 10, QChar(u'0')));
    ConnectionSettings settings = db.settings();
    PassOptions options;
    options.connection = db.connectionOptions();
    std::optional<MicrosoftDriverName> microsoft;
    if (microsoftString) {
        if (!m_microsoftDriver)
            QSKIP("no FreeTDS driver in /etc/odbcinst.ini to register under another name");
        microsoft.emplace(&settings, &options.connection);
    }
    // A row the same as B's lapse, inserted and not committed by another session: the pass's
    // own insert of it waits on the unique index.
    const QString other = u"tst-sqlserver-holder"_s;
    QSqlDatabase holder;
    if (held == u"row"_s) {
        db.exec(u"create unique index Unico on PontosHistorico (Terceiro, NumCartao, Observa)"_s);
        holder = QSqlDatabase::cloneDatabase(db.db(), other);
        QVERIFY(holder.open() && holder.transaction());
        QSqlQuery q(holder);
        q.setForwardOnly(true);
        QVERIFY2(q.exec(u"insert into PontosHistorico (Terceiro, CliFor, NumCartao, Data, Afecta, "
                        "Pontos, LancManual, Observa) values ('B', 'C', '2', '2025-12-06', '-', "
                        "20, 1, 'Regularização Automática (20 pontos)')"_s),
                 qPrintable(q.lastError().text()));
    }
    RecordingHost host;
    // The table, held during the yield after card A: the next card's read waits.
    host.onYield = [&db, held](int n) {
        if (n == 2 && held == u"table"_s)
            db.breakHistory();
    };
    QStringList statements;
    DbConnection::setStatementObserver([&statements](const QSqlQuery *q, const QVariantList &) {
        statements << (q ? q->lastQuery() : u"commit"_s);
    });
    const PassOutcome outcome = SettlementPass(settings, host, host.manualClock, options).run();
    DbConnection::setStatementObserver({});
    microsoft.reset();
    db.restoreHistory();
    if (holder.isValid()) {
        holder.rollback();
        holder.close();
    }
    QSqlDatabase::removeDatabase(other);

    // One failure line, with the driver's words; the posting was not refused, and nothing was
    // sent after the statement that ran out of time.
    QVERIFY2(outcome == PassOutcome::Failed, qPrintable(host.text));
    QVERIFY2(host.lines().last().endsWith(u"Timeout expired"_s), qPrintable(host.text));
    QVERIFY(!host.text.contains(u"Falha de Gravação"_s));
    const QString blocked = held == u"row"_s ? u"insert into PontosHistorico"_s
                                             : u"select Soma=sum(Pontos) from PontosHistorico"_s;
    QVERIFY2(statements.last().startsWith(blocked), qPrintable(statements.join(u'\n')));
    QCOMPARE(posted(db, u"Terceiro"_s), QStringList{u"A"_s});
    if (held == u"row"_s)
        db.exec(u"drop index Unico on PontosHistorico"_s);
    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(posted(db, u"Terceiro"_s), (QStringList{u"A"_s, u"B"_s}));
}

namespace {

/// A loopback proxy to the test server whose network goes silent in the middle of a response.
/// Once armed, the server's next response that ends in a DONE token reaches the client without
/// that token, as a packet that is not the message's last: the client holds the whole of a row
/// but not the end of its statement. From then on nothing passes either way, as on a network
/// that stopped answering.
class CutOffProxy
{
public:
    explicit CutOffProxy(const QString &server)
    {
        const QString host = server.section(u',', 0, 0);
        const auto port = quint16(server.contains(u',') ? server.section(u',', 1).toUInt() : 1433);
        std::promise<quint16> listening;
        m_thread.reset(QThread::create([this, host, port, &listening] {
            QTcpServer listener;
            listener.listen(QHostAddress::LocalHost);
            listening.set_value(listener.serverPort());
            // Every connection made to it, each with its own to the server.
            struct Pair
            {
                std::unique_ptr<QTcpSocket> client;
                std::unique_ptr<QTcpSocket> upstream = std::make_unique<QTcpSocket>();
                QByteArray fromServer;
            };
            std::vector<Pair> pairs;
            if (!listener.waitForNewConnection(30000))
                return;
            while (!m_stop) {
                while (listener.hasPendingConnections()) {
                    Pair pair;
                    pair.client.reset(listener.nextPendingConnection());
                    pair.upstream->connectToHost(host, port);
                    if (!pair.upstream->waitForConnected(10000))
                        return;
                    pairs.push_back(std::move(pair));
                }
                for (Pair &pair : pairs)
                    pump(*pair.client, *pair.upstream, pair.fromServer);
                listener.waitForNewConnection(pairs.size() > 1 ? 0 : 1);
            }
        }));
        m_thread->start();
        m_port = listening.get_future().get();
    }
    ~CutOffProxy()
    {
        m_stop = true;
        m_thread->wait();
    }
    CutOffProxy(const CutOffProxy &) = delete;
    CutOffProxy &operator=(const CutOffProxy &) = delete;

    quint16 port() const { return m_port; }
    void arm() { m_armed = true; }

private:
    void pump(QTcpSocket &client, QTcpSocket &upstream, QByteArray &fromServer)
    {
        if (client.state() != QAbstractSocket::ConnectedState)
            return;
        client.waitForReadyRead(5);
        const QByteArray request = client.readAll();
        if (!m_silent)
            upstream.write(request);
        upstream.waitForReadyRead(5);
        fromServer += upstream.readAll();
        while (fromServer.size() >= 8) {
            const int length = qFromBigEndian<quint16>(fromServer.constData() + 2);
            if (fromServer.size() < length)
                break;
            QByteArray packet = fromServer.left(length);
            fromServer.remove(0, length);
            if (m_silent)
                continue;
            // A response (type 4) whole in one packet (end of message) that begins with a
            // result's columns (COLMETADATA) and ends in a 13-byte DONE, DONEPROC or DONEINPROC
            // token.
            const auto last = length >= 22 ? quint8(packet.at(length - 13)) : 0;
            if (m_armed && packet.at(0) == 4 && (packet.at(1) & 1) &&
                quint8(packet.at(8)) == 0x81 && (last == 0xFD || last == 0xFE || last == 0xFF)) {
                packet.chop(13);
                packet[1] = 0;
                qToBigEndian<quint16>(quint16(packet.size()), packet.data() + 2);
                m_silent = true;
            }
            client.write(packet);
        }
        client.flush();
        upstream.flush();
    }

public:
    bool cutOff() const { return m_silent; }

private:
    std::unique_ptr<QThread> m_thread;
    quint16 m_port = 0;
    std::atomic<bool> m_armed{false};
    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_stop{false};
};

} // namespace

void tst_SqlServer::statementCutOffBeforeItsEndQuotesTheTimeout_data()
{
    QTest::addColumn<bool>("forecast");
    QTest::newRow("a pass") << false;
    QTest::newRow("the forecast") << true;
}

void tst_SqlServer::statementCutOffBeforeItsEndQuotesTheTimeout()
{
    // A card's sum arrives whole, and its statement's end never does: the statement runs out
    // of time while its end is read, and the failure line says so. Left to the driver, that
    // read failed unseen, and the line quoted the next statement's "Invalid cursor state". A
    // forecast whose card's movements are cut off so ends too, rather than going on over the
    // dead connection with the card's failure.
    QFETCH(bool, forecast);
    TestDatabase db;
    db.addCard("A", "1", {"+ 10 2024-12-06"});
    db.addCard("B", "2", {"+ 20 2024-12-06"});
    CutOffProxy proxy(TestDatabase::serverLine().section(u';', 0, 0));
    ConnectionSettings settings = db.settings();
    settings.strServidor = u"127.0.0.1,%1"_s.arg(proxy.port());
    // The forecast's movements, after the card's sums.
    const QString cut = forecast ? u"select Dia,"_s : u"select Soma=sum(Pontos)"_s;
    DbConnection::setStatementObserver([&](const QSqlQuery *q, const QVariantList &values) {
        // A pass reads both cards' sums in one batch: its end never comes.
        if (q && values.contains(u"2"_s) && q->lastQuery().startsWith(cut))
            proxy.arm();
    });
    RecordingHost host;
    PassOutcome outcome = PassOutcome::Completed;
    if (forecast) {
        struct : ExpiryOutput
        {
            void line(const ExpiryLine &) override {}
        } output;
        ForecastOptions options;
        options.connection = db.connectionOptions();
        outcome = ExpiryForecast(settings, host, host.manualClock, options, output).run();
    } else {
        PassOptions options;
        options.connection = db.connectionOptions();
        outcome = SettlementPass(settings, host, host.manualClock, options).run();
    }
    DbConnection::setStatementObserver({});
    QVERIFY(proxy.cutOff());
    QVERIFY2(outcome == PassOutcome::Failed, qPrintable(host.text));
    QVERIFY2(!host.text.contains(u"Falha no cartão"_s), qPrintable(host.text));
    QVERIFY2(host.lines().last().endsWith(u"   Falha! -> [FreeTDS][SQL Server]Timeout expired"_s),
             qPrintable(host.text));
}

void tst_SqlServer::everyStatementOfAPassCarriesTheCommandTimeout_data()
{
    // A set-based pass's copy of the card list is filled, and each batch read, by prepared
    // statements; only the two that make the copy's empty table are not.
    addStrategyRows();
}

void tst_SqlServer::everyStatementOfAPassCarriesTheCommandTimeout()
{
    // Cards that take every kind of statement: the lock, the batch's opening read, the sums,
    // savepoints, a refused posting and its rollback, both adjustments.
    QFETCH(BalanceStrategy, strategy);
    TestDatabase db;
    db.addCard("A", "1", {"+ 10 2024-12-06", "- 30 2024-12-06", "- 10 2026-11-06"});
    db.addCard("B", "2", {"+ 20 2024-12-06"});
    db.refusePostings(u"B"_s, u"{}Afecta = '-'"_s);
    QStringList without;
    int seen = 0;
    DbConnection::setStatementObserver([&](const QSqlQuery *q, const QVariantList &) {
        if (!q)
            return; // a commit: the connection's timeout bounds it
        ++seen;
        const QVariant handle = q->result() ? q->result()->handle() : QVariant();
        SQLULEN timeout = 0;
        if (!handle.isValid() ||
            !SQL_SUCCEEDED(SQLGetStmtAttr(*static_cast<const SQLHANDLE *>(handle.constData()),
                                          SQL_ATTR_QUERY_TIMEOUT, &timeout, 0, nullptr)) ||
            timeout != SQLULEN((TestDatabase::connectionOptions().commandSeconds + 1) / 2))
            without << q->lastQuery();
    });
    RecordingHost host;
    PassOptions options;
    options.strategy = strategy;
    const PassOutcome outcome = runPass(db, host, options);
    DbConnection::setStatementObserver({});
    QCOMPARE(outcome, PassOutcome::Completed);
    QCOMPARE(host.text.count(u"Falha de Gravação"_s), 1);
    QVERIFY(seen > 10);
    QCOMPARE(without, QStringList());
}

void tst_SqlServer::redemptionBackdatedBetweenACardsReadsLapsesOnlyTheRest()
{
    // A till commits a redemption dated before the cutoff between the card's two readings:
    // the reading of today sees it, the reading of the cutoff did not. The lapse is capped by
    // what the card holds, and the next pass leaves what the ledger of lots leaves: nothing.
    TestDatabase db;
    db.addCard(u"C1"_s, u"1001"_s, {u"+ 100 2024-12-06"_s});
    {
        const BeforeStatement till(
            [](const QSqlQuery *q, const QVariantList &v) {
                return readsFor(q, v, u"C1"_s) && v.value(2).toDate() == QDate(2026, 12, 6);
            },
            [&db] { db.addMovement(u"C1"_s, u"1001"_s, u"-"_s, u"40"_s, u"2025-06-01"_s); });
        RecordingHost host;
        QCOMPARE(runPass(db, host), PassOutcome::Completed);
    }
    QCOMPARE(db.balance(u"C1"_s, u"1001"_s, kToday), u"0.0000"_s);
    RecordingHost next;
    QCOMPARE(runPass(db, next), PassOutcome::Completed);
    QCOMPARE(db.balance(u"C1"_s, u"1001"_s, kToday), u"0.0000"_s);
    QCOMPARE(cardRows(db), u"- 60 2025-12-06 Regularização Automática (60 pontos)"_s);
}

void tst_SqlServer::keyBeyondTheBasicPlaneSettlesOrFailsAlone_data()
{
    QTest::addColumn<QString>("textType");
    QTest::addColumn<BalanceStrategy>("strategy");
    QTest::addColumn<int>("batchCards"); // 2: the key is the last of its batch's range
    for (const char *type : {"varchar", "nvarchar"}) {
        QTest::addRow("%s, per card", type)
            << QString::fromLatin1(type) << BalanceStrategy::PerCard << 500;
        QTest::addRow("%s, set-based", type)
            << QString::fromLatin1(type) << BalanceStrategy::SetBased << 500;
        QTest::addRow("%s, set-based, the key ends a range", type)
            << QString::fromLatin1(type) << BalanceStrategy::SetBased << 2;
    }
}

void tst_SqlServer::keyBeyondTheBasicPlaneSettlesOrFailsAlone()
{
    QFETCH(QString, textType);
    QFETCH(BalanceStrategy, strategy);
    QFETCH(int, batchCards);
    TestDatabase db({}, textType);
    QVERIFY(db.isValid());
    // A card key with a character outside Unicode's basic plane, which takes four bytes in
    // UTF-8 and two units in UTF-16, between two ordinary cards.
    db.addCard(u"C1"_s, u"1001"_s, {u"+ 10 2024-12-06"_s});
    db.addCard(u"C3"_s, u"1003"_s, {u"+ 30 2024-12-06"_s});
    // Written as the pass binds it: Qt's own binding through FreeTDS cannot carry it.
    const QString key = u"1002\U0001F600"_s;
    for (const QString &sql :
         {u"insert into PontosCartoes (Cliente, NumCartao) values (?, ?)"_s,
          u"insert into PontosHistorico (Terceiro, NumCartao, CliFor, Data, Afecta, Pontos, "
          "LancManual) values (?, ?, 'C', '2024-12-06', '+', 20, 0)"_s}) {
        QSqlQuery q(db.db());
        q.setForwardOnly(true);
        QVERIFY(q.prepare(sql));
        std::unique_ptr<Dialect::BoundValues> bound;
        QString error;
        QVERIFY2(Dialect::sqlServer().bind(q, {u"C"_s + key, key}, &bound, &error),
                 qPrintable(error));
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    }
    QSqlQuery stored(db.db());
    stored.setForwardOnly(true);
    QVERIFY(stored.exec(u"select NumCartao from PontosCartoes where NumCartao like '1002%'"_s) &&
            stored.next());
    const QString storedKey = stored.value(0).toString();
    stored.finish();

    // Babelfish keeps the character in a varchar column too, but FreeTDS reads it back through
    // the column's code page, as "?": that key finds neither the card nor its movements, and a
    // row posted under it would belong to no card. On SQL Server the column itself holds the
    // "?", which reads back as it is.
    const bool readsBack = textType == u"nvarchar"_s;
    if (readsBack)
        QCOMPARE(storedKey, key);
    for (int pass = 1; pass <= 2; ++pass) {
        RecordingHost host;
        PassOptions options;
        options.strategy = strategy;
        options.batchCards = batchCards;
        options.connection = db.connectionOptions();
        int keyChecks = 0;
        DbConnection::setStatementObserver([&keyChecks](const QSqlQuery *q, const QVariantList &) {
            keyChecks += q && q->lastQuery().contains(u"not exists"_s) ? 1 : 0;
        });
        SettlementPass settlement(db.settings(), host, host.manualClock, options);
        const PassOutcome outcome = settlement.run();
        DbConnection::setStatementObserver({});
        QCOMPARE(outcome, PassOutcome::Completed);
        QCOMPARE(host.lines().filter(u"Falha"_s),
                 readsBack ? QStringList()
                           : QStringList{u"Falha no cartão nº "_s + storedKey +
                                         u" -> a chave não se lê tal como está gravada"_s});
        QCOMPARE(settlement.stats().someCardsLeft(), !readsBack);
        const QStringList settled =
            readsBack ? QStringList{u"1001"_s, key, u"1003"_s} : QStringList{u"1001"_s, u"1003"_s};
        QCOMPARE(posted(db, u"NumCartao"_s), settled);
        // The per-card walk checks only a key that holds the driver's replacement character,
        // with one statement; the set-wise walk checks them as it reads the card list.
        QCOMPARE(keyChecks, strategy == BalanceStrategy::PerCard && !readsBack ? 1 : 0);
    }
}

void tst_SqlServer::passSessionIsNamedVelmora()
{
    TestDatabase db;
    db.addCard(u"A"_s, u"1"_s, {u"+ 10 2024-12-06"_s});
    // What the session was set up with is still there at the commit, as the server sees it;
    // the server shows no deadlock priority (Babelfish keeps none).
    QString name;
    int marker = -1;
    {
        const BeforeStatement atCommit(nthCommit(1), [&name, &marker] {
            QSqlQuery q(passConnection());
            q.setForwardOnly(true);
            if (q.exec(u"select app_name(), case when object_id('tempdb..#velmora_lote') is "
                       "null then 0 else 1 end"_s) &&
                q.next()) {
                name = q.value(0).toString();
                marker = q.value(1).toInt();
            }
        });
        RecordingHost host;
        QCOMPARE(runPass(db, host), PassOutcome::Completed);
    }
    QCOMPARE(name, u"Velmora"_s);
    QCOMPARE(marker, 1);
}

namespace {
/// A till's session on the scratch database, in the thread that runs it: it holds the row
/// that the pass's posting for card B would make, waits until the pass waits for it, then
/// makes the row that the pass's posting for card A made, and so closes a deadlock. It rolls
/// back once it gets through. `held` is released once it holds the first row.
void tillThatDeadlocks(QSemaphore *held, QString *error)
{
    const QString name = u"velmora-test-till"_s;
    {
        ConnectionSettings s = CommandLine::split(TestDatabase::serverLine());
        CommandLine::normaliseAndValidate(s);
        const ConnectionTarget target = ConnectionString::build(s, ConnectionOptions());
        QSqlDatabase till = QSqlDatabase::addDatabase(target.driverName, name);
        till.setDatabaseName(target.databaseName);
        QSqlQuery q(till);
        q.setForwardOnly(true);
        const auto post = [&q](const char *terceiro) {
            return q.exec(u"insert into PontosHistorico (Terceiro, CliFor, NumCartao, Tipo, "
                          "Numero, Data, Afecta, ValorIncid, Pontos, LancManual, Observa, "
                          "Utilizador, DataSys) values ('%1', 'C', '0', 'FT', '1', "
                          "'2025-12-06', '-', 1, 1, 0, 'caixa', '01', '2026-12-06')"_s.arg(
                              QLatin1String(terceiro)));
        };
        if (!till.open() || !till.transaction() || !post("B")) {
            *error = u"till: "_s + (till.isOpen() ? q.lastError() : till.lastError()).text();
            held->release();
            return;
        }
        held->release();
        // Babelfish's own view of the locks: the pass waits once a lock is not granted.
        bool waiting = false;
        for (int i = 0; i < 500 && !waiting; ++i) {
            QSqlQuery locks(till);
            locks.setForwardOnly(true);
            waiting = locks.exec(u"select count(*) from pg_catalog.pg_locks "
                                 "where granted = 'false'"_s) &&
                      locks.next() && locks.value(0).toInt() > 0;
            if (!waiting)
                QThread::msleep(20);
        }
        // Whether this gets through once the pass gives way, or meets the pass's batch done
        // again, is of no matter: the deadlock was closed.
        if (waiting)
            post("A");
        else
            *error = u"till: the pass never waited for it"_s;
        q.finish();
        till.rollback();
        till.close();
    }
    QSqlDatabase::removeDatabase(name);
}
} // namespace

void tst_SqlServer::deadlockVictimBatchIsDoneAgainWhole()
{
    // Babelfish reports a deadlock as SQL Server does, error 1205, and ends the transaction;
    // the victim is the session that waited first, whatever its DEADLOCK_PRIORITY.
    TestDatabase db;
    db.addCard(u"A"_s, u"1"_s, {u"+ 10 2024-12-06"_s});
    db.addCard(u"B"_s, u"2"_s, {u"+ 20 2024-12-06"_s});
    db.addCard(u"C"_s, u"3"_s, {u"+ 30 2024-12-06"_s});
    // One posting of a customer's a day: a second one waits for the first's transaction.
    db.exec(u"create unique index Diario on PontosHistorico (Terceiro, Afecta, Data)"_s);
    QSemaphore held;
    QString tillError;
    std::thread till;
    int postingsOfA = 0;
    DbConnection::setStatementObserver([&](const QSqlQuery *q, const QVariantList &v) {
        postingsOfA += postsFor(q, v, u"A"_s) ? 1 : 0;
        if (!till.joinable() && postsFor(q, v, u"B"_s)) {
            till = std::thread(tillThatDeadlocks, &held, &tillError);
            held.acquire();
        }
    });
    RecordingHost host;
    host.yieldsDue = false; // the three cards in one batch, however long it takes
    PassOptions options;
    options.batchMilliseconds = 600000;
    const PassOutcome outcome = runPass(db, host, options);
    DbConnection::setStatementObserver({});
    if (till.joinable())
        till.join();
    QCOMPARE(outcome, PassOutcome::Completed);
    QCOMPARE(posted(db, u"Terceiro"_s), (QStringList{u"A"_s, u"B"_s, u"C"_s}));
    // Each card's line once, and no failure: the victim's lines went with it.
    QCOMPARE(host.lines().filter(u"Cartão nº"_s),
             (QStringList{cardLine(u"1"_s), cardLine(u"2"_s), cardLine(u"3"_s)}));
    QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
    QVERIFY2(tillError.isEmpty(), qPrintable(tillError));
    QVERIFY(postingsOfA >= 2); // the batch was done again whole
}

QTEST_GUILESS_MAIN(tst_SqlServer)
#include "tst_sqlserver.moc"
