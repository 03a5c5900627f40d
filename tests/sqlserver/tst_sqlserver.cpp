// SPDX-License-Identifier: MIT
#include "app/CommandLine.h"
#include "db/Dialect.h"
#include "db/Schema.h"
#include "settlement/SettlementPass.h"
#include "support/RecordingHost.h"
#include "support/TestUtil.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>
#include <QTest>

// On Windows the ODBC headers use the SDK's types without including them.
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

using namespace Qt::StringLiterals;

namespace {
const QDateTime kNow(QDate(2026, 12, 6), QTime(10, 0, 0)); // cutoff 2025-12-06
const QString kNote = u"Regularização Automática ("_s;
} // namespace

class tst_SqlServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void ligarServidorReportsAWrongPasswordWithoutIt();
    void gravarHistoricoWritesExactValues();
    void passSettlesEachCaseOnce_data();
    void passSettlesEachCaseOnce();

private:
    void exec(const QString &sql, const QVariantList &values = {});
    QStringList posted();

    ConnectionSettings m_settings;
    ConnectionPtr m_admin;
};

void tst_SqlServer::exec(const QString &sql, const QVariantList &values)
{
    QSqlQuery q;
    QString error;
    QVERIFY2(m_admin->prepare(q, sql, &error), qPrintable(error));
    for (const QVariant &v : values)
        q.addBindValue(v);
    QVERIFY2(q.exec(), qPrintable(sql + u": "_s + q.lastError().text()));
    q.finish();
}

// The rows the program wrote, as "Terceiro|NumCartao|Afecta|Pontos|Data|Observa".
QStringList tst_SqlServer::posted()
{
    QStringList out;
    QSqlQuery q = m_admin->newQuery();
    if (!q.exec(u"select Terceiro,NumCartao,Afecta,Pontos,Data,Observa from PontosHistorico "
                "where LancManual=1 order by Id"_s))
        return {q.lastError().text()};
    while (q.next()) {
        Currency pontos;
        Currency::fromVariant(q.value(3), &pontos, nullptr);
        out << u"%1|%2|%3|%4|%5|%6"_s.arg(
            q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), pontos.toText(),
            q.value(4).toDate().toString(Qt::ISODate), q.value(5).toString());
    }
    return out;
}

void tst_SqlServer::initTestCase()
{
    const QString line = qEnvironmentVariable("VELMORA_TEST_SQLSERVER");
    if (line.isEmpty())
        QSKIP("VELMORA_TEST_SQLSERVER is not set (\"server;database;login;password;mode;\")");
    m_settings = CommandLine::split(line);
    const QString refusal = CommandLine::normaliseAndValidate(m_settings);
    QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
    RecordingHost host;
    ConnectionSettings &s = m_settings;
    QVERIFY2(LigarServidor(m_admin, s.strServidor, s.strUtilizador, s.strPassword, s.strBaseDados,
                           s.strModoLigacao, host),
             qPrintable(host.text));
    cleanupTestCase();
    for (const QString &statement : Schema::sqlServerStatements())
        exec(statement);
}

void tst_SqlServer::cleanupTestCase()
{
    if (!m_admin)
        return;
    for (const char *table : {"PontosHistorico", "PontosCartoes"})
        exec(u"if object_id('%1','U') is not null drop table %1"_s.arg(table));
}

void tst_SqlServer::init()
{
    exec(u"delete from PontosHistorico"_s);
    exec(u"delete from PontosCartoes"_s);
}

void tst_SqlServer::ligarServidorReportsAWrongPasswordWithoutIt()
{
    if (m_settings.strModoLigacao != QLatin1String("SQL"))
        QSKIP("integrated security uses no password");
    ConnectionSettings s = m_settings;
    const QString wrong = s.strPassword + u"Err;ado"_s;
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(!LigarServidor(cn, s.strServidor, s.strUtilizador, wrong, s.strBaseDados,
                           s.strModoLigacao, host));
    QVERIFY2(host.text.startsWith(u"Falha na Ligação ao Servidor! -> "_s), qPrintable(host.text));
    QVERIFY(!host.text.contains(u"Err;ado"_s));
}

void tst_SqlServer::gravarHistoricoWritesExactValues()
{
    const HistoryEntry e = historyEntry(u"+"_s, u"-12.3456"_s, kNote + u"-12 pontos)"_s);
    RecordingHost host;
    HistoryWriter writer(*m_admin);
    const QDateTime moment(QDate(2026, 12, 6), QTime(10, 15, 30));
    QVERIFY(writer.GravarHistorico(e, moment, host));
    QVERIFY(writer.GravarHistorico(e, moment, host));
    QCOMPARE(host.text, QString());
    QCOMPARE(posted(), QStringList(2, "O'Neil|1001|+|12.3456|2025-12-06|" + e.Observa));

    QSqlQuery q = m_admin->newQuery();
    QVERIFY(q.exec(QStringLiteral("select Tipo,Numero,ValorIncid,LancManual,Utilizador,DataSys,"
                                  "Data from PontosHistorico")));
    QVERIFY(q.next());
    QVERIFY(!q.isNull(0) && !q.isNull(1));
    QCOMPARE(q.value(0).toString() + q.value(1).toString(), QString());
    QCOMPARE(q.value(2).toString(), u"12.3456"_s);
    QCOMPARE(q.value(3).toInt(), 1);
    QCOMPARE(q.value(4).toString(), u"00"_s);
    QCOMPARE(q.value(5).toDateTime(), moment);
    QCOMPARE(q.value(6).toDateTime(), QDateTime(e.Data, QTime(0, 0)));
    q.finish();

    // Every statement carries the command timeout.
    QSqlQuery sum;
    QString error;
    QVERIFY2(m_admin->prepare(sum, m_admin->dialect().plusSumSql(), &error), qPrintable(error));
    const QVariant handle = sum.result()->handle();
    QCOMPARE(handle.metaType(), QMetaType::fromType<SQLHANDLE>());
    SQLULEN timeout = 0;
    QVERIFY(SQL_SUCCEEDED(SQLGetStmtAttr(*static_cast<const SQLHANDLE *>(handle.constData()),
                                         SQL_ATTR_QUERY_TIMEOUT, &timeout, 0, nullptr)));
    QCOMPARE(timeout, SQLULEN(60));
}

void tst_SqlServer::passSettlesEachCaseOnce_data()
{
    // Movements "Cliente|NumCartao|Afecta|Pontos|Data"; the rows one pass is to write.
    QTest::addColumn<QStringList>("movements");
    QTest::addColumn<QStringList>("expected");
    const QString cut = u"2025-12-06"_s;
    const QString old = u"2024-12-06"_s;
    QTest::newRow("old balance 70")
        << QStringList{"C1|1001|+|100|" + old, "C1|1001|-|30|" + old}
        << QStringList{"C1|1001|-|70|" + cut + "|" + kNote + "70 pontos)"};
    QTest::newRow("old balance -20")
        << QStringList{"C2|1002|+|10|" + old, "C2|1002|-|30|" + old}
        << QStringList{"C2|1002|+|20|" + cut + "|" + kNote + "-20 pontos)"};
    QTest::newRow("lapse leaves today negative")
        << QStringList{"C3|1003|+|100|" + old, "C3|1003|-|80|2026-11-06"}
        << QStringList{"C3|1003|-|100|" + cut + "|" + kNote + "100 pontos)",
                       "C3|1003|+|80|2026-12-06|" + kNote + "Saldo em 06-12-2026 era negativo"};
    QTest::newRow("quotes") << QStringList{"O'Neil|10'08|+|25|" + old}
                            << QStringList{"O'Neil|10'08|-|25|" + cut + "|" + kNote + "25 pontos)"};
    QTest::newRow("two cards") << QStringList{"C5|1005|+|10|" + old, "C6|1006|-|15|" + old}
                               << QStringList{"C5|1005|-|10|" + cut + "|" + kNote + "10 pontos)",
                                              "C6|1006|+|15|" + cut + "|" + kNote + "-15 pontos)"};
    QTest::newRow("time of day on the cutoff")
        << QStringList{"C7|1007|+|5|" + cut, "C7|1007|+|70|" + cut + "T15:30:00",
                       "C7|1007|+|60|2025-12-07"}
        << QStringList{"C7|1007|-|5|" + cut + "|" + kNote + "5 pontos)"};
    QTest::newRow("fractional points")
        << QStringList{"C8|1008|+|2.5|" + old, "C9|1009|+|0.5|" + old, "C10|1010|+|10.5|" + old}
        << QStringList{"C8|1008|-|2|" + cut + "|" + kNote + "2 pontos)",
                       "C10|1010|-|10|" + cut + "|" + kNote + "10 pontos)"};
}

void tst_SqlServer::passSettlesEachCaseOnce()
{
    QFETCH(QStringList, movements);
    QFETCH(QStringList, expected);
    for (const QString &m : movements) {
        const QStringList f = m.split(QLatin1Char('|'));
        exec(QStringLiteral("if not exists (select 1 from PontosCartoes where Cliente=? and "
                            "NumCartao=?) insert into PontosCartoes (Cliente,NumCartao) "
                            "values (?,?)"),
             {f[0], f[1], f[0], f[1]});
        exec(QStringLiteral("insert into PontosHistorico (Terceiro,CliFor,NumCartao,Tipo,Numero,"
                            "Data,Afecta,ValorIncid,Pontos,LancManual,Utilizador) "
                            "values (?,'C',?,'FT','1',?,?,?,?,0,'01')"),
             {f[0], f[1], QDateTime::fromString(f[4], Qt::ISODate), f[2], f[3], f[3]});
    }
    for (int pass = 1; pass <= 2; ++pass) {
        ConnectionSettings s = m_settings;
        RecordingHost host(kNow);
        SettlementPass settlement(s, host);
        QCOMPARE(settlement.run(), PassOutcome::Completed);
        QVERIFY2(!host.text.contains(u"Falha"_s), qPrintable(host.text));
        // The second pass finds every card settled and writes nothing more.
        QCOMPARE(posted(), expected);
    }
}

QTEST_GUILESS_MAIN(tst_SqlServer)
#include "tst_sqlserver.moc"
