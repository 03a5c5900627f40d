// SPDX-License-Identifier: MIT
// Cards settled in batches that share one transaction: a card that fails goes back alone, a
// pass that dies leaves whole cards only. Each case runs on SQLite and, when
// VELMORA_TEST_SQLSERVER names a scratch database, on SQL Server too.
#include "PassTestUtil.h"

#include "app/CommandLine.h"
#include "db/DbConnection.h"
#include "db/Schema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// The scheme's two tables on one back end, with a connection of the test's own.
class Scheme
{
public:
    virtual ~Scheme() = default;
    virtual ConnectionSettings settings() const = 0;
    virtual QSqlDatabase db() const = 0;
    /// Movements as TestDatabase takes them: "+ 10 2024-12-06".
    virtual void addCard(const QString &cliente, const QString &numCartao,
                         const QStringList &movements) = 0;
    /// Makes the insert of a card's posting in one direction fail as a statement (the
    /// transaction stays) or end the whole transaction.
    virtual void refuse(const QString &cliente, const QString &afecta, bool endsTransaction) = 0;
    virtual void allow() = 0;
    /// The test's connection cannot cross a fork: closed before, opened again after.
    virtual void closeForFork() {}
    virtual void reopenAfterFork() {}

    /// Forward-only: the ODBC driver cannot open a statement that returns no rows as a cursor.
    QSqlQuery query() const
    {
        QSqlQuery q(db());
        q.setForwardOnly(true);
        return q;
    }

    void exec(const QString &sql)
    {
        QSqlQuery q = query();
        QVERIFY2(q.exec(sql), qPrintable(sql + u": "_s + q.lastError().text()));
    }

    /// The rows the program posted, each "NumCartao Afecta Pontos Data Observa", sorted.
    QStringList posted() const
    {
        QStringList out;
        QSqlQuery q = query();
        q.exec(u"select NumCartao, Afecta, Pontos, Data, Observa from PontosHistorico "
               "where LancManual = 1"_s);
        while (q.next()) {
            // A datetime comes back as one from SQL Server, as ISO text from SQLite.
            const QVariant data = q.value(3);
            const QString day = data.metaType().id() == QMetaType::QDateTime
                                    ? data.toDate().toString(Qt::ISODate)
                                    : data.toString().left(10);
            out << QStringList{q.value(0).toString(), q.value(1).toString(), amountText(q.value(2)),
                               day, q.value(4).toString()}
                       .join(u' ');
        }
        if (q.lastError().isValid())
            out << q.lastError().text();
        out.sort();
        return out;
    }
};

class SqliteScheme final : public Scheme
{
public:
    ConnectionSettings settings() const override { return m_db.settings(); }
    QSqlDatabase db() const override { return m_db.db(); }
    void addCard(const QString &cliente, const QString &numCartao,
                 const QStringList &movements) override
    {
        m_db.addCard(cliente, numCartao, movements);
    }
    void refuse(const QString &cliente, const QString &afecta, bool endsTransaction) override
    {
        exec(u"create trigger recusa before insert on PontosHistorico when new.LancManual = 1 "
             "and new.Terceiro = '%1' and new.Afecta = '%2' "
             "begin select raise(%3, 'recusado'); end"_s.arg(
                 cliente, afecta, endsTransaction ? u"rollback"_s : u"abort"_s));
    }
    void allow() override { exec(u"drop trigger recusa"_s); }
    void closeForFork() override { m_db.db().close(); }
    void reopenAfterFork() override { QVERIFY(m_db.db().open()); }

private:
    TestDatabase m_db;
};

class SqlServerScheme final : public Scheme
{
public:
    explicit SqlServerScheme(const ConnectionSettings &settings) : m_settings(settings)
    {
        RecordingHost host;
        ConnectionSettings &s = m_settings;
        m_valid = LigarServidor(m_admin, s.strServidor, s.strUtilizador, s.strPassword,
                                s.strBaseDados, s.strModoLigacao, host);
        if (!m_valid) {
            qWarning("%s", qPrintable(host.text));
            return;
        }
        dropTables();
        for (const QString &statement : Schema::sqlServerStatements())
            exec(statement);
    }
    ~SqlServerScheme() override
    {
        if (m_valid)
            dropTables();
    }
    bool isValid() const { return m_valid; }
    ConnectionSettings settings() const override { return m_settings; }
    QSqlDatabase db() const override { return m_admin->database(); }
    void addCard(const QString &cliente, const QString &numCartao,
                 const QStringList &movements) override
    {
        insert(u"insert into PontosCartoes (Cliente, NumCartao) values (?, ?)"_s,
               {cliente, numCartao});
        for (const QString &movement : movements) {
            const QStringList f = movement.split(u' ');
            insert(u"insert into PontosHistorico (Terceiro, CliFor, NumCartao, Tipo, Numero, "
                   "Data, Afecta, ValorIncid, Pontos, LancManual, Utilizador) "
                   "values (?, ?, ?, 'FT', '1', ?, ?, ?, ?, 0, '01')"_s,
                   {cliente, f[0].size() > 1 ? u"F"_s : u"C"_s, numCartao,
                    QDateTime::fromString(f.mid(2).join(u'T'), Qt::ISODate).isValid()
                        ? QVariant(QDateTime::fromString(f.mid(2).join(u'T'), Qt::ISODate))
                        : QVariant(QDate::fromString(f[2], Qt::ISODate)),
                    f[0].right(1), f[1], f[1]});
        }
    }
    // A check constraint refuses one statement and leaves the transaction; a trigger that
    // rolls back ends it, as a trigger's error does on a server where XACT_ABORT is on.
    void refuse(const QString &cliente, const QString &afecta, bool endsTransaction) override
    {
        const QString where =
            u"LancManual = 1 and Terceiro = '%1' and Afecta = '%2'"_s.arg(cliente, afecta);
        if (endsTransaction) {
            exec(u"create trigger recusa on PontosHistorico after insert as "
                 "if exists (select 1 from inserted where %1) rollback transaction"_s.arg(where));
        } else {
            exec(
                u"alter table PontosHistorico add constraint recusa check (not (%1))"_s.arg(where));
        }
    }
    void allow() override
    {
        exec(u"if object_id('recusa','TR') is not null drop trigger recusa"_s);
        exec(u"if object_id('recusa','C') is not null "
             "alter table PontosHistorico drop constraint recusa"_s);
    }

private:
    void insert(const QString &sql, const QVariantList &values)
    {
        QSqlQuery q = query();
        QVERIFY(q.prepare(sql));
        for (const QVariant &v : values)
            q.addBindValue(v);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
    }
    void dropTables()
    {
        for (const char *table : {"PontosHistorico", "PontosCartoes"})
            exec(u"if object_id('%1','U') is not null drop table %1"_s.arg(table));
    }

    ConnectionSettings m_settings;
    ConnectionPtr m_admin;
    bool m_valid = false;
};

std::unique_ptr<Scheme> makeScheme(const QString &backend)
{
    if (backend == u"sqlite"_s)
        return std::make_unique<SqliteScheme>();
    ConnectionSettings settings =
        CommandLine::split(qEnvironmentVariable("VELMORA_TEST_SQLSERVER"));
    CommandLine::normaliseAndValidate(settings);
    auto scheme = std::make_unique<SqlServerScheme>(settings);
    if (!scheme->isValid())
        return nullptr;
    return scheme;
}

QStringList backends()
{
    QStringList out{u"sqlite"_s};
    if (!qEnvironmentVariableIsEmpty("VELMORA_TEST_SQLSERVER"))
        out << u"sqlserver"_s;
    return out;
}

/// Seven cards that settle, numbers 1 to 7 in the card list's order, and one (8) that does
/// not. Cards 2, 4 and 7 are left negative by their lapse and get the lift too.
void addCards(Scheme &scheme)
{
    scheme.addCard("A", "1", {"+ 10 2024-12-06"});
    scheme.addCard("B", "2", {"+ 100 2024-12-06", "- 80 2026-11-06"});
    scheme.addCard("C", "3", {"- 5 2024-12-06"});
    scheme.addCard("D", "4", {"+ 30 2025-12-06", "- 40 2026-12-06"});
    scheme.addCard("E", "5", {"+ 7 2025-01-01"});
    scheme.addCard("F", "6", {"+ 2.5 2024-12-06"});
    scheme.addCard("G", "7", {"+ 50 2024-12-06", "- 60 2026-01-01"});
    scheme.addCard("Z", "8", {"+ 10 2026-06-01"});
}

/// What one clean pass posts for those cards, as Scheme::posted() shows it.
QStringList cleanRows()
{
    SqliteScheme twin;
    addCards(twin);
    RecordingHost host;
    ConnectionSettings settings = twin.settings();
    SettlementPass(settings, host).run();
    return twin.posted();
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
PassOptions batched(int cards)
{
    PassOptions options;
    options.batchCards = cards;
    options.batchMilliseconds = 3600 * 1000; // the card count alone ends a batch here
    return options;
}

const QStringList kStrategies{u"per-card"_s, u"set-based"_s};

BalanceStrategy strategyNamed(const QString &name)
{
    return name == u"set-based"_s ? BalanceStrategy::SetBased : BalanceStrategy::PerCard;
}

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
    void transactionEndedByTheServerLeavesWholeCards_data();
    void transactionEndedByTheServerLeavesWholeCards();
    void failureInsideABatchKeepsTheWholeCardsBeforeIt_data();
    void failureInsideABatchKeepsTheWholeCardsBeforeIt();
    void killedPassLeavesWholeCardsAndARerunCompletes_data();
    void killedPassLeavesWholeCardsAndARerunCompletes();
    void windowYieldCommitsTheBatchFirst();

private:
    QStringList m_clean;
};

void tst_BatchCommit::initTestCase()
{
    m_clean = cleanRows();
    QCOMPARE(m_clean.size(), 10);
}

void tst_BatchCommit::batchedPassPostsWhatOneCardAtATimePosts_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("strategy");
    QTest::addColumn<int>("batchCards");
    for (const QString &backend : backends()) {
        for (const QString &strategy : kStrategies) {
            for (int cards : {1, 3, 500})
                QTest::addRow("%s %s, %d a batch", qPrintable(backend), qPrintable(strategy), cards)
                    << backend << strategy << cards;
        }
    }
}

void tst_BatchCommit::batchedPassPostsWhatOneCardAtATimePosts()
{
    QFETCH(QString, backend);
    QFETCH(QString, strategy);
    QFETCH(int, batchCards);
    const auto scheme = makeScheme(backend);
    QVERIFY(scheme);
    addCards(*scheme);
    for (int pass = 1; pass <= 2; ++pass) {
        RecordingHost host;
        host.yieldsDue = false;
        PassOptions options = batched(batchCards);
        options.strategy = strategyNamed(strategy);
        ConnectionSettings settings = scheme->settings();
        SettlementPass settlement(settings, host, options);
        const PassOutcome outcome = settlement.run();
        QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
        QCOMPARE(outcome, PassOutcome::Completed);
        QCOMPARE(settlement.stats().cardsSettled, pass == 1 ? 7 : 0);
        QCOMPARE(scheme->posted(), m_clean);
        // Only the yields around the pass: none inside it.
        QCOMPARE(host.yields, 2);
    }
}

void tst_BatchCommit::refusedPostingInsideABatchLeavesOnlyThatCard_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("strategy");
    QTest::addColumn<QString>("afecta");
    QTest::addColumn<bool>("cardLineShown");
    for (const QString &backend : backends()) {
        for (const QString &strategy : kStrategies) {
            const QByteArray name = (backend + u' ' + strategy).toUtf8();
            QTest::addRow("%s, the lapse", name.constData())
                << backend << strategy << u"-"_s << false;
            QTest::addRow("%s, the lift", name.constData())
                << backend << strategy << u"+"_s << true;
        }
    }
}

void tst_BatchCommit::refusedPostingInsideABatchLeavesOnlyThatCard()
{
    QFETCH(QString, backend);
    QFETCH(QString, strategy);
    QFETCH(QString, afecta);
    QFETCH(bool, cardLineShown);
    const auto scheme = makeScheme(backend);
    QVERIFY(scheme);
    addCards(*scheme);
    scheme->refuse(u"B"_s, afecta, false);

    RecordingHost host;
    host.yieldsDue = false;
    PassOptions options = batched(500); // every card in one batch
    options.strategy = strategyNamed(strategy);
    options.recordPostings = true;
    ConnectionSettings settings = scheme->settings();
    SettlementPass settlement(settings, host, options);
    QCOMPARE(settlement.run(), PassOutcome::Completed);
    QCOMPARE(host.text.count(u"Falha de Gravação no Histórico de Pontos\r\n"_s), 1);
    QCOMPARE(host.lines().contains(cardLine("2")), cardLineShown);
    QCOMPARE(host.countdownResets, 1);
    // B as it was; the cards before and after it in the same batch are committed.
    const QStringList others{"1", "3", "4", "5", "6", "7"};
    QCOMPARE(scheme->posted(), rowsOfCards(m_clean, others));
    QCOMPARE(settlement.stats().cardsSettled, 6);
    QCOMPARE(settlement.stats().rowsPosted, 8);
    QCOMPARE(settlement.postings().size(), 8);
    QCOMPARE(settlement.stats().rowsFailed, 1);

    scheme->allow();
    RecordingHost next;
    ConnectionSettings again = scheme->settings();
    QCOMPARE(SettlementPass(again, next).run(), PassOutcome::Completed);
    QCOMPARE(scheme->posted(), m_clean);
}

void tst_BatchCommit::transactionEndedByTheServerLeavesWholeCards_data()
{
    QTest::addColumn<QString>("backend");
    for (const QString &backend : backends())
        QTest::newRow(qPrintable(backend)) << backend;
}

void tst_BatchCommit::transactionEndedByTheServerLeavesWholeCards()
{
    QFETCH(QString, backend);
    const auto scheme = makeScheme(backend);
    QVERIFY(scheme);
    addCards(*scheme);
    scheme->refuse(u"D"_s, u"+"_s, true);

    // Batches of three: cards 1 to 3 are committed; the server's rollback at card 4's lift
    // takes card 4's lapse with it, and the pass cannot go on in a transaction it no
    // longer has.
    RecordingHost host;
    host.yieldsDue = false;
    ConnectionSettings settings = scheme->settings();
    SettlementPass settlement(settings, host, batched(3));
    QCOMPARE(settlement.run(), PassOutcome::Failed);
    QVERIFY2(host.lines().last().startsWith(kStamp + u"   Falha! -> "_s), qPrintable(host.text));
    QCOMPARE(scheme->posted(), rowsOfCards(m_clean, {"1", "2", "3"}));
    QCOMPARE(settlement.stats().cardsSettled, 3);

    scheme->allow();
    RecordingHost next;
    ConnectionSettings again = scheme->settings();
    QCOMPARE(SettlementPass(again, next).run(), PassOutcome::Completed);
    QCOMPARE(scheme->posted(), m_clean);
}

void tst_BatchCommit::failureInsideABatchKeepsTheWholeCardsBeforeIt_data()
{
    QTest::addColumn<QString>("strategy");
    for (const QString &strategy : kStrategies)
        QTest::newRow(qPrintable(strategy)) << strategy;
}

void tst_BatchCommit::failureInsideABatchKeepsTheWholeCardsBeforeIt()
{
    QFETCH(QString, strategy);
    SqliteScheme scheme;
    addCards(scheme);
    RecordingHost host;
    host.yieldsDue = false;
    // Inside card 4, between its lapse and the reading of its current balance, on the pass's
    // own connection: the failure path takes card 4 back to its savepoint and commits the
    // cards before it, which were settled whole in the same batch.
    host.onAppend = [](const QString &text) {
        if (text.startsWith(cardLine("4")))
            QVERIFY(QSqlQuery(passConnection())
                        .exec(u"alter table PontosHistorico rename to Guardado"_s));
    };
    PassOptions options = batched(500);
    options.strategy = strategyNamed(strategy);
    options.recordPostings = true;
    ConnectionSettings settings = scheme.settings();
    SettlementPass settlement(settings, host, options);
    QCOMPARE(settlement.run(), PassOutcome::Failed);
    QVERIFY(host.lines().last().startsWith(kStamp + u"   Falha! -> "_s));
    // The rename went back with card 4.
    QCOMPARE(scheme.posted(), rowsOfCards(m_clean, {"1", "2", "3"}));
    QCOMPARE(settlement.stats().cardsSettled, 3);
    QCOMPARE(settlement.stats().rowsPosted, 4);
    QCOMPARE(settlement.postings().size(), 4);

    RecordingHost next;
    QCOMPARE(SettlementPass(settings, next).run(), PassOutcome::Completed);
    QCOMPARE(scheme.posted(), m_clean);
}

void tst_BatchCommit::killedPassLeavesWholeCardsAndARerunCompletes_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("strategy");
    QTest::addColumn<bool>("insideACard");
    for (const QString &backend : backends()) {
        for (const QString &strategy : kStrategies) {
            const QByteArray name = (backend + u' ' + strategy).toUtf8();
            QTest::addRow("%s, between savepoints", name.constData())
                << backend << strategy << false;
            QTest::addRow("%s, inside a card", name.constData()) << backend << strategy << true;
        }
    }
}

void tst_BatchCommit::killedPassLeavesWholeCardsAndARerunCompletes()
{
    QFETCH(QString, backend);
    QFETCH(QString, strategy);
    QFETCH(bool, insideACard);
    const auto scheme = makeScheme(backend);
    QVERIFY(scheme);
    addCards(*scheme);

    // The child settles in batches of three and kills itself inside the second batch: after
    // cards 4 and 5 are settled and their savepoints released, or inside card 4 between its
    // lapse and its lift. Either way the first batch (cards 1 to 3) was committed and the
    // second was not.
    scheme->closeForFork();
    std::fflush(nullptr);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        RecordingHost host;
        host.yieldsDue = false;
        host.onProgress = [&host](qint64) {
            if (host.text.count(u"    Cartão nº "_s) == 5)
                ::raise(SIGKILL);
        };
        if (insideACard) {
            host.onAppend = [](const QString &text) {
                if (text.startsWith(cardLine("4")))
                    ::raise(SIGKILL);
            };
        }
        PassOptions options = batched(3);
        options.strategy = strategyNamed(strategy);
        ConnectionSettings settings = scheme->settings();
        SettlementPass(settings, host, options).run();
        ::_exit(3); // not killed: the parent sees the wrong status
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    scheme->reopenAfterFork();
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
             qPrintable(u"child status %1"_s.arg(status)));

    QCOMPARE(scheme->posted(), rowsOfCards(m_clean, {"1", "2", "3"}));
    RecordingHost next;
    ConnectionSettings settings = scheme->settings();
    QCOMPARE(SettlementPass(settings, next).run(), PassOutcome::Completed);
    QCOMPARE(scheme->posted(), m_clean);
    RecordingHost last;
    QCOMPARE(SettlementPass(settings, last).run(), PassOutcome::Completed);
    QCOMPARE(scheme->posted(), m_clean);
}

void tst_BatchCommit::windowYieldCommitsTheBatchFirst()
{
    // A host whose yields run: the batch is committed before each, so another connection
    // reading during the yield sees every card settled so far.
    SqliteScheme scheme;
    addCards(scheme);
    RecordingHost host;
    QStringList seen;
    host.onYield = [&](int) {
        seen << QString::number(scheme.posted().size());
    };
    ConnectionSettings settings = scheme.settings();
    QCOMPARE(SettlementPass(settings, host, batched(500)).run(), PassOutcome::Completed);
    QCOMPARE(seen, (QStringList{"0", "1", "3", "4", "6", "7", "8", "10", "10"}));
}

QTEST_GUILESS_MAIN(tst_BatchCommit)
#include "tst_batchcommit.moc"
