// SPDX-License-Identifier: MIT
#include <QDate>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const QString kSqlite = u";main;;;SQLITE;"_s;
}

class tst_Cli : public QObject
{
    Q_OBJECT
private slots:
    void exitCodeTellsHowThePassEnded_data();
    void exitCodeTellsHowThePassEnded();
    void dryRunLeavesTheFileAsItWas();
    void demoPassSettlesTheExpectedCards();
    void portugueseTextReachesAFileIntact();

private:
    struct Run
    {
        int exitCode = -1;
        QString out; // line ends made "\n"
        QString err;
        bool platformLineEnds = false; // each line ends the way the platform's text files do
    };
    static QString fromPlatformText(const QByteArray &bytes, bool *platformLineEnds);
    static Run cli(const QStringList &arguments);
    QString demo();

    QTemporaryDir m_dir;
};

tst_Cli::Run tst_Cli::cli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(VELMORA_CLI), arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    bool outEnds = false;
    bool errEnds = false;
    run.out = fromPlatformText(process.readAllStandardOutput(), &outEnds);
    run.err = fromPlatformText(process.readAllStandardError(), &errEnds);
    run.platformLineEnds = outEnds && errEnds;
    return run;
}

/// Output into a pipe or file is UTF-8 whatever the system's code page, and its lines end in
/// CR LF on Windows, LF elsewhere.
QString tst_Cli::fromPlatformText(const QByteArray &bytes, bool *platformLineEnds)
{
    QString text = QString::fromUtf8(bytes);
#ifdef Q_OS_WIN
    *platformLineEnds = text.count(u"\r\n"_s) == text.count(u'\n');
    text.replace(u"\r\n"_s, u"\n"_s);
#else
    *platformLineEnds = !text.contains(u'\r');
#endif
    return text;
}

/// A fresh demonstration database; its file.
QString tst_Cli::demo()
{
    static int count = 0;
    const QString path = m_dir.filePath(u"demo%1.db"_s.arg(++count));
    const Run created = cli({u"--create-demo"_s, path});
    if (created.exitCode != 0)
        qWarning("--create-demo: %s", qPrintable(created.err));
    return path;
}

void tst_Cli::exitCodeTellsHowThePassEnded_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("messageOnStderr");
    QTest::newRow("completed") << QStringList{demo() + kSqlite} << 0 << false;
    QTest::newRow("missing file") << QStringList{m_dir.filePath("absent.db") + kSqlite} << 1
                                  << false;
    QTest::newRow("unknown option") << QStringList{"--bogus", demo() + kSqlite} << 2 << true;
    QTest::newRow("no server") << QStringList{kSqlite} << 2 << true;
    QTest::newRow("demo over an existing file")
        << QStringList{"--create-demo", demo()} << 2 << true;
}

void tst_Cli::exitCodeTellsHowThePassEnded()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(bool, messageOnStderr);
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(run.platformLineEnds);
    QCOMPARE(!run.err.trimmed().isEmpty(), messageOnStderr);
    if (exitCode == 1)
        QVERIFY(run.out.startsWith(u"Falha na Ligação ao Servidor! -> "_s));
}

void tst_Cli::dryRunLeavesTheFileAsItWas()
{
    QFile file(demo());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    const Run run = cli({u"--dry-run"_s, file.fileName() + kSqlite});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.platformLineEnds);
    QVERIFY(run.out.contains(u"Simulação: cartão nº 1001"_s));
    QVERIFY(run.out.endsWith(u"\nSimulação: nada foi gravado na base de dados.\n"_s));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == before);
}

void tst_Cli::demoPassSettlesTheExpectedCards()
{
    const QDate today = QDate::currentDate();
    const QString settings = demo() + kSqlite;
    const Run first = cli({settings});
    const Run second = cli({settings});
    if (QDate::currentDate() != today)
        QSKIP("the date changed during the test");
    QCOMPARE(first.exitCode, 0);
    QCOMPARE(second.exitCode, 0);
    QVERIFY(first.platformLineEnds);

    // Card numbers sort as text, so "10'09" comes first.
    QStringList expected;
    const QString cutoff = today.addYears(-1).toString(Qt::ISODate);
    for (const QString &numCartao :
         u"10'09 1001 1002 1003 1006 1006 1008 1010 1012 1013 1015 1016 1020"_s.split(u' '))
        expected << u"    Cartão nº %1 saldado até ao dia %2"_s.arg(numCartao, cutoff);
    auto cardLines = [](const QString &out) {
        return out.split(u'\n').filter(u"    Cartão nº "_s);
    };
    QCOMPARE(cardLines(first.out), expected);
    QVERIFY(first.out.startsWith(u"\nInício da Verificação - "_s));
    QCOMPARE(cardLines(second.out), QStringList());
}

void tst_Cli::portugueseTextReachesAFileIntact()
{
    // Standard output sent straight into a file, as Task Scheduler or cron redirections do.
    const QString log = m_dir.filePath(u"velmora.log"_s);
    QProcess process;
    process.setStandardOutputFile(log);
    process.start(QStringLiteral(VELMORA_CLI), {u"--dry-run"_s, demo() + kSqlite});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    for (const char *text : {"Início da Verificação", "Cartão nº", "Simulação: nada foi gravado"})
        QVERIFY2(bytes.contains(text), text);
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
