// SPDX-License-Identifier: MIT
// Encrypted connections, on a T-SQL server with TLS (VELMORA_TEST_SQLSERVER_TLS) beside the
// plain one (VELMORA_TEST_SQLSERVER); reports itself skipped without the first.
#include "db/CommandLine.h"
#include "settlement/PassTestUtil.h"

#include <QSqlError>
#include <QTest>

class tst_SqlServerTls : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void passWithRequireSettlesOverAnEncryptedSession();
    void requireAgainstAServerWithoutTlsNamesTheVariable();
    void defaultsConnectToBoth();

private:
    QString m_plain;
    QString m_tls;
};

namespace {

ConnectionSettings settingsOf(const QString &line)
{
    ConnectionSettings s = CommandLine::split(line);
    CommandLine::normaliseAndValidate(s);
    return s;
}

/// Points the scratch database of TestDatabase at another server while it lives.
class ScratchOn
{
public:
    explicit ScratchOn(const QString &line) : m_before(qgetenv("VELMORA_TEST_SQLSERVER"))
    {
        qputenv("VELMORA_TEST_SQLSERVER", line.toUtf8());
    }
    ~ScratchOn() { qputenv("VELMORA_TEST_SQLSERVER", m_before); }
    ScratchOn(const ScratchOn &) = delete;
    ScratchOn &operator=(const ScratchOn &) = delete;

private:
    QByteArray m_before;
};

} // namespace

void tst_SqlServerTls::initTestCase()
{
    TestDatabase::useServer();
    m_plain = TestDatabase::serverLine();
    m_tls = qEnvironmentVariable("VELMORA_TEST_SQLSERVER_TLS");
    if (m_tls.isEmpty())
        QSKIP("VELMORA_TEST_SQLSERVER_TLS is not set (\"server;database;login;password;SQL;\" "
              "of a T-SQL server with TLS)");
}

void tst_SqlServerTls::passWithRequireSettlesOverAnEncryptedSession()
{
    const ScratchOn onTls(m_tls);
    TestDatabase db;
    QVERIFY(db.isValid());
    db.addCard(u"A"_s, u"1"_s, {u"+ 10 2024-12-06"_s});
    // The sessions named Velmora, "id encrypt_option", as a sysadmin reads them while the pass
    // posts; and the pass's own session id.
    QStringList sessions;
    int passSession = -1;
    {
        const BeforeStatement whilePosting(
            [](const QSqlQuery *q, const QVariantList &v) { return postsFor(q, v, u"A"_s); },
            [&] {
                QSqlQuery own(passConnection());
                own.setForwardOnly(true);
                if (own.exec(u"select @@spid"_s) && own.next())
                    passSession = own.value(0).toInt();
                own.finish();
                QStringList f = m_tls.split(u';');
                f[2] = u"babelfish_user"_s;
                f[3] = u"Bbf_Passw0rd"_s;
                const ConnectionTarget target =
                    ConnectionString::build(settingsOf(f.join(u';')), ConnectionOptions());
                {
                    QSqlDatabase admin =
                        QSqlDatabase::addDatabase(target.driverName, u"tls-admin"_s);
                    admin.setDatabaseName(target.databaseName);
                    QSqlQuery q(admin);
                    q.setForwardOnly(true);
                    if (!admin.open() ||
                        !q.exec(
                            u"select c.session_id, c.encrypt_option "
                            "from sys.dm_exec_connections c join sys.dm_exec_sessions s "
                            "on s.session_id = c.session_id where s.program_name = 'Velmora'"_s))
                        sessions << admin.lastError().text() + q.lastError().text();
                    while (q.next())
                        sessions << q.value(0).toString() + u' ' + q.value(1).toString();
                    q.finish();
                    admin.close();
                }
                QSqlDatabase::removeDatabase(u"tls-admin"_s);
            });
        PassOptions options;
        options.connection = TestDatabase::connectionOptions();
        options.connection.encrypt = u"require"_s;
        RecordingHost host;
        const PassOutcome outcome =
            SettlementPass(db.settings(), host, host.manualClock, options).run();
        QVERIFY2(outcome == PassOutcome::Completed, qPrintable(host.text));
    }
    QVERIFY2(sessions.contains(u"%1 TRUE"_s.arg(passSession)), qPrintable(sessions.join(u", "_s)));
    QCOMPARE(posted(db, u"Terceiro"_s), QStringList{u"A"_s});
}

void tst_SqlServerTls::requireAgainstAServerWithoutTlsNamesTheVariable()
{
    if (m_plain.isEmpty())
        QSKIP("VELMORA_TEST_SQLSERVER is not set");
    ConnectionOptions options = TestDatabase::connectionOptions();
    options.encrypt = u"require"_s;
    RecordingHost report;
    ConnectionPtr cn;
    QVERIFY(!LigarServidor(cn, settingsOf(m_plain), options, report));
    QVERIFY2(report.text.startsWith(u"Falha na Ligação ao Servidor! -> "_s) &&
                 report.text.contains(u"VELMORA_ENCRYPT=require"_s),
             qPrintable(report.text));
}

void tst_SqlServerTls::defaultsConnectToBoth()
{
    for (const QString &line : {m_plain, m_tls}) {
        if (line.isEmpty())
            continue;
        RecordingHost report;
        ConnectionPtr cn;
        QVERIFY2(LigarServidor(cn, settingsOf(line), TestDatabase::connectionOptions(), report),
                 qPrintable(report.text));
    }
}

QTEST_GUILESS_MAIN(tst_SqlServerTls)
#include "tst_sqlservertls.moc"
