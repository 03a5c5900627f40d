// SPDX-License-Identifier: MIT
#include "db/ConnectionString.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kFreeTds = u"FreeTDS"_s;
const QString kMicrosoft = u"ODBC Driver 18 for SQL Server"_s;
const QString kTail = u"ClientCharset=UTF-8;Timeout=60;TDS_Version=7.4;"_s;
} // namespace

class tst_ConnectionString : public QObject
{
    Q_OBJECT
private slots:
    void buildsTheStringOfEachMode_data();
    void buildsTheStringOfEachMode();
    void refusesValuesThatCannotReachTheDriverIntact_data();
    void refusesValuesThatCannotReachTheDriverIntact();
};

void tst_ConnectionString::buildsTheStringOfEachMode_data()
{
    // "mode|server|database|login|password", the driver, and the string built (empty: none).
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *tag, const QString &values, const QString &driver,
                        const QString &expected) {
        QTest::newRow(tag) << values.split(u'|') << driver << expected;
    };
    row("SQL login", u"SQL|srv|Loja|sa|pw"_s, kFreeTds,
        u"Driver=FreeTDS;Server=srv;Port=1433;Database=Loja;UID=sa;PWD=pw;"_s + kTail);
    row("integrated", u"WIN|srv|Loja|sa|pw"_s, kFreeTds,
        u"Driver=FreeTDS;Server=srv;Port=1433;Database=Loja;Trusted_Connection=Yes;"_s + kTail);
    row("host,port", u"SQL|127.0.0.1,14330|Loja|sa|"_s, kFreeTds,
        u"Driver=FreeTDS;Server=127.0.0.1;Port=14330;Database=Loja;UID=sa;PWD=;"_s + kTail);
    row("host, port", u"SQL|127.0.0.1, 1433|Loja|sa|"_s, kFreeTds,
        u"Driver=FreeTDS;Server=127.0.0.1;Port=1433;Database=Loja;UID=sa;PWD=;"_s + kTail);
    row("named instance", u"WIN|srv\\LOJA|||"_s, kFreeTds,
        u"Driver=FreeTDS;Server=srv\\LOJA;Database=;Trusted_Connection=Yes;"_s + kTail);
    row("special characters", u"SQL|s=v|{Loja}|a b |p;w}}"_s, kFreeTds,
        u"Driver=FreeTDS;Server={s=v};Port=1433;Database={{Loja}};UID={a b };PWD={p;w}}};"_s +
            kTail);
    row("Microsoft driver", u"SQL|srv,1433|Loja|sa|a};b"_s, kMicrosoft,
        u"Driver=ODBC Driver 18 for SQL Server;Server=srv,1433;Database=Loja;UID=sa;"
        u"PWD={a}};b};ClientCharset=UTF-8;"_s);
    row("unknown mode", u"XYZ|srv|Loja|sa|pw"_s, kFreeTds, {});
    row("blank before mode", u" SQL|srv|Loja|sa|pw"_s, kFreeTds, {});
}

void tst_ConnectionString::buildsTheStringOfEachMode()
{
    QFETCH(QStringList, values);
    QFETCH(QString, driver);
    QFETCH(QString, expected);
    const ConnectionTarget target = ConnectionString::build(
        values[0], values[1], values[2], values[3], values[4], {}, false, driver);
    QCOMPARE(target.driverName, u"QODBC"_s);
    QCOMPARE(target.refusal, QString());
    QCOMPARE(target.databaseName, expected);
    QCOMPARE(target.connectOptions, u"SQL_ATTR_LOGIN_TIMEOUT=30;SQL_ATTR_CONNECTION_TIMEOUT=60"_s);
    // FreeTDS takes as long again to call off a statement on a dead network: each statement
    // gets half of the command timeout there.
    if (!expected.isEmpty())
        QCOMPARE(target.statementSeconds, driver == kFreeTds ? 30 : 0);
}

void tst_ConnectionString::refusesValuesThatCannotReachTheDriverIntact_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("value");
    for (int field = 0; field < 4; ++field) {
        QTest::addRow("field %d holds };", field) << field << "x};y";
        QTest::addRow("field %d holds .dsn", field) << field << "a.DSN";
    }
}

void tst_ConnectionString::refusesValuesThatCannotReachTheDriverIntact()
{
    QFETCH(int, field);
    QFETCH(QString, value);
    QStringList f = {u"srv"_s, u"Loja"_s, u"sa"_s, u"pw"_s};
    f[field] = value;
    const ConnectionTarget target =
        ConnectionString::build(u"SQL"_s, f[0], f[1], f[2], f[3], {}, false, kFreeTds);
    QCOMPARE(target.databaseName, QString());
    QVERIFY(!target.refusal.isEmpty());
    QVERIFY2(!target.refusal.contains(value), qPrintable(target.refusal));
}

QTEST_GUILESS_MAIN(tst_ConnectionString)
#include "tst_connectionstring.moc"
