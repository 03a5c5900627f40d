// SPDX-License-Identifier: MIT
#include "db/ConnectionString.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kFreeTds = u"FreeTDS"_s;
const QString kMicrosoft = u"ODBC Driver 18 for SQL Server"_s;
const QString kTail = u"ClientCharset=UTF-8;Timeout=60;TDS_Version=7.4;"_s;

/// The settings of "mode|server|database|login|password".
ConnectionSettings settingsOf(const QStringList &values)
{
    ConnectionSettings s;
    s.strModoLigacao = values[0];
    s.strServidor = values[1];
    s.strBaseDados = values[2];
    s.strUtilizador = values[3];
    s.strPassword = values[4];
    return s;
}

ConnectionOptions through(const QString &driver)
{
    ConnectionOptions options;
    options.odbcDriver = driver;
    return options;
}
} // namespace

class tst_ConnectionString : public QObject
{
    Q_OBJECT
private slots:
    void buildsTheStringOfEachMode_data();
    void buildsTheStringOfEachMode();
    void refusesValuesThatCannotReachTheDriverIntact_data();
    void refusesValuesThatCannotReachTheDriverIntact();
    void sqliteTargetKeepsItsFileAndOpensReadOnlyWhenAsked();
    void environmentNamesTheOdbcDriver();
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
    row("lower-case mode", u"win|srv|Loja|sa|pw"_s, kFreeTds,
        u"Driver=FreeTDS;Server=srv;Port=1433;Database=Loja;Trusted_Connection=Yes;"_s + kTail);
    row("blank mode", u"  |srv|Loja|sa|pw"_s, kFreeTds,
        u"Driver=FreeTDS;Server=srv;Port=1433;Database=Loja;UID=sa;PWD=pw;"_s + kTail);
    row("unknown mode", u"XYZ|srv|Loja|sa|pw"_s, kFreeTds, {});
    row("blank before mode", u" SQL|srv|Loja|sa|pw"_s, kFreeTds, {});
}

void tst_ConnectionString::buildsTheStringOfEachMode()
{
    QFETCH(QStringList, values);
    QFETCH(QString, driver);
    QFETCH(QString, expected);
    const ConnectionTarget target = ConnectionString::build(settingsOf(values), through(driver));
    QCOMPARE(target.driverName, u"QODBC"_s);
    // A mode that is none of the three is refused by name.
    QCOMPARE(target.refusal,
             expected.isEmpty()
                 ? u"modo de ligação desconhecido: %1 (SQL, WIN ou SQLITE)"_s.arg(values.at(0))
                 : QString());
    QCOMPARE(target.databaseName, expected);
    QCOMPARE(target.connectOptions, u"SQL_ATTR_LOGIN_TIMEOUT=30;SQL_ATTR_CONNECTION_TIMEOUT=60"_s);
    // FreeTDS takes as long again to call off a statement on a dead network: each statement
    // gets half of the command timeout there.
    if (!expected.isEmpty())
        QCOMPARE(target.statementSeconds, driver == kFreeTds ? 30 : 60);
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
    QStringList f = {u"SQL"_s, u"srv"_s, u"Loja"_s, u"sa"_s, u"pw"_s};
    f[field + 1] = value;
    const ConnectionTarget target = ConnectionString::build(settingsOf(f), through(kFreeTds));
    QCOMPARE(target.databaseName, QString());
    QVERIFY(!target.refusal.isEmpty());
    QVERIFY2(!target.refusal.contains(value), qPrintable(target.refusal));
}

void tst_ConnectionString::sqliteTargetKeepsItsFileAndOpensReadOnlyWhenAsked()
{
    const ConnectionSettings s =
        settingsOf({u"sqlite"_s, u"/dados/Loja #1.db"_s, u"main"_s, {}, {}});
    ConnectionOptions options;
    options.commandSeconds = 7;
    ConnectionTarget target = ConnectionString::build(s, options);
    QCOMPARE(target.backend, ConnectionTarget::Backend::Sqlite);
    QCOMPARE(target.file, s.strServidor); // the pass lock's file is beside it
    QCOMPARE(target.databaseName, u"file:///dados/Loja%20%231.db?mode=rw"_s);
    QCOMPARE(target.connectOptions, u"QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=7000"_s);
    QCOMPARE(target.statementSeconds, 7);
    options.readOnly = true;
    target = ConnectionString::build(s, options);
    QCOMPARE(target.databaseName, u"file:///dados/Loja%20%231.db?mode=ro"_s);
    QCOMPARE(target.connectOptions,
             u"QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=7000;QSQLITE_OPEN_READONLY"_s);
}

void tst_ConnectionString::environmentNamesTheOdbcDriver()
{
    qunsetenv("VELMORA_ODBC_DRIVER");
    QCOMPARE(ConnectionOptions::fromEnvironment().odbcDriver,
             ConnectionOptions::defaultOdbcDriver());
    qputenv("VELMORA_ODBC_DRIVER", "ODBC Driver 18 for SQL Server");
    const ConnectionOptions options = ConnectionOptions::fromEnvironment();
    qunsetenv("VELMORA_ODBC_DRIVER");
    QCOMPARE(options.odbcDriver, kMicrosoft);
    // Read where a program starts, never below: options made afterwards keep the default.
    qputenv("VELMORA_ODBC_DRIVER", "ODBC Driver 18 for SQL Server");
    const ConnectionTarget target = ConnectionString::build(
        settingsOf({u"SQL"_s, u"srv"_s, u"Loja"_s, u"sa"_s, u"pw"_s}), ConnectionOptions());
    qunsetenv("VELMORA_ODBC_DRIVER");
    QVERIFY2(target.databaseName.startsWith(u"Driver="_s + ConnectionOptions::defaultOdbcDriver()),
             qPrintable(target.databaseName));
}

QTEST_GUILESS_MAIN(tst_ConnectionString)
#include "tst_connectionstring.moc"
