// SPDX-License-Identifier: MIT
#include "db/ConnectionString.h"

#include <QTest>

namespace {
const QString kFreeTds = QStringLiteral("FreeTDS");
const QString kMicrosoft = QStringLiteral("ODBC Driver 18 for SQL Server");
const QString kTail = QStringLiteral("ClientCharset=UTF-8;Timeout=60;TDS_Version=7.4;");
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
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("expected");

    QTest::newRow("SQL login") << "SQL"
                               << "srv"
                               << "Loja"
                               << "sa"
                               << "pw" << kFreeTds
                               << "Driver=FreeTDS;Server=srv;Database=Loja;UID=sa;PWD=pw;" + kTail;
    QTest::newRow("integrated") << "WIN"
                                << "srv"
                                << "Loja"
                                << "sa"
                                << "pw" << kFreeTds
                                << "Driver=FreeTDS;Server=srv;Database=Loja;"
                                   "Trusted_Connection=Yes;" +
                                       kTail;
    QTest::newRow("host,port") << "SQL"
                               << "127.0.0.1, 1433"
                               << "Loja"
                               << "sa"
                               << "" << kFreeTds
                               << "Driver=FreeTDS;Server=127.0.0.1;Port=1433;Database=Loja;"
                                  "UID=sa;PWD=;" +
                                      kTail;
    QTest::newRow("named instance") << "WIN"
                                    << "srv\\LOJA"
                                    << ""
                                    << ""
                                    << "" << kFreeTds
                                    << "Driver=FreeTDS;Server=srv\\LOJA;Database=;"
                                       "Trusted_Connection=Yes;" +
                                           kTail;
    QTest::newRow("special characters") << "SQL"
                                        << "s=v"
                                        << "{Loja}"
                                        << "a b "
                                        << "p;w}}" << kFreeTds
                                        << "Driver=FreeTDS;Server={s=v};Database={{Loja}};"
                                           "UID={a b };PWD={p;w}}};" +
                                               kTail;
    QTest::newRow("Microsoft driver") << "SQL"
                                      << "srv,1433"
                                      << "Loja"
                                      << "sa"
                                      << "a};b" << kMicrosoft
                                      << "Driver=ODBC Driver 18 for SQL Server;Server=srv,1433;"
                                         "Database=Loja;UID=sa;PWD={a}};b};ClientCharset=UTF-8;";
    QTest::newRow("unknown mode") << "XYZ"
                                  << "srv"
                                  << "Loja"
                                  << "sa"
                                  << "pw" << kFreeTds << "";
    QTest::newRow("blank before mode") << " SQL"
                                       << "srv"
                                       << "Loja"
                                       << "sa"
                                       << "pw" << kFreeTds << "";
}

void tst_ConnectionString::buildsTheStringOfEachMode()
{
    QFETCH(QString, mode);
    QFETCH(QString, server);
    QFETCH(QString, database);
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(QString, driver);
    QFETCH(QString, expected);
    const ConnectionTarget target =
        ConnectionString::build(mode, server, database, login, password, {}, false, driver);
    QCOMPARE(target.driverName, QStringLiteral("QODBC"));
    QCOMPARE(target.refusal, QString());
    QCOMPARE(target.databaseName, expected);
    QCOMPARE(target.connectOptions, QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=30"));

    // Masking reads the values back as the driver does: with "***" for a password that
    // needs no quoting, it gives the string built with "***".
    const QString withStars = ConnectionString::build(mode, server, database, login,
                                                      QStringLiteral("***"), {}, false, driver)
                                  .databaseName;
    QCOMPARE(ConnectionString::masked(target.databaseName, driver), withStars);
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
    QStringList f = {QStringLiteral("srv"), QStringLiteral("Loja"), QStringLiteral("sa"),
                     QStringLiteral("pw")};
    f[field] = value;
    const ConnectionTarget target =
        ConnectionString::build(QStringLiteral("SQL"), f[0], f[1], f[2], f[3], {}, false, kFreeTds);
    QCOMPARE(target.databaseName, QString());
    QVERIFY(!target.refusal.isEmpty());
    QVERIFY2(!target.refusal.contains(value), qPrintable(target.refusal));
}

QTEST_GUILESS_MAIN(tst_ConnectionString)
#include "tst_connectionstring.moc"
