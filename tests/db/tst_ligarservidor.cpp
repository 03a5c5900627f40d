// SPDX-License-Identifier: MIT
#include "db/DbConnection.h"
#include "support/RecordingHost.h"
#include "support/TestDatabase.h"

#include <QSqlDatabase>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <future>
#include <thread>

namespace {
const QString kFailure = QStringLiteral("Falha na Ligação ao Servidor! -> ");

quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort(); // closed again when `server` goes
}

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
        // Pre-login response: version, and encryption not supported.
        socket->write(QByteArray::fromHex("0401001a00000100"
                                          "00000b0006"
                                          "0100110001"
                                          "ff"
                                          "0c0000000000"
                                          "02"));
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
    void freeTdsFailureCarriesTheDriversWordsWithoutPassword();
    void freeTdsGivesUpOnAServerThatNeverAnswers();
    void freeTdsReceivesThePasswordIntact_data();
    void freeTdsReceivesThePasswordIntact();
};

void tst_LigarServidor::init()
{
    qunsetenv("VELMORA_ODBC_DRIVER");
}

void tst_LigarServidor::blankServerReturnsFalseAndTouchesNothing()
{
    TestDatabase db;
    ConnectionSettings s = db.settings();
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(LigarServidor(cn, s.strServidor, {}, {}, s.strBaseDados, s.strModoLigacao, host));
    DbConnection *const before = cn.get();
    QString mode;
    QVERIFY(!LigarServidor(cn, QStringLiteral("   "), QStringLiteral("sa"), QStringLiteral("pw"),
                           QStringLiteral("Loja"), mode, host));
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
    QTest::newRow("win") << "win"
                         << "win"
                         << "Trusted_Connection=Yes;";
    QTest::newRow("Win") << "Win"
                         << "Win"
                         << "Trusted_Connection=Yes;";
    QTest::newRow("sql") << "sql"
                         << "sql"
                         << "UID=sa;PWD={p;w};";
    QTest::newRow("blank") << "  "
                           << "SQL"
                           << "UID=sa;PWD={p;w};";
    QTest::newRow("blank before") << " SQL"
                                  << " SQL"
                                  << "";
    QTest::newRow("unknown") << "XYZ"
                             << "XYZ"
                             << "";
}

void tst_LigarServidor::eachModeChoosesItsConnectionString()
{
    QFETCH(QString, mode);
    QFETCH(QString, modeAfter);
    QFETCH(QString, marker);
    // A driver library that does not exist: the open fails on this machine, with no network.
    qputenv("VELMORA_ODBC_DRIVER", "/nonexistent/velmora-odbc.so");
    RecordingHost host;
    host.text = QStringLiteral("antes\r\n");
    ConnectionPtr cn;
    QVERIFY(!LigarServidor(cn, QStringLiteral("srv"), QStringLiteral("sa"), QStringLiteral("p;w"),
                           QStringLiteral("Loja"), mode, host));
    QCOMPARE(mode, modeAfter);
    QVERIFY(cn);
    const QString connectionString = cn->database().databaseName();
    if (marker.isEmpty())
        QCOMPARE(connectionString, QString());
    else
        QVERIFY2(connectionString.contains(marker), qPrintable(connectionString));
    QVERIFY2(host.text.startsWith(QStringLiteral("antes\r\n") + kFailure), qPrintable(host.text));
    QVERIFY(host.text.endsWith(QStringLiteral("\r\n")));
    QCOMPARE(host.lines().size(), 2);
    QCOMPARE(host.calls, QStringList{QStringLiteral("append")});
}

void tst_LigarServidor::secondCallClosesTheFirstConnection()
{
    TestDatabase db;
    ConnectionSettings s = db.settings();
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(LigarServidor(cn, s.strServidor, {}, {}, s.strBaseDados, s.strModoLigacao, host));
    const QString first = cn->name();
    QVERIFY(LigarServidor(cn, s.strServidor, {}, {}, s.strBaseDados, s.strModoLigacao, host));
    QVERIFY(cn->name() != first);
    QVERIFY(!QSqlDatabase::contains(first));
    QVERIFY(cn->isOpen());
    QVERIFY(host.text.isEmpty());
}

void tst_LigarServidor::missingSqliteFileFailsAndIsNotCreated()
{
    TestDatabase db;
    const QString missing = db.folder() + QStringLiteral("/falta.db");
    QString mode = QStringLiteral("sqlite");
    RecordingHost host;
    ConnectionPtr cn;
    QVERIFY(!LigarServidor(cn, missing, {}, {}, QStringLiteral("main"), mode, host));
    QVERIFY(!QFile::exists(missing));
    QCOMPARE(host.text, kFailure + QStringLiteral("unable to open database file\r\n"));
}

void tst_LigarServidor::freeTdsFailureCarriesTheDriversWordsWithoutPassword()
{
    RecordingHost host;
    ConnectionPtr cn;
    QString mode = QStringLiteral("SQL");
    QVERIFY(!LigarServidor(cn, QStringLiteral("127.0.0.1,%1").arg(closedPort()),
                           QStringLiteral("sa"), QStringLiteral("Segr3do;x"),
                           QStringLiteral("Loja"), mode, host));
    QVERIFY2(host.text.startsWith(kFailure + QStringLiteral("[FreeTDS]")), qPrintable(host.text));
    QVERIFY(host.text.endsWith(QStringLiteral("\r\n")));
    QVERIFY(!host.text.contains(QStringLiteral("Segr3do")));
}

void tst_LigarServidor::freeTdsGivesUpOnAServerThatNeverAnswers()
{
    // Listening but never accepting: the system completes the connection and keeps what
    // FreeTDS sends, and no answer ever comes.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    RecordingHost host;
    ConnectionPtr cn;
    QString mode = QStringLiteral("SQL");
    QVERIFY(!LigarServidor(cn, QStringLiteral("127.0.0.1,%1").arg(silent.serverPort()),
                           QStringLiteral("sa"), QStringLiteral("pw"), QStringLiteral("Loja"), mode,
                           host, {2, 3}));
    QVERIFY2(host.text.startsWith(kFailure + QStringLiteral("[FreeTDS]")), qPrintable(host.text));
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
        ConnectionPtr cn;
        QString mode = QStringLiteral("SQL");
        QVERIFY(!LigarServidor(cn, QStringLiteral("127.0.0.1,%1").arg(port), QStringLiteral("sa"),
                               password, QStringLiteral("Loja"), mode, host, {5, 5}));
    });
    QCOMPARE(received, password);
    QVERIFY(!host.text.contains(password));
}

QTEST_GUILESS_MAIN(tst_LigarServidor)
#include "tst_ligarservidor.moc"
