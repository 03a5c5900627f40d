// SPDX-License-Identifier: MIT
#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "db/HistoryWriter.h"
#include "support/RecordingHost.h"
#include "support/TestDatabase.h"

#include <QSqlQuery>
#include <QTest>

#include <limits>

namespace {
const QDateTime kMoment(QDate(2026, 12, 6), QTime(10, 15, 30));

HistoryEntry entry(const QString &amount)
{
    HistoryEntry e;
    e.Terceiro = QStringLiteral("O'Neil");
    e.CliFor = QStringLiteral("C");
    e.NumCartao = QStringLiteral("1001");
    e.Tipo = QStringLiteral("");
    e.Numero = QStringLiteral("");
    e.Data = QDate(2025, 12, 6);
    e.Afecta = QStringLiteral("-");
    Currency::fromString(amount, &e.ValorIncid);
    e.Pontos = e.ValorIncid;
    e.Observa = QStringLiteral("Regularização Automática (70 pontos)");
    return e;
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
    void init();
    void cleanup();
    void writesOneRowAsGiven_data();
    void writesOneRowAsGiven();
    void failureIsReportedAndWritesNothing_data();
    void failureIsReportedAndWritesNothing();
    void sumLeavesOutLaterTimesOnTheBoundDate();

private:
    std::unique_ptr<TestDatabase> m_db;
    ConnectionPtr m_cn;
    RecordingHost m_host;
};

void tst_GravarHistorico::init()
{
    m_db = std::make_unique<TestDatabase>();
    ConnectionSettings s = m_db->settings();
    m_host = RecordingHost();
    QVERIFY(LigarServidor(m_cn, s.strServidor, {}, {}, s.strBaseDados, s.strModoLigacao, m_host));
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
    QTest::newRow("positive") << "70"
                              << "70.0000";
    QTest::newRow("negative") << "-20"
                              << "20.0000";
    QTest::newRow("fractional negative") << "-12.3456"
                                         << "12.3456";
    QTest::newRow("below one") << "0.0001"
                               << "0.0001";
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
    QCOMPARE(row.value("Terceiro").toString(), QStringLiteral("O'Neil"));
    QCOMPARE(row.value("CliFor").toString(), QStringLiteral("C"));
    QCOMPARE(row.value("NumCartao").toString(), QStringLiteral("1001"));
    for (const char *empty : {"Tipo", "Numero"}) {
        QVERIFY2(!row.value(empty).isNull(), empty);
        QCOMPARE(row.value(empty).toString(), QString());
    }
    QCOMPARE(row.value("Data").toString(), QStringLiteral("2025-12-06"));
    QCOMPARE(row.value("Afecta").toString(), QStringLiteral("-"));
    QCOMPARE(decimal(row.value("ValorIncid")), stored);
    QCOMPARE(decimal(row.value("Pontos")), stored);
    QCOMPARE(row.value("LancManual").toInt(), 1);
    QCOMPARE(row.value("Observa").toString(),
             QStringLiteral("Regularização Automática (70 pontos)"));
    QCOMPARE(row.value("Utilizador").toString(), QStringLiteral("00"));
    QCOMPARE(row.value("DataSys").toString(), QStringLiteral("2026-12-06 10:15:30"));
    QCOMPARE(rows.last().value("DataSys").toString(), QStringLiteral("2026-12-06 10:15:31"));
}

void tst_GravarHistorico::failureIsReportedAndWritesNothing_data()
{
    QTest::addColumn<QString>("sql"); // what makes the write fail
    QTest::addColumn<QString>("amount");
    QTest::newRow("missing table") << "drop table PontosHistorico"
                                   << "70";
    QTest::newRow("refused by the database")
        << "create trigger Recusa before insert on PontosHistorico "
           "begin select raise(abort, 'recusado'); end"
        << "70";
    QTest::newRow("amount without a magnitude") << "select 1"
                                                << "-922337203685477.5808";
}

void tst_GravarHistorico::failureIsReportedAndWritesNothing()
{
    QFETCH(QString, sql);
    QFETCH(QString, amount);
    HistoryWriter writer(*m_cn);
    QVERIFY(writer.GravarHistorico(entry(QStringLiteral("1")), kMoment, m_host)); // prepared
    m_db->exec(sql);
    m_host.text = QStringLiteral("antes\r\n");
    m_host.calls.clear();
    QVERIFY(!writer.GravarHistorico(entry(amount), kMoment, m_host));
    QCOMPARE(m_host.text, QStringLiteral("antes\r\nFalha de Gravação no Histórico de Pontos\r\n"));
    QCOMPARE(m_host.calls, (QStringList{QStringLiteral("append"), QStringLiteral("caret"),
                                        QStringLiteral("refresh")}));
    if (sql.startsWith(QLatin1String("drop")))
        return;
    QCOMPARE(m_db->postedRows().size(), 1);
    // The writer recovers: once the cause is gone, the next row is written.
    m_db->exec(QStringLiteral("drop trigger if exists Recusa"));
    QVERIFY(writer.GravarHistorico(entry(QStringLiteral("2")), kMoment, m_host));
    QCOMPARE(m_db->postedRows().size(), 2);
}

void tst_GravarHistorico::sumLeavesOutLaterTimesOnTheBoundDate()
{
    m_db->addMovement("C1", "1001", "+", "5", "2025-12-06");
    m_db->addMovement("C1", "1001", "+", "70", "2025-12-06 15:30:00");
    m_db->addMovement("C1", "1001", "+", "300", "2025-12-07");
    m_db->addMovement("C1", "1001", "+", "0.25", "2025-12-05 23:59:59");
    QSqlQuery sum;
    QString error;
    QVERIFY2(m_cn->prepare(sum, m_cn->dialect().plusSumSql(), &error), qPrintable(error));
    sum.addBindValue(QStringLiteral("C1"));
    sum.addBindValue(QStringLiteral("1001"));
    sum.addBindValue(m_cn->dialect().dateValue(QDate(2025, 12, 6)));
    QVERIFY(sum.exec() && sum.next());
    QCOMPARE(decimal(sum.value(0)), QStringLiteral("5.2500"));
}

QTEST_GUILESS_MAIN(tst_GravarHistorico)
#include "tst_gravarhistorico.moc"
