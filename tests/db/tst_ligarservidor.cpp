// SPDX-License-Identifier: MIT
#include "support/RecordingHost.h"
#include "support/TestUtil.h"

#include <QSqlDatabase>
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

/// LigarServidor in SQL mode through FreeTDS to port `port` on this machine.
bool ligarLoopback(quint16 port, const QString &password, RecordingHost &host,
                   ConnectionString::Timeouts timeouts = {})
{
    ConnectionPtr cn;
    QString mode = u"SQL"_s;
    return LigarServidor(cn, u"127.0.0.1,%1"_s.arg(port), u"sa"_s, password, u"Loja"_s, mode, host,
                         timeouts);
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
    void missingSqliteFileFailsAndIsNotCreated();
    void freeTdsFailureCarriesTheDriversWordsWithoutPassword_data();
    void freeTdsFailureCarriesTheDriversWordsWithoutPassword();
    void freeTdsReceivesThePasswordIntact_data();
    void freeTdsReceivesThePasswordIntact();
    void namedInstanceIsFoundThroughTheBrowser();
};

void tst_LigarServidor::init()
{
    qunsetenv("VELMORA_ODBC_DRIVER");
}

void tst_LigarServidor::blankServerReturnsFalseAndTouchesNothing()
{
    TestDatabase db;
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(connectTo(db, cn, host));
    DbConnection *const before = cn.get();
    QString mode;
    QVERIFY(!LigarServidor(cn, u"   "_s, u"sa"_s, u"pw"_s, u"Loja"_s, mode, host));
    QCOMPARE(cn.get(), before);
    QVERIFY(cn->isOpen());
    QCOMPARE(mode, QString());
    QVERIFY(host.calls.isEmpty());
}

void tst_LigarServidor::eachModeChoosesItsConnectionString_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("modeAfter");
    QTest::addColumn<QString>("marker"); // what the connection string holds; empty: no string
    QTest::newRow("win") << u"win"_s << u"win"_s << u"Trusted_Connection=Yes;"_s;
    QTest::newRow("Win") << u"Win"_s << u"Win"_s << u"Trusted_Connection=Yes;"_s;
    QTest::newRow("sql") << u"sql"_s << u"sql"_s << u"UID=sa;PWD={p;w};"_s;
    QTest::newRow("blank") << u"  "_s << u"SQL"_s << u"UID=sa;PWD={p;w};"_s;
    QTest::newRow("blank before") << u" SQL"_s << u" SQL"_s << QString();
    QTest::newRow("unknown") << u"XYZ"_s << u"XYZ"_s << QString();
}

void tst_LigarServidor::eachModeChoosesItsConnectionString()
{
    QFETCH(QString, mode);
    QFETCH(QString, modeAfter);
    QFETCH(QString, marker);
    // A driver library that does not exist: the open fails on this machine, with no network.
    qputenv("VELMORA_ODBC_DRIVER", "/nonexistent/velmora-odbc.so");
    RecordingHost host;
    host.text = u"antes\r\n"_s;
    ConnectionPtr cn;
    QVERIFY(!LigarServidor(cn, u"srv"_s, u"sa"_s, u"p;w"_s, u"Loja"_s, mode, host));
    QCOMPARE(mode, modeAfter);
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

void tst_LigarServidor::missingSqliteFileFailsAndIsNotCreated()
{
    TestDatabase db;
    const QString missing = db.folder() + u"/falta.db"_s;
    QString mode = u"sqlite"_s;
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(!LigarServidor(cn, missing, {}, {}, u"main"_s, mode, host));
    QVERIFY(!QFile::exists(missing));
    QCOMPARE(host.text, kFailure + u"unable to open database file\r\n"_s);
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
    QVERIFY(!ligarLoopback(port, u"Segr3do;x"_s, host, {2, 3}));
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
    const QString received = passwordReceived([&](quint16 port) {
        QVERIFY(!ligarLoopback(port, password, host, {5, 5}));
    });
    QCOMPARE(received, password);
    QVERIFY(!host.text.contains(password));
}

void tst_LigarServidor::namedInstanceIsFoundThroughTheBrowser()
{
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
            QString mode = u"SQL"_s;
            LigarServidor(cn, u"127.0.0.1\\LOJA"_s, u"sa"_s, u"pw"_s, u"Loja"_s, mode, host,
                          {5, 5});
        }
        browserThread.join();
    });
    if (!bound)
        QSKIP("UDP port 1434 on 127.0.0.1 is taken");
    QVERIFY2(asked.contains("LOJA"), asked.toHex().constData());
    QCOMPARE(received, u"pw"_s);
}

QTEST_GUILESS_MAIN(tst_LigarServidor)
#include "tst_ligarservidor.moc"
