// SPDX-License-Identifier: MIT
// The benchmark's set-wise reference script is a second statement of the lapse rule, in SQL: it
// times what a pass does only while it posts what a first pass posts.
#include "bench/Generator.h"
#include "bench/Measure.h"
#include "db/CommandLine.h"
#include "settlement/PassTestUtil.h"

#include <QFile>
#include <QSqlError>
#include <QTemporaryDir>
#include <QTest>

class tst_ReferenceScript : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { VELMORA_REQUIRE_BACKEND(); }
    void postsWhatAFirstPassPosts_data();
    void postsWhatAFirstPassPosts();
};

namespace {

/// The rows a program posted, each with every column but the moment it was written, sorted.
QStringList postedRows(const DbConnection &connection)
{
    QSqlQuery query = connection.newQuery();
    if (!query.exec(u"select Terceiro, CliFor, NumCartao, Tipo, Numero, Data, Afecta, ValorIncid, "
                    u"Pontos, Observa, Utilizador from PontosHistorico where LancManual = 1"_s)) {
        qWarning("%s", qPrintable(query.lastError().text()));
        return {u"(unreadable)"_s};
    }
    QStringList rows;
    while (query.next()) {
        QStringList row;
        for (int i = 0; i < 11; ++i) {
            const QVariant value = query.value(i);
            row << (i == 7 || i == 8 ? amountText(value)
                    : i == 5         ? value.toString().left(10)
                                     : value.toString());
        }
        rows << row.join(u'|');
    }
    rows.sort();
    return rows;
}

} // namespace

void tst_ReferenceScript::postsWhatAFirstPassPosts_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("settleShare");
    QTest::addColumn<bool>("cardIndex");   // the card table indexed on its numbers
    QTest::addColumn<bool>("fineAmounts"); // amounts with four decimals besides halves
    QTest::newRow("seed 1, a tenth to settle") << 1u << 10 << true << false;
    QTest::newRow("seed 2, never settled, no card index") << 2u << 81 << false << false;
    QTest::newRow("seed 3, half, four decimals") << 3u << 50 << true << true;
    QTest::newRow("seed 4, never settled, four decimals, no card index")
        << 4u << 81 << false << true;
}

void tst_ReferenceScript::postsWhatAFirstPassPosts()
{
    QFETCH(quint32, seed);
    QFETCH(int, settleShare);
    QFETCH(bool, cardIndex);
    QFETCH(bool, fineAmounts);
    const bool server = TestDatabase::isServer();
    const Generator::Shape shape{server ? 150 : 600, 6, seed, settleShare};
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    Measure::Request script;
    script.kind = Measure::Request::Kind::Script;
    // The script's statements each take the whole scheme: the pass's own timeouts, not the
    // short ones that keep a held-up test short.
    script.connection = ConnectionOptions();
    ConnectionSettings settings;
    ConnectionPtr cn;
    QString error;
    Generator::Summary summary;
    // The generator writes whole points and halves; some cards' movements then get four
    // decimals, which the script and the pass must round alike.
    QStringList changes;
    if (fineAmounts) {
        changes
            << u"update PontosHistorico set Pontos = Pontos + 0.4999 where NumCartao like '%3'"_s
            << u"update PontosHistorico set Pontos = Pontos + 0.0001 where NumCartao like '%7'"_s
            << u"update PontosHistorico set Pontos = Pontos + 0.2345 where NumCartao like '%1'"_s;
    }
    if (!cardIndex) {
        changes << (server ? u"drop index PontosCartoes_NumCartao on PontosCartoes"_s
                           : u"drop index PontosCartoes_NumCartao"_s);
    }
    if (server) {
        script.server = TestDatabase::serverLine();
        settings = CommandLine::split(script.server);
        CommandLine::normaliseAndValidate(settings);
        QVERIFY2(Measure::connect(script, cn, &error), qPrintable(error));
        QVERIFY2(Generator::createOnServer(*cn, shape, Measure::today(), &summary, &error),
                 qPrintable(error));
        for (const QString &change : std::as_const(changes)) {
            QSqlQuery query = cn->newQuery();
            QVERIFY2(query.exec(change), qPrintable(query.lastError().text()));
        }
    } else {
        const QString generated = dir.filePath(u"generated.db"_s);
        QVERIFY2(Generator::create(generated, shape, Measure::today(), &summary, &error),
                 qPrintable(error));
        for (const QString &change : std::as_const(changes))
            QVERIFY2(Generator::execOnFile(generated, change, &error), qPrintable(error));
        script.database = dir.filePath(u"script.db"_s);
        QVERIFY(QFile::copy(generated, script.database));
        settings.strServidor = generated;
        settings.strBaseDados = u"main"_s;
        settings.strModoLigacao = u"SQLITE"_s;
    }
    QVERIFY(summary.cardsToSettle > 0);

    // Measured on a connection of its own, as the benchmark measures it.
    cn.reset();
    const Measure::Result ran = Measure::run(script);
    QVERIFY2(ran.ok, qPrintable(ran.error));
    QStringList byScript;
    if (server) {
        QVERIFY2(Measure::connect(script, cn, &error), qPrintable(error));
        byScript = postedRows(*cn);
        QSqlQuery reset = cn->newQuery();
        QVERIFY(reset.exec(u"delete from PontosHistorico where LancManual = 1"_s));
        cn.reset();
    } else {
        Measure::Request reader = script;
        QVERIFY2(Measure::connect(reader, cn, &error), qPrintable(error));
        byScript = postedRows(*cn);
        cn.reset();
    }

    // The pass at the same moment, by the same name that the script writes in Utilizador.
    RecordingHost host(QDateTime(Measure::today(), QTime(10, 0, 0)));
    PassOptions options;
    options.connection = TestDatabase::connectionOptions();
    QCOMPARE(SettlementPass(settings, host, host.manualClock, options).run(),
             PassOutcome::Completed);
    Measure::Request reader = script;
    if (!server)
        reader.database = settings.strServidor;
    QVERIFY2(Measure::connect(reader, cn, &error), qPrintable(error));
    const QStringList byPass = postedRows(*cn);
    QVERIFY(!byPass.isEmpty());
    QCOMPARE(byScript, byPass);
    if (server)
        QVERIFY2(Generator::dropOnServer(*cn, &error), qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_ReferenceScript)
#include "tst_referencescript.moc"
