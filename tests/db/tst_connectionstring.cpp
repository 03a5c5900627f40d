// SPDX-License-Identifier: MIT
#include "db/ConnectionString.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kFreeTds = u"FreeTDS"_s;
const QString kMicrosoft = u"ODBC Driver 18 for SQL Server"_s;
const QString kMicrosoft17 = u"ODBC Driver 17 for SQL Server"_s;
const QString kWindows = u"SQL Server"_s;
const QString kTail = u"APP=Velmora;ClientCharset=UTF-8;Timeout=60;TDS_Version=7.4;"_s;
const QString kLogin = u"Database=Loja;UID=sa;PWD=pw;APP=Velmora;"_s;

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

/// The options of `driver` with the encryption "encrypt|trust|host name" (empty: none).
ConnectionOptions through(const QString &driver, const QString &encryption = {})
{
    ConnectionOptions options;
    options.odbcDriver = driver;
    const QStringList e = encryption.split(u'|');
    options.encrypt = e.value(0);
    options.trustServerCertificate = e.value(1);
    options.hostNameInCertificate = e.value(2);
    return options;
}
} // namespace

class tst_ConnectionString : public QObject
{
    Q_OBJECT
private slots:
    void buildsTheStringOfEachMode_data();
    void buildsTheStringOfEachMode();
    void mapsTheEncryptionOntoEachDriver_data();
    void mapsTheEncryptionOntoEachDriver();
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
        u"PWD={a}};b};APP=Velmora;ClientCharset=UTF-8;"_s);
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
    // A mode that is none of the three is refused by its place: its text may be the password's.
    QCOMPARE(target.refusal, expected.isEmpty() ? u"modo de ligação desconhecido no quinto campo "
                                                  "das definições (SQL, WIN ou SQLITE)"_s
                                                : QString());
    QCOMPARE(target.databaseName, expected);
    QCOMPARE(target.connectOptions, u"SQL_ATTR_LOGIN_TIMEOUT=30;SQL_ATTR_CONNECTION_TIMEOUT=60"_s);
    // FreeTDS takes as long again to call off a statement on a dead network: each statement
    // gets half of the command timeout there.
    if (!expected.isEmpty())
        QCOMPARE(target.statementSeconds, driver == kFreeTds ? 30 : 60);
}

void tst_ConnectionString::mapsTheEncryptionOntoEachDriver_data()
{
    // The driver, "encrypt|trust|host name", and what follows the login in the string built,
    // or, starting with "!", the variable its refusal names.
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("encryption");
    QTest::addColumn<QString>("expected");
    const QString freeTdsTail = u"ClientCharset=UTF-8;Timeout=60;TDS_Version=7.4;"_s;
    const QString tail = u"ClientCharset=UTF-8;"_s;
    QTest::newRow("FreeTDS, none") << kFreeTds << QString() << freeTdsTail;
    QTest::newRow("FreeTDS off") << kFreeTds << u"off"_s << u"Encryption=off;"_s + freeTdsTail;
    QTest::newRow("FreeTDS request")
        << kFreeTds << u"Request"_s << u"Encryption=request;"_s + freeTdsTail;
    QTest::newRow("FreeTDS require, trusted")
        << kFreeTds << u"require|yes"_s << u"Encryption=require;"_s + freeTdsTail;
    QTest::newRow("FreeTDS strict") << kFreeTds << u"strict"_s << u"!VELMORA_ENCRYPT"_s;
    QTest::newRow("FreeTDS checks no certificate")
        << kFreeTds << u"require|no"_s << u"!VELMORA_TRUST_SERVER_CERTIFICATE"_s;
    QTest::newRow("FreeTDS host name")
        << kFreeTds << u"require||db.loja.pt"_s << u"!VELMORA_HOST_NAME_IN_CERTIFICATE"_s;
    QTest::newRow("unknown word") << kFreeTds << u"yes"_s << u"!VELMORA_ENCRYPT"_s;
    QTest::newRow("Driver 18, none") << kMicrosoft << QString() << tail;
    QTest::newRow("Driver 18 off") << kMicrosoft << u"off"_s << u"Encrypt=no;"_s + tail;
    QTest::newRow("Driver 18 request") << kMicrosoft << u"request"_s << u"Encrypt=no;"_s + tail;
    QTest::newRow("Driver 18 require, self-signed")
        << kMicrosoft << u"require|yes"_s << u"Encrypt=yes;TrustServerCertificate=yes;"_s + tail;
    QTest::newRow("Driver 18 strict, host name")
        << kMicrosoft << u"strict|no|tcp:loja;1"_s
        << u"Encrypt=strict;TrustServerCertificate=no;HostNameInCertificate={tcp:loja;1};"_s + tail;
    QTest::newRow("Driver 18 trust maybe")
        << kMicrosoft << u"|maybe"_s << u"!VELMORA_TRUST_SERVER_CERTIFICATE"_s;
    QTest::newRow("Driver 17 require, trusted")
        << kMicrosoft17 << u"require|yes"_s << u"Encrypt=yes;TrustServerCertificate=yes;"_s + tail;
    QTest::newRow("Driver 17 strict") << kMicrosoft17 << u"strict"_s << u"!VELMORA_ENCRYPT"_s;
    QTest::newRow("Driver 17 host name")
        << kMicrosoft17 << u"||loja"_s << u"!VELMORA_HOST_NAME_IN_CERTIFICATE"_s;
    QTest::newRow("Windows driver require") << kWindows << u"require"_s << u"Encrypt=yes;"_s + tail;
}

void tst_ConnectionString::mapsTheEncryptionOntoEachDriver()
{
    QFETCH(QString, driver);
    QFETCH(QString, encryption);
    QFETCH(QString, expected);
    const ConnectionSettings settings =
        settingsOf({u"SQL"_s, u"srv,1433"_s, u"Loja"_s, u"sa"_s, u"pw"_s});
    const ConnectionOptions options = through(driver, encryption);
    const ConnectionTarget target = ConnectionString::build(settings, options);
    const QString refusal = ConnectionString::optionsRefusal(settings, options);
    QCOMPARE(target.refusal, refusal);
    if (expected.startsWith(u'!')) {
        QVERIFY2(refusal.startsWith(expected.mid(1)), qPrintable(refusal));
        QCOMPARE(target.databaseName, QString());
        return;
    }
    const QString server = driver == kFreeTds ? u"Server=srv;Port=1433;"_s : u"Server=srv,1433;"_s;
    QCOMPARE(target.databaseName, u"Driver="_s + driver + u';' + server + kLogin + expected);
    // SQLite takes none of it, and refuses none.
    QCOMPARE(ConnectionString::optionsRefusal(
                 settingsOf({u"SQLITE"_s, u"/dados/loja.db"_s, {}, {}, {}}), options),
             QString());
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
    // The encryption, as it is written: the driver's mapping checks it.
    qputenv("VELMORA_ENCRYPT", "Require");
    qputenv("VELMORA_TRUST_SERVER_CERTIFICATE", "yes");
    qputenv("VELMORA_HOST_NAME_IN_CERTIFICATE", "db.loja.pt");
    const ConnectionOptions encrypted = ConnectionOptions::fromEnvironment();
    qunsetenv("VELMORA_ENCRYPT");
    qunsetenv("VELMORA_TRUST_SERVER_CERTIFICATE");
    qunsetenv("VELMORA_HOST_NAME_IN_CERTIFICATE");
    QCOMPARE(QStringList({encrypted.encrypt, encrypted.trustServerCertificate,
                          encrypted.hostNameInCertificate}),
             QStringList({u"Require"_s, u"yes"_s, u"db.loja.pt"_s}));
}

QTEST_GUILESS_MAIN(tst_ConnectionString)
#include "tst_connectionstring.moc"
