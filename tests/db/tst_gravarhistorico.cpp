// SPDX-License-Identifier: MIT
#include "db/Dialect.h"
#include "support/RecordingHost.h"
#include "support/TestUtil.h"

#include <QSqlQuery>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QDateTime kMoment(QDate(2026, 12, 6), QTime(10, 15, 30));

HistoryEntry entry(const QString &amount)
{
    return historyEntry(u"-"_s, amount, u"Regularização Automática (70 pontos)"_s);
}

QString decimal(const QVariant &value)
{
    Currency c;
    QString error;
    return Currency::fromVariant(value, &c, &error) ? c.toDecimalString() : error;
}
} // namespace

class tst_GravarHistorico : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { VELMORA_REQUIRE_BACKEND(); }
    void init();
    void cleanup();
    void writesOneRowAsGiven_data();
    void writesOneRowAsGiven();
    void failureIsReportedAndWritesNothing_data();
    void failureIsReportedAndWritesNothing();
    void writesExactDecimalsIntoEveryDecimalColumn_data();
    void writesExactDecimalsIntoEveryDecimalColumn();
    void readsOneValueOrSaysWhyNot_data();
    void readsOneValueOrSaysWhyNot();

private:
    std::unique_ptr<TestDatabase> m_db;
    ConnectionPtr m_cn;
    RecordingHost m_host;
};

void tst_GravarHistorico::init()
{
    m_db = std::make_unique<TestDatabase>();
    QVERIFY(m_db->isValid());
    m_host = RecordingHost();
    QVERIFY(connectTo(*m_db, m_cn, m_host));
}

void tst_GravarHistorico::cleanup()
{
    m_cn.reset();
    m_db.reset();
}

void tst_GravarHistorico::writesOneRowAsGiven_data()
{
    QTest::addColumn<QString>("amount");
    QTest::addColumn<QString>("stored");
    QTest::newRow("positive") << u"70"_s << u"70.0000"_s;
    QTest::newRow("negative") << u"-20"_s << u"20.0000"_s;
    QTest::newRow("fractional negative") << u"-12.3456"_s << u"12.3456"_s;
    QTest::newRow("below one") << u"0.0001"_s << u"0.0001"_s;
}

void tst_GravarHistorico::writesOneRowAsGiven()
{
    QFETCH(QString, amount);
    QFETCH(QString, stored);
    HistoryWriter writer(*m_cn);
    QVERIFY(writer.GravarHistorico(entry(amount), kMoment, m_host));
    QVERIFY(writer.GravarHistorico(entry(amount), kMoment.addSecs(1), m_host));
    QVERIFY(m_host.text.isEmpty());

    const QVector<QVariantMap> rows = m_db->postedRows();
    QCOMPARE(rows.size(), 2);
    const QVariantMap &row = rows.first();
    QCOMPARE(row.value("Terceiro").toString(), u"O'Neil"_s);
    QCOMPARE(row.value("CliFor").toString(), u"C"_s);
    QCOMPARE(row.value("NumCartao").toString(), u"1001"_s);
    for (const char *empty : {"Tipo", "Numero"}) {
        QVERIFY2(!row.value(empty).isNull(), empty);
        QCOMPARE(row.value(empty).toString(), QString());
    }
    QCOMPARE(row.value("Data").toString(), u"2025-12-06"_s);
    QCOMPARE(row.value("Afecta").toString(), u"-"_s);
    QCOMPARE(decimal(row.value("ValorIncid")), stored);
    QCOMPARE(decimal(row.value("Pontos")), stored);
    QCOMPARE(row.value("LancManual").toInt(), 1);
    QCOMPARE(row.value("Observa").toString(), u"Regularização Automática (70 pontos)"_s);
    QCOMPARE(row.value("Utilizador").toString(), u"00"_s);
    QCOMPARE(row.value("DataSys").toString(), u"2026-12-06 10:15:30"_s);
    QCOMPARE(rows.last().value("DataSys").toString(), u"2026-12-06 10:15:31"_s);
}

void tst_GravarHistorico::failureIsReportedAndWritesNothing_data()
{
    QTest::addColumn<QString>("sql"); // what makes the write fail
    QTest::addColumn<QString>("amount");
    QTest::newRow("missing table") << u"drop table PontosHistorico"_s << u"70"_s;
    QTest::newRow("refused by the database") << u"refuse"_s << u"70"_s;
    QTest::newRow("amount without a magnitude") << QString() << u"-922337203685477.5808"_s;
}

void tst_GravarHistorico::failureIsReportedAndWritesNothing()
{
    QFETCH(QString, sql);
    QFETCH(QString, amount);
    HistoryWriter writer(*m_cn);
    QVERIFY(writer.GravarHistorico(entry(u"1"_s), kMoment, m_host)); // prepared
    if (sql == u"refuse"_s)
        m_db->refusePostings(u"O'Neil"_s, u"{}Pontos = 70"_s);
    else if (!sql.isEmpty())
        m_db->exec(sql);
    m_host.text = u"antes\r\n"_s;
    m_host.calls.clear();
    QVERIFY(!writer.GravarHistorico(entry(amount), kMoment, m_host));
    // The refusal's own line, then the card and the cause.
    QVERIFY2(m_host.text.startsWith(u"antes\r\nFalha de Gravação no Histórico de Pontos\r\n"
                                    "    cartão nº 1001 (cliente O'Neil) -> "_s) &&
                 m_host.text.endsWith(u"\r\n"_s) && m_host.text.count(u"\r\n"_s) == 3,
             qPrintable(m_host.text));
    QCOMPARE(m_host.calls, (QStringList{u"append"_s, u"caret"_s, u"refresh"_s}));
    if (sql.startsWith(QLatin1String("drop")))
        return;
    QCOMPARE(m_db->postedRows().size(), 1);
    // The writer recovers: once the cause is gone, the next row is written.
    if (!sql.isEmpty())
        m_db->allowPostings();
    QVERIFY(writer.GravarHistorico(entry(u"2"_s), kMoment, m_host));
    QCOMPARE(m_db->postedRows().size(), 2);
}

void tst_GravarHistorico::writesExactDecimalsIntoEveryDecimalColumn_data()
{
    QTest::addColumn<QString>("type");
    QTest::newRow("decimal") << u"decimal(19,4)"_s;
    QTest::newRow("numeric") << u"numeric(19,4)"_s;
    QTest::newRow("money") << u"money"_s;
    QTest::newRow("float") << u"float"_s;
}

void tst_GravarHistorico::writesExactDecimalsIntoEveryDecimalColumn()
{
    QFETCH(QString, type);
    m_cn.reset();
    m_db = std::make_unique<TestDatabase>(type);
    QVERIFY(m_db->isValid());
    QVERIFY(connectTo(*m_db, m_cn, m_host));
    HistoryWriter writer(*m_cn);
    QVERIFY2(writer.GravarHistorico(entry(u"-12.3456"_s), kMoment, m_host),
             qPrintable(m_host.text));
    // Read back as an exact decimal: FreeTDS gives no text for a float with decimals.
    QSqlQuery q(m_db->db());
    q.setForwardOnly(true);
    QVERIFY(q.exec(u"select cast(Pontos as decimal(19,4)) from PontosHistorico where "
                   "LancManual = 1 and Data < '2026-01-01' order by Id desc"_s));
    QVERIFY(q.next());
    QCOMPARE(decimal(q.value(0)), u"12.3456"_s);
}

void tst_GravarHistorico::readsOneValueOrSaysWhyNot_data()
{
    QTest::addColumn<QString>("sql"); // bound with a card number that has no movement
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("error");
    const QString noRow = u"nenhuma linha"_s;
    QTest::newRow("a count") << u"select count(*) from PontosHistorico where NumCartao = ?"_s
                             << QVariant(0) << QString();
    QTest::newRow("a sum over no rows is NULL")
        << u"select sum(Pontos) from PontosHistorico where NumCartao = ?"_s << QVariant()
        << QString();
    QTest::newRow("no row") << u"select Pontos from PontosHistorico where NumCartao = ?"_s
                            << QVariant() << noRow;
    QTest::newRow("a statement that fails")
        << u"select Pontos from SemTabela where NumCartao = ?"_s << QVariant() << QString();
}

void tst_GravarHistorico::readsOneValueOrSaysWhyNot()
{
    QFETCH(QString, sql);
    QFETCH(QVariant, value);
    QFETCH(QString, error);
    const bool fails = sql.contains(u"SemTabela"_s);
    QVariant read(u"antes"_s);
    QString why;
    QSqlQuery query;
    const bool ok = m_cn->prepare(query, sql, &why) &&
                    m_cn->readOneValue(query, {u"9999"_s}, u"nenhuma linha"_s, &read, &why);
    if (fails || !error.isEmpty()) {
        QVERIFY(!ok);
        QCOMPARE(why.isEmpty(), false);
        if (!fails)
            QCOMPARE(why, error);
    } else {
        QVERIFY2(ok, qPrintable(why));
        QCOMPARE(read.isNull(), value.isNull());
        if (!value.isNull())
            QCOMPARE(read.toInt(), value.toInt());
    }
    // The statement's results are read to their end whatever came of it: the connection, which
    // on SQL Server serves one open result at a time, takes the next statement.
    QVariant count;
    QVERIFY2(m_cn->readOneValue(u"select count(*) from PontosCartoes"_s, u"nenhuma linha"_s, &count,
                                &why),
             qPrintable(why));
    QVERIFY(!count.isNull());
}

QTEST_GUILESS_MAIN(tst_GravarHistorico)
#include "tst_gravarhistorico.moc"
