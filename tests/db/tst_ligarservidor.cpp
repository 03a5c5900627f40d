// SPDX-License-Identifier: MIT
#include "support/RecordingHost.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <future>
#include <thread>

using namespace Qt::StringLiterals;

namespace {
const QString kFailure = u"Falha na Ligação ao Servidor! -> "_s;

QByteArray readTdsPacket(QTcpSocket &socket)
{
    QByteArray packet;
    int length = 8;
    while (packet.size() < length && (socket.bytesAvailable() || socket.waitForReadyRead(10000))) {
        packet += socket.read(length - packet.size());
        if (packet.size() >= 8)
            length = qFromBigEndian<quint16>(packet.constData() + 2);
    }
    return packet;
}

/// A loopback server that answers the pre-login and reads the password out of the login
/// packet that follows (TDS 7: UTF-16, each byte XOR 0xA5 with its nibbles swapped).
QString passwordReceived(const std::function<void(quint16)> &connect)
{
    std::promise<quint16> listening;
    QString password;
    std::thread server([&] {
        QTcpServer listener;
        listener.listen(QHostAddress::LocalHost);
        listening.set_value(listener.serverPort());
        if (!listener.waitForNewConnection(10000))
            return;
        std::unique_ptr<QTcpSocket> socket(listener.nextPendingConnection());
        readTdsPacket(*socket);
        // Pre-login response: a version option, and encryption not supported.
        socket->write(QByteArray::fromHex("0401001a0000010000000b00060100110001ff0c000000000002"));
        socket->waitForBytesWritten(5000);
        QByteArray login = readTdsPacket(*socket);
        if (login.size() < 56)
            return;
        const char *body = login.constData() + 8;
        QByteArray raw = login.mid(8 + qFromLittleEndian<quint16>(body + 44),
                                   2 * qFromLittleEndian<quint16>(body + 46));
        for (char &c : raw) {
            const auto x = static_cast<quint8>(static_cast<quint8>(c) ^ 0xA5);
            c = static_cast<char>(static_cast<quint8>((x >> 4) | (x << 4)));
        }
        password =
            QString::fromUtf16(reinterpret_cast<const char16_t *>(raw.constData()), raw.size() / 2);
    });
    connect(listening.get_future().get());
    server.join();
    return password;
}

ConnectionSettings settings(const QString &server, const QString &login, const QString &password,
                            const QString &database, const QString &mode)
{
    ConnectionSettings s;
    s.strServidor = server;
    s.strUtilizador = login;
    s.strPassword = password;
    s.strBaseDados = database;
    s.strModoLigacao = mode;
    return s;
}

ConnectionOptions timeouts(int loginSeconds, int commandSeconds)
{
    ConnectionOptions options;
    options.loginSeconds = loginSeconds;
    options.commandSeconds = commandSeconds;
    return options;
}

/// LigarServidor in SQL mode through FreeTDS to port `port` on this machine.
bool ligarLoopback(quint16 port, const QString &password, RecordingHost &host,
                   const ConnectionOptions &options)
{
    ConnectionPtr cn;
    return LigarServidor(
        cn, settings(u"127.0.0.1,%1"_s.arg(port), u"sa"_s, password, u"Loja"_s, u"SQL"_s), options,
        host);
}
} // namespace

class tst_LigarServidor : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void blankServerReturnsFalseAndTouchesNothing();
    void eachModeChoosesItsConnectionString_data();
    void eachModeChoosesItsConnectionString();
    void secondCallClosesTheFirstConnection();
    void opensTheSqliteFileThePathNames_data();
    void opensTheSqliteFileThePathNames();
    void freeTdsFailureCarriesTheDriversWordsWithoutPassword_data();
    void freeTdsFailureCarriesTheDriversWordsWithoutPassword();
    void freeTdsReceivesThePasswordIntact_data();
    void freeTdsReceivesThePasswordIntact();
    void encryptionTheDriverCannotTakeIsAFailureLine();
    void namedInstanceIsFoundThroughTheBrowser();
    void windowsUsesItsOwnSqlServerDriver_data();
    void windowsUsesItsOwnSqlServerDriver();
};

void tst_LigarServidor::init()
{
#ifdef Q_OS_WIN
    if (QByteArray(QTest::currentTestFunction()).startsWith("freeTds"))
        QSKIP("FreeTDS is the driver on Linux; Windows uses its own SQL Server driver");
#endif
}

void tst_LigarServidor::blankServerReturnsFalseAndTouchesNothing()
{
    TestDatabase db;
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(connectTo(db, cn, host));
    DbConnection *const before = cn.get();
    QVERIFY(!LigarServidor(cn, settings(u"   "_s, u"sa"_s, u"pw"_s, u"Loja"_s, {}), {}, host));
    QCOMPARE(cn.get(), before);
    QVERIFY(cn->isOpen());
    QVERIFY(host.calls.isEmpty());
}

void tst_LigarServidor::eachModeChoosesItsConnectionString_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("marker"); // what the connection string holds; empty: no string
    QTest::newRow("win") << u"win"_s << u"Trusted_Connection=Yes;"_s;
    QTest::newRow("Win") << u"Win"_s << u"Trusted_Connection=Yes;"_s;
    QTest::newRow("sql") << u"sql"_s << u"UID=sa;PWD={p;w};"_s;
    QTest::newRow("blank") << u"  "_s << u"UID=sa;PWD={p;w};"_s;
    QTest::newRow("blank before") << u" SQL"_s << QString();
    QTest::newRow("unknown") << u"XYZ"_s << QString();
}

void tst_LigarServidor::eachModeChoosesItsConnectionString()
{
    QFETCH(QString, mode);
    QFETCH(QString, marker);
    // A driver library that does not exist: the open fails on this machine, with no network.
    ConnectionOptions options;
    options.odbcDriver = u"/nonexistent/velmora-odbc.so"_s;
    RecordingHost host;
    host.text = u"antes\r\n"_s;
    ConnectionPtr cn;
    QVERIFY(
        !LigarServidor(cn, settings(u"srv"_s, u"sa"_s, u"p;w"_s, u"Loja"_s, mode), options, host));
    QVERIFY(cn);
    const QString connectionString = cn->database().databaseName();
    if (marker.isEmpty())
        QCOMPARE(connectionString, QString());
    else
        QVERIFY2(connectionString.contains(marker), qPrintable(connectionString));
    QVERIFY2(host.text.startsWith(u"antes\r\n"_s + kFailure), qPrintable(host.text));
    QVERIFY(host.text.endsWith(u"\r\n"_s));
    QCOMPARE(host.lines().size(), 2);
    QCOMPARE(host.calls, QStringList{u"append"_s});
}

void tst_LigarServidor::secondCallClosesTheFirstConnection()
{
    TestDatabase db;
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(connectTo(db, cn, host));
    const QString first = cn->name();
    QVERIFY(connectTo(db, cn, host));
    QVERIFY(cn->name() != first);
    QVERIFY(!QSqlDatabase::contains(first));
    QVERIFY(cn->isOpen());
    QVERIFY(host.text.isEmpty());
}

void tst_LigarServidor::opensTheSqliteFileThePathNames_data()
{
    // The folder, under a temporary one or under VELMORA_TEST_UNC, and the form of the path.
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("native"); // backslashes on Windows
    QTest::addColumn<bool>("unc");
    QTest::newRow("plain") << u"dados"_s << false << false;
    QTest::newRow("blanks") << u"Os meus dados/pasta com espaços"_s << false << false;
    QTest::newRow("beyond Latin-1") << u"Ωμέγα/данные 日本"_s << false << false;
    QTest::newRow("percent and hash") << u"100% #1 x=y"_s << false << false;
#ifdef Q_OS_WIN
    QTest::newRow("drive letter, backslashes") << u"Os meus dados\\Ação"_s << true << false;
    QTest::newRow("UNC") << u"dados"_s << true << true;
    QTest::newRow("UNC, blanks and letters") << u"Ωμέγα com espaços"_s << true << true;
#endif
}

void tst_LigarServidor::opensTheSqliteFileThePathNames()
{
    QFETCH(QString, folder);
    QFETCH(bool, native);
    QFETCH(bool, unc);
    QTemporaryDir temporary;
    QString base = temporary.path();
    if (unc) {
        // A share set up for the tests (under Wine: a folder linked from dosdevices/unc).
        const QString share = qEnvironmentVariable("VELMORA_TEST_UNC");
        if (share.isEmpty() || !QDir(share).exists())
            QSKIP("VELMORA_TEST_UNC names no share, as \\\\host\\share");
        base = QDir::fromNativeSeparators(share) + u"/"_s + QFileInfo(temporary.path()).fileName();
    }
    const QString dir = base + u"/"_s + QDir::fromNativeSeparators(folder);
    QVERIFY2(QDir().mkpath(dir), qPrintable(dir));
    const auto cleanUp = qScopeGuard([&] {
        if (unc)
            QDir(base).removeRecursively();
    });
    // Two files, so that opening the wrong one shows.
    for (const QString &name : {u"a.db"_s, u"b.db"_s}) {
        const QString connection = u"make-"_s + name;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, connection);
            db.setDatabaseName(dir + u"/"_s + name);
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(u"create table Marca (nome text)"_s));
            QVERIFY(q.exec(u"insert into Marca values ('"_s + name + u"')"_s));
        }
        QSqlDatabase::removeDatabase(connection);
    }
    const auto path = [&](const QString &name) {
        const QString p = dir + u"/"_s + name;
        return native ? QDir::toNativeSeparators(p) : p;
    };
    RecordingHost host;
    ConnectionPtr cn;
    const auto file = [&](const QString &name) {
        return settings(path(name), {}, {}, u"main"_s, u"SQLITE"_s);
    };
    QVERIFY2(LigarServidor(cn, file(u"b.db"_s), {}, host),
             qPrintable(path(u"b.db"_s) + u" "_s + host.text));
    QSqlQuery q(cn->database());
    QVERIFY(q.exec(u"select nome from Marca"_s) && q.next());
    QCOMPARE(q.value(0).toString(), u"b.db"_s);
    q.finish();
    cn.reset();

    QVERIFY(!LigarServidor(cn, file(u"falta.db"_s), {}, host));
    QVERIFY(!QFile::exists(dir + u"/falta.db"_s));
    QVERIFY2(host.text.startsWith(kFailure), qPrintable(host.text));
}

void tst_LigarServidor::freeTdsFailureCarriesTheDriversWordsWithoutPassword_data()
{
    QTest::addColumn<bool>("listening");
    QTest::newRow("closed port") << false;
    // Listening but never accepting: the system completes the connection and keeps what
    // FreeTDS sends, and no answer ever comes.
    QTest::newRow("server that never answers") << true;
}

void tst_LigarServidor::freeTdsFailureCarriesTheDriversWordsWithoutPassword()
{
    QFETCH(bool, listening);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();
    if (!listening)
        server.close();
    RecordingHost host;
    QVERIFY(!ligarLoopback(port, u"Segr3do;x"_s, host, timeouts(2, 3)));
    QVERIFY2(host.text.startsWith(kFailure + u"[FreeTDS]"_s), qPrintable(host.text));
    QVERIFY(host.text.endsWith(u"\r\n"_s));
    QVERIFY(!host.text.contains(u"Segr3do"_s));
}

void tst_LigarServidor::freeTdsReceivesThePasswordIntact_data()
{
    QTest::addColumn<QString>("password");
    for (const char *p : {"plain", "se;cr=et", "a}}b", "{br}aced}", "pé; ß"})
        QTest::newRow(p) << QString::fromUtf8(p);
}

void tst_LigarServidor::freeTdsReceivesThePasswordIntact()
{
    QFETCH(QString, password);
    RecordingHost host;
    const QString received = passwordReceived(
        [&](quint16 port) { QVERIFY(!ligarLoopback(port, password, host, timeouts(5, 5))); });
    QCOMPARE(received, password);
    QVERIFY(!host.text.contains(password));
}

void tst_LigarServidor::encryptionTheDriverCannotTakeIsAFailureLine()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    ConnectionOptions options = timeouts(2, 3);
    options.odbcDriver = u"FreeTDS"_s;
    options.encrypt = u"strict"_s;
    RecordingHost host;
    QVERIFY(!ligarLoopback(server.serverPort(), u"pw"_s, host, options));
    QVERIFY2(host.text.startsWith(kFailure + u"VELMORA_ENCRYPT: "_s), qPrintable(host.text));
    QVERIFY(host.text.endsWith(u"\r\n"_s));
    QVERIFY(!server.hasPendingConnections()); // nothing was sent
}

void tst_LigarServidor::namedInstanceIsFoundThroughTheBrowser()
{
#ifdef Q_OS_WIN
    QSKIP("FreeTDS is not the driver on Windows");
#endif
    // A SQL Server Browser on this machine's UDP 1434 names the TCP port of instance LOJA: the
    // login must arrive on that port.
    QByteArray asked;
    bool bound = false;
    RecordingHost host;
    const QString received = passwordReceived([&](quint16 port) {
        std::promise<bool> ready;
        std::thread browserThread([&] {
            QUdpSocket browser;
            const bool ok = browser.bind(QHostAddress::LocalHost, 1434);
            ready.set_value(ok);
            if (!ok || !browser.waitForReadyRead(10000))
                return;
            QHostAddress from;
            quint16 fromPort = 0;
            asked.resize(int(browser.pendingDatagramSize()));
            browser.readDatagram(asked.data(), asked.size(), &from, &fromPort);
            const QByteArray answer = "ServerName;VELMORA;InstanceName;LOJA;IsClustered;No;"
                                      "Version;16.0.1000.6;tcp;" +
                                      QByteArray::number(port) + ";;";
            QByteArray reply("\x05");
            reply += char(answer.size() & 0xff);
            reply += char(answer.size() >> 8);
            browser.writeDatagram(reply + answer, from, fromPort);
            browser.waitForBytesWritten(5000);
        });
        bound = ready.get_future().get();
        if (bound) {
            ConnectionPtr cn;
            LigarServidor(cn, settings(u"127.0.0.1\\LOJA"_s, u"sa"_s, u"pw"_s, u"Loja"_s, u"SQL"_s),
                          timeouts(5, 5), host);
        }
        browserThread.join();
    });
    if (!bound)
        QSKIP("UDP port 1434 on 127.0.0.1 is taken");
    QVERIFY2(asked.contains("LOJA"), asked.toHex().constData());
    QCOMPARE(received, u"pw"_s);
}

void tst_LigarServidor::windowsUsesItsOwnSqlServerDriver_data()
{
    QTest::addColumn<QString>("driver"); // the options' ODBC driver; empty: the default
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("expected");
    const QString tail = u"APP=Velmora;ClientCharset=UTF-8;"_s;
    QTest::newRow("SQL login") << QString() << u"127.0.0.1,1433"_s << u"SQL"_s
                               << u"Driver=SQL Server;Server=127.0.0.1,1433;Database=Loja;UID=sa;"
                                  u"PWD={Segr3do;x};"_s +
                                      tail;
    QTest::newRow("integrated, named instance")
        << QString() << u"127.0.0.1\\LOJA"_s << u"WIN"_s
        << u"Driver=SQL Server;Server=127.0.0.1\\LOJA;Database=Loja;Trusted_Connection=Yes;"_s +
               tail;
    QTest::newRow("driver named") << u"ODBC Driver 18 for SQL Server"_s << u"127.0.0.1,1433"_s
                                  << u"SQL"_s
                                  << u"Driver=ODBC Driver 18 for SQL Server;Server=127.0.0.1,1433;"
                                     u"Database=Loja;UID=sa;PWD={Segr3do;x};"_s +
                                         tail;
}

void tst_LigarServidor::windowsUsesItsOwnSqlServerDriver()
{
#ifdef Q_OS_WIN
    QFETCH(QString, driver);
    QFETCH(QString, server);
    QFETCH(QString, mode);
    QFETCH(QString, expected);
    ConnectionOptions options;
    if (!driver.isEmpty())
        options.odbcDriver = driver;
    // No such driver is installed here: the driver manager's own words must reach the report.
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(!LigarServidor(cn, settings(server, u"sa"_s, u"Segr3do;x"_s, u"Loja"_s, mode), options,
                           host));
    QVERIFY(cn);
    QCOMPARE(cn->database().databaseName(), expected);
    QVERIFY2(host.text.startsWith(kFailure + u"["_s), qPrintable(host.text));
    QVERIFY2(host.text.contains(u"Driver Manager"_s, Qt::CaseInsensitive), qPrintable(host.text));
    QVERIFY(host.text.endsWith(u"\r\n"_s));
    QCOMPARE(host.lines().size(), 1);
    QVERIFY(!host.text.contains(u"Segr3do"_s));
#else
    QSKIP("Windows' own SQL Server driver is the default on Windows only");
#endif
}

QTEST_GUILESS_MAIN(tst_LigarServidor)
#include "tst_ligarservidor.moc"
