// SPDX-License-Identifier: MIT
#include "settlement/PassLock.h"
#include "support/TestUtil.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {
const QString kSqlite = u";main;;;SQLITE;"_s;
// A login and password that the SQLite mode accepts and ignores: they must never be printed.
const QString kSecret = u"Pw-9zq!k"_s;
const QString kSqliteWithSecret = u";main;velmora;"_s + kSecret + u";SQLITE;"_s;

/// The output without the start and end lines of a pass, which carry the time.
QString untimed(const QString &out)
{
    QStringList lines = out.split(u'\n');
    lines.removeIf([](const QString &l) { return l.contains(u"da Verificação - "_s); });
    return lines.join(u'\n');
}
} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT
private slots:
    void exitCodeTellsHowThePassEnded_data();
    void exitCodeTellsHowThePassEnded();
    void dryRunLeavesTheFileAsItWas();
    void refusedBeforeAnythingConnects_data();
    void refusedBeforeAnythingConnects();
    void noOutputHoldsThePasswordOrAFieldAfterIt();
    void failureNamesItsObject_data();
    void failureNamesItsObject();
    void readOnlyFileEndsThePassAsAFailure_data();
    void readOnlyFileEndsThePassAsAFailure();
    void twoPassesAtOnceSettleOnce();
    void twoPassesStartedTogetherNeverFail();
    void demoPassSettlesTheExpectedCards();
    void settingsFileActsAsTheArgument_data();
    void settingsFileActsAsTheArgument();
    void settingsFileRefused_data();
    void settingsFileRefused();
    void portugueseTextReachesAFileIntact();
    void forecastIsCsvOfTheComingLapsesAndWritesNothing_data();
    void forecastIsCsvOfTheComingLapsesAndWritesNothing();
    void forecastRefusedOrPutOff_data();
    void forecastRefusedOrPutOff();
    void auditAndStoryReadBesideAPass();
    void metricsNeverChangeTheExitCode_data();
    void metricsNeverChangeTheExitCode();
    void encryptionTheDriverCannotTakeIsABadSetting();
    void signalStopsThePassAtACardBoundary();

private:
    struct Run
    {
        int exitCode = -1;
        QString out; // line ends made "\n"
        QString err;
        bool platformLineEnds = false; // each line ends the way the platform's text files do
    };
    static QString fromPlatformText(const QByteArray &bytes, bool *platformLineEnds);
    static Run cli(const QStringList &arguments, const QByteArray &input = {},
                   const QString &workingDirectory = {},
                   const QString &program = QStringLiteral(VELMORA_CLI));
    QString demo();
    /// A fresh demonstration database on which `sql` has run, statement by statement (each
    /// but the last ending in ";" and a line break).
    QString demoWith(const QString &sql);
    QString heldDemo();
    QString settingsFile(const QByteArray &content, QFile::Permissions permissions);

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QLockFile>> m_heldLocks;
};

tst_Cli::Run tst_Cli::cli(const QStringList &arguments, const QByteArray &input,
                          const QString &workingDirectory, const QString &program)
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
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

QString tst_Cli::demoWith(const QString &sql)
{
    const QString path = demo();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"demo-with"_s);
        db.setDatabaseName(path);
        if (!db.open())
            qWarning("cannot open %s", qPrintable(path));
        for (const QString &statement : sql.split(u";\n"_s)) {
            if (!QSqlQuery(db).exec(statement))
                qWarning("cannot change %s", qPrintable(path));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(u"demo-with"_s);
    return path;
}

/// A new file holding `content`, with exactly `permissions`.
QString tst_Cli::settingsFile(const QByteArray &content, QFile::Permissions permissions)
{
    static int count = 0;
    QFile file(m_dir.filePath(u"settings%1"_s.arg(++count)));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.setPermissions(permissions))
        qWarning("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
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
    QTest::newRow("postings refused")
        << QStringList{demoWith(u"create trigger Recusa before insert on PontosHistorico when "
                                "new.LancManual = 1 and new.NumCartao = '1001' begin "
                                "select raise(abort, 'recusado'); end"_s) +
                       kSqlite}
        << 3 << false;
    // Card 1002's sums leave the amount's range: 10^15 points.
    QTest::newRow("a card that cannot be read")
        << QStringList{demoWith(u"insert into PontosHistorico (Terceiro, CliFor, NumCartao, Data, "
                                "Afecta, Pontos, LancManual) values "
                                "('C002', 'C', '1002', '2020-01-01', '+', 500000000000000, 0), "
                                "('C002', 'C', '1002', '2020-01-02', '+', 500000000000000, 0)"_s) +
                       kSqlite}
        << 3 << false;
    const QString busy = demo();
    m_heldLocks.push_back(std::make_unique<QLockFile>(PassLock::lockFilePath(busy)));
    if (!m_heldLocks.back()->tryLock(0))
        qWarning("cannot lock %s", qPrintable(busy));
    QTest::newRow("database busy") << QStringList{busy + kSqlite} << 4 << false;
    // Every name of the file meets the one lock.
    const QString byDots = QFileInfo(busy).path() + u"/sub/../"_s + QFileInfo(busy).fileName();
    QDir(QFileInfo(busy).path()).mkdir(u"sub"_s);
    QTest::newRow("database busy, by a path through ..")
        << QStringList{byDots + kSqlite} << 4 << false;
#ifndef Q_OS_WIN // a link there is a shortcut file, which SQLite does not follow
    const QString link = m_dir.filePath(u"link.db"_s);
    QFile::link(busy, link);
    QTest::newRow("database busy, by a symbolic link") << QStringList{link + kSqlite} << 4 << false;
#endif
    // A blank inside a field, where the shell split the line: one string again.
    QTest::newRow("settings split by the shell")
        << QStringList{demo() + u";main;velmora;pass"_s, u"word;SQLITE;"_s} << 0 << false;
    const QString blocked = demo();
    QDir().mkdir(PassLock::lockFilePath(blocked));
    QTest::newRow("lock cannot be taken") << QStringList{blocked + kSqlite} << 1 << false;
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
    const QString lines[] = {u"Falha na Ligação ao Servidor! -> "_s, u"   Falha! -> "_s,
                             u"Falha de Gravação no Histórico de Pontos\n"_s, kPutOff + u"\n"_s};
    if (exitCode == 1)
        QVERIFY2(run.out.startsWith(lines[0]) || run.out.contains(lines[1]), qPrintable(run.out));
    if (exitCode == 3)
        QVERIFY2(
            (run.out.contains(lines[2]) || run.out.contains(u"Falha no cartão nº 1002 -> "_s)) &&
                run.out.contains(u"Fim da Verificação"_s),
            qPrintable(run.out));
    if (exitCode == 4)
        QVERIFY2(run.out.contains(lines[3]) && !run.out.contains(u"Início"_s), qPrintable(run.out));
}

void tst_Cli::twoPassesAtOnceSettleOnce()
{
#ifdef Q_OS_WIN
    QSKIP("under Wine a SQLite file held by another connection does not hold the first pass");
#endif
    // The first pass is held inside its card walk, lock taken, by a write lock of ours on the
    // file; the second starts then and is put off.
    const QString file = demo();
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"holder"_s);
    db.setDatabaseName(file);
    QVERIFY(db.open());
    QVERIFY(QSqlQuery(db).exec(u"begin exclusive"_s));
    QProcess first;
    first.start(QStringLiteral(VELMORA_CLI), {file + kSqlite});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(PassLock::lockFilePath(file)), 20000);
    const Run second = cli({file + kSqlite});
    QVERIFY(QSqlQuery(db).exec(u"commit"_s));
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(second.exitCode, 4);
    QVERIFY(!second.out.contains(u"Início"_s));
    QCOMPARE(first.exitCode(), 0);
    const QString firstOut = QString::fromLocal8Bit(first.readAllStandardOutput());
    QCOMPARE(firstOut.count(u"    Cartão nº "_s), 14);
    // Once the first has ended, the lock is free again and there is nothing left to settle.
    const Run third = cli({file + kSqlite});
    QCOMPARE(third.exitCode, 0);
    QCOMPARE(third.out.count(u"    Cartão nº "_s), 0);
    QSqlQuery posted(db);
    QVERIFY(posted.exec(u"select count(*) from PontosHistorico where LancManual = 1"_s));
    QVERIFY(posted.next());
    // One pass's rows, not two: thirteen lapses and the one lift of the demonstration.
    QCOMPARE(posted.value(0).toInt(), 14);
    posted = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(u"holder"_s);
}

void tst_Cli::twoPassesStartedTogetherNeverFail()
{
    // Started at the same moment, one pass takes the lock and the other is put off, or the
    // other starts after the first has ended and finds nothing left to settle. Each round runs
    // on a fresh copy of the demonstration file, so that the first pass always has work.
    const QString original = demo();
    for (int round = 0; round < 50; ++round) {
        const QString file = m_dir.filePath(u"race%1.db"_s.arg(round));
        QVERIFY(QFile::copy(original, file));
        QProcess passes[2];
        for (QProcess &pass : passes)
            pass.start(QStringLiteral(VELMORA_CLI), {file + kSqlite});
        QList<int> codes;
        QString out;
        for (QProcess &pass : passes) {
            QVERIFY(pass.waitForFinished(60000));
            codes << pass.exitCode();
            out += QString::fromUtf8(pass.readAllStandardOutput());
        }
        std::sort(codes.begin(), codes.end());
        QVERIFY2(codes == QList({0, 0}) || codes == QList({0, 4}), qPrintable(out));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"race"_s);
            db.setDatabaseName(file);
            QVERIFY(db.open());
            QSqlQuery posted(u"select count(*) from PontosHistorico where LancManual = 1"_s, db);
            QVERIFY(posted.next());
            // One pass's rows, not two: thirteen lapses and the one lift of the demonstration.
            QCOMPARE(posted.value(0).toInt(), 14);
        }
        QSqlDatabase::removeDatabase(u"race"_s);
    }
}

void tst_Cli::dryRunLeavesTheFileAsItWas()
{
    QFile file(demo());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    const QDate today = QDate::currentDate();
    const Run run = cli({u"--dry-run"_s, file.fileName() + kSqlite});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.platformLineEnds);
    QVERIFY(run.out.contains(u"Simulação: cartão nº 1001"_s));
    // Each card says what would be done, not that it was.
    const QString cutoff = today.addYears(-1).toString(Qt::ISODate);
    if (QDate::currentDate() != today)
        QSKIP("the date changed during the test");
    QVERIFY2(run.out.contains(u"\n    Cartão nº 1001 seria saldado até ao dia "_s + cutoff + u'\n'),
             qPrintable(run.out));
    QVERIFY(!run.out.contains(u"1001 saldado"_s));
    QVERIFY(run.out.endsWith(u"\nSimulação: nada foi gravado na base de dados.\n"_s));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == before);
}

void tst_Cli::refusedBeforeAnythingConnects_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message"); // on standard error; empty: the usage alone
    QTest::addColumn<bool>("usage");
    const QString file = demo();
    // The stray text is not shown: after the third ";" it may be a piece of the password.
    const QString stray = u"texto inesperado no fim das definições, depois do %1.º campo "
                          "(não se mostra)"_s;
    QTest::newRow("a word meant as an option")
        << QStringList{file + kSqlite, u"dry-run"_s} << stray.arg(5) << true;
    QTest::newRow("two words the shell split")
        << QStringList{file + kSqlite, u"dry"_s, u"run"_s} << stray.arg(5) << true;
    QTest::newRow("a line split inside a field, then a word")
        << QStringList{file + u";main;;"_s, u";SQLITE;"_s, u"agora"_s} << stray.arg(5) << true;
    QTest::newRow("a mode without its ;")
        << QStringList{file + u";main;;;SQLITE"_s} << stray.arg(4) << true;
    QTest::newRow("a password without its ;") << QStringList{file + u";main;velmora;"_s + kSecret}
                                              << u"no lugar da palavra-passe"_s << true;
    QTest::newRow("a word after the line of a settings file")
        << QStringList{u"--settings"_s, settingsFile((file + kSqlite + u" dry-run\n"_s).toUtf8(),
                                                     QFile::ReadOwner | QFile::WriteOwner)}
        << stray.arg(5) << true;
    QTest::newRow("a sixth field") << QStringList{file + kSqliteWithSecret + u"extra;"_s}
                                   << u"a linha de definições tem 6 campos, e são cinco"_s << true;
    QTest::newRow("no settings") << QStringList() << QString() << true;
    QTest::newRow("options but no settings") << QStringList{u"--dry-run"_s} << QString() << true;
    // A device or a FIFO would be replaced by the rename or block the write, and a folder
    // cannot be written at all.
    QTest::newRow("--metrics on a folder")
        << QStringList{u"--metrics"_s, m_dir.path(), file + kSqlite}
        << u"existe e não é um ficheiro normal"_s << false;
#ifndef Q_OS_WIN
    QTest::newRow("--metrics on a device")
        << QStringList{u"--metrics"_s, u"/dev/null"_s, file + kSqlite}
        << u"--metrics: /dev/null existe e não é um ficheiro normal"_s << false;
#endif
    QTest::newRow("--metrics with --dry-run")
        << QStringList{u"--dry-run"_s, u"--metrics"_s, m_dir.filePath(u"dry.prom"_s),
                       file + kSqlite}
        << u"--metrics guarda os números de uma verificação; não se usa com --dry-run"_s << false;
}

void tst_Cli::refusedBeforeAnythingConnects()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QFETCH(bool, usage);
    const QFileInfoList before = QDir(m_dir.path()).entryInfoList(QDir::Files);
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.err.contains(u"\nUsage: velmora-cli "_s) || run.err.startsWith(u"Usage: "_s),
             usage);
    QVERIFY(!run.err.contains(kSecret));
    // Nothing was opened or written: no lock file, no metrics, every file as it was.
    const QFileInfoList after = QDir(m_dir.path()).entryInfoList(QDir::Files);
    QCOMPARE(after.size(), before.size());
    for (qsizetype i = 0; i < after.size(); ++i)
        QCOMPARE(after.at(i).lastModified(), before.at(i).lastModified());
}

void tst_Cli::noOutputHoldsThePasswordOrAFieldAfterIt()
{
    // Lines with ";", braces and "=" in the password, braced or not, and stray fields or text
    // after the mode: whatever is refused or run, nothing from the password on is printed.
    QRandomGenerator rng(20261210);
    const QString file = demo();
    const char alphabet[] = {';', ';', '{', '}', '}', '=', 'a', ' '};
    for (int round = 0; round < 120; ++round) {
        QString password = u"K9x"_s;
        for (int i = int(rng.bounded(8)); i > 0; --i)
            password += QLatin1Char(alphabet[rng.bounded(int(sizeof alphabet))]);
        password += u"W4v"_s;
        const bool braced = rng.bounded(2) == 0;
        const QString field =
            braced ? u'{' + QString(password).replace(u"}"_s, u"}}"_s) + u'}' : password;
        const bool odd = rng.bounded(3) == 0;
        QString line = file + u";main;velmora;"_s + field + (odd ? u";Q7pLITE;"_s : u";SQLITE;"_s);
        const int stray = int(rng.bounded(3));
        if (stray == 1)
            line += u"Q7p;"_s;
        else if (stray == 2)
            line += u"Q7p"_s;
        const Run run = cli({u"--dry-run"_s, line});
        const QString output = run.out + run.err;
        for (const QString &piece : {u"K9x"_s, u"W4v"_s, u"Q7p"_s})
            QVERIFY2(!output.contains(piece, Qt::CaseInsensitive),
                     qPrintable(line + u" -> "_s + output));
        if (braced && !odd && stray == 0)
            QVERIFY2(run.exitCode == 0, qPrintable(line + u" -> "_s + output));
    }
}

void tst_Cli::failureNamesItsObject_data()
{
    QTest::addColumn<QStringList>("arguments"); // run in the temporary folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line"); // the whole output, standard output then error
    QDir(m_dir.path()).mkdir(u"dados"_s);
    const QString connection = u"Falha na Ligação ao Servidor! -> "_s;
    const QString unopened = u"unable to open database file: "_s;
    const auto native = [this](const QString &name) {
        return QDir::toNativeSeparators(m_dir.filePath(name));
    };
    QTest::newRow("no such file") << QStringList{u"dados/falta.db;main;;;SQLITE;"_s} << 1
                                  << connection + unopened + native(u"dados/falta.db"_s) +
                                         u" (o ficheiro não existe)\n"_s;
    QTest::newRow("no such folder")
        << QStringList{u"nada/falta.db;main;;;SQLITE;"_s} << 1
        << connection + unopened + native(u"nada/falta.db"_s) + u" (a pasta "_s +
               native(u"nada"_s) + u" não existe)\n"_s;
    QTest::newRow("demo in no such folder")
        << QStringList{u"--create-demo"_s, u"nada/demo.db"_s} << 2
        << unopened + native(u"nada/demo.db"_s) + u" (a pasta "_s + native(u"nada"_s) +
               u" não existe)\n"_s;
    QTest::newRow("unknown mode")
        << QStringList{demo() + u";main;;;lite;"_s} << 1
        << connection + u"modo de ligação desconhecido no quinto campo das definições (SQL, WIN ou "
                        "SQLITE)\n"_s;
}

void tst_Cli::failureNamesItsObject()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    const Run run = cli(arguments, {}, m_dir.path());
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out + run.err, line);
    if (QTest::currentDataTag() != QByteArray("no such file"))
        return;
    // A file that is there, but no database: its line names it too, after the driver's words.
    QFile junk(m_dir.filePath(u"dados/lixo.db"_s));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'x'));
    junk.close();
    const Run foreign = cli({u"dados/lixo.db;main;;;SQLITE;"_s}, {}, m_dir.path());
    QCOMPARE(foreign.exitCode, 1);
    QVERIFY2(foreign.out.contains(u"Falha! -> file is not a database: "_s +
                                  QDir::toNativeSeparators(m_dir.filePath(u"dados/lixo.db"_s))),
             qPrintable(foreign.out));
}

void tst_Cli::readOnlyFileEndsThePassAsAFailure_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("per card") << QStringList();
    QTest::newRow("set-based") << QStringList{u"--set-based"_s};
}

void tst_Cli::readOnlyFileEndsThePassAsAFailure()
{
#ifndef Q_OS_UNIX
    QSKIP("a file mode that refuses the user is POSIX's");
#else
    QFETCH(QStringList, options);
    // A file that the user may only read, in a folder the user may write.
    QTemporaryDir dir(QDir::tempPath() + u"/velmora-ro-XXXXXX"_s);
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadUser | QFile::WriteUser | QFile::ExeUser |
                                                  QFile::ReadOther | QFile::WriteOther |
                                                  QFile::ExeOther));
    const QString file = dir.filePath(u"ro.db"_s);
    QCOMPARE(cli({u"--create-demo"_s, file}).exitCode, 0);
    QVERIFY(QFile::setPermissions(file, QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther));
    QFile db(file);
    QVERIFY(db.open(QIODevice::ReadOnly));
    const QByteArray before = db.readAll();
    db.close();
    QStringList arguments = options << file + kSqlite;
    QString program = QStringLiteral(VELMORA_CLI);
    // Root writes any file: the pass then runs as nobody, from a copy of velmora-cli there.
    if (::geteuid() == 0) {
        const QString copy = dir.filePath(u"velmora-cli"_s);
        QVERIFY(QFile::copy(program, copy));
        const QStringList asNobody{u"-u"_s, u"nobody"_s, u"--"_s};
        if (QProcess::execute(u"runuser"_s, asNobody + QStringList{u"test"_s, u"-x"_s, copy}) != 0)
            QSKIP("the user nobody cannot run a copy of velmora-cli here");
        program = u"runuser"_s;
        arguments = asNobody + QStringList{copy} + arguments;
    }
    const Run run = cli(arguments, {}, {}, program);
    // At most one posting refused, then the failure, naming the file and the cause.
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.count(u"Falha de Gravação no Histórico de Pontos\n"_s) <= 1);
    QVERIFY2(run.out.contains(u"   Falha! -> a base de dados "_s + file +
                              u" não aceita gravações: só permite leitura ("_s),
             qPrintable(run.out));
    QVERIFY(!run.out.contains(u"Fim da Verificação"_s));
    QVERIFY(db.open(QIODevice::ReadOnly));
    QVERIFY(db.readAll() == before);
#endif
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
         u"10'09 1001 1002 1003 1006 1006 1008 1010 1012 1013 1015 1016 1020 1022"_s.split(u' '))
        expected << u"    Cartão nº %1 saldado até ao dia %2"_s.arg(numCartao, cutoff);
    auto cardLines = [](const QString &out) {
        return out.split(u'\n').filter(u"    Cartão nº "_s);
    };
    QCOMPARE(cardLines(first.out), expected);
    QVERIFY(first.out.startsWith(u"\nInício da Verificação - "_s));
    QCOMPARE(cardLines(second.out), QStringList());
}

void tst_Cli::settingsFileActsAsTheArgument_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("completed") << demo() + kSqliteWithSecret << QByteArray("\n") << 0;
    QTest::newRow("CR LF ending") << demo() + kSqliteWithSecret << QByteArray("\r\n") << 0;
    QTest::newRow("no ending") << demo() + kSqliteWithSecret << QByteArray() << 0;
    QTest::newRow("empty") << QString() << QByteArray() << 2;
    QTest::newRow("no server") << kSqliteWithSecret << QByteArray("\n") << 2;
    QTest::newRow("no login") << u"sqlhost;Fidelizacao;;%1;SQL;"_s.arg(kSecret) << QByteArray("\n")
                              << 2;
}

void tst_Cli::settingsFileActsAsTheArgument()
{
    QFETCH(QString, line);
    QFETCH(QByteArray, ending);
    QFETCH(int, exitCode);
    const QByteArray content = line.toUtf8() + ending;
    const QString file = settingsFile(content, QFile::ReadOwner | QFile::WriteOwner);

    // --dry-run leaves the demo database as it was, so the three runs see the same cards.
    const Run byArgument = cli({u"--dry-run"_s, line});
    QCOMPARE(byArgument.exitCode, exitCode);
    const Run runs[] = {cli({u"--dry-run"_s, u"--settings"_s, file}),
                        cli({u"--dry-run"_s, u"--settings"_s, u"-"_s}, content)};
    for (const Run &run : runs) {
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.err, byArgument.err);
        QCOMPARE(untimed(run.out), untimed(byArgument.out));
        QVERIFY(!run.out.contains(kSecret));
        QVERIFY(!run.err.contains(kSecret));
    }
}

void tst_Cli::settingsFileRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    const QByteArray content = (demo() + kSqliteWithSecret + u'\n').toUtf8();
    const auto withFile = [](const QString &file) {
        return QStringList{u"--settings"_s, file};
    };
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
#ifndef Q_OS_WIN // Windows keeps access in the file's ACL: there are no mode bits to refuse
    QTest::newRow("readable by others")
        << withFile(settingsFile(content, ownerOnly | QFile::ReadOther)) << u"(chmod 600)"_s;
    QTest::newRow("writable by the group")
        << withFile(settingsFile(content, ownerOnly | QFile::WriteGroup)) << u"modo 0620"_s;
#endif
    QTest::newRow("missing file") << withFile(m_dir.filePath(u"absent"_s))
                                  << u"não foi possível abrir o ficheiro de definições "_s;
    // Windows refuses to open a folder as a file; elsewhere it opens, and cannot be read.
    QTest::newRow("a folder") << withFile(m_dir.path()) << u"não foi possível "_s;
    QTest::newRow("two lines") << withFile(settingsFile(content + content, ownerOnly))
                               << u"deve ter uma só linha"_s;
    QTest::newRow("not UTF-8") << withFile(settingsFile("x\xff;main;;;SQLITE;", ownerOnly))
                               << u"não é texto UTF-8"_s;
    QTest::newRow("and an argument")
        << withFile(settingsFile(content, ownerOnly)) + QStringList{demo() + kSqlite}
        << u"não com os dois"_s;
    QTest::newRow("twice") << withFile(settingsFile(content, ownerOnly)) + withFile(u"-"_s)
                           << u"uma vez"_s;
}

void tst_Cli::settingsFileRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QVERIFY(!run.err.contains(kSecret));
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

/// A fresh demonstration database whose pass lock another pass holds.
QString tst_Cli::heldDemo()
{
    const QString file = demo();
    m_heldLocks.push_back(std::make_unique<QLockFile>(PassLock::lockFilePath(file)));
    if (!m_heldLocks.back()->tryLock(0))
        qWarning("cannot lock %s", qPrintable(file));
    return file;
}

void tst_Cli::forecastIsCsvOfTheComingLapsesAndWritesNothing_data()
{
    QTest::addColumn<QString>("strategy");
    QTest::newRow("per card") << QString();
    QTest::newRow("set-based") << u"--set-based"_s;
}

void tst_Cli::forecastIsCsvOfTheComingLapsesAndWritesNothing()
{
    QFETCH(QString, strategy);
    // A pass settles what is due today; a card whose 40 points were earned a year ago less
    // three days then lapses at the first pass whose cutoff reaches that day.
    const QDate today = QDate::currentDate();
    const QDate earned = today.addYears(-1).addDays(3);
    const QString file = demoWith(
        u"insert into PontosCartoes (Cliente, NumCartao) values ('Silva, \"Zé\"', '2001');\n"
        "insert into PontosHistorico (Terceiro, CliFor, NumCartao, Data, Afecta, Pontos, "
        "LancManual) values ('Silva, \"Zé\"', 'C', '2001', '%1', '+', 40, 0)"_s.arg(
            earned.toString(Qt::ISODate)));
    QCOMPARE(cli({file + kSqlite}).exitCode, 0);
    QFile db(file);
    QVERIFY(db.open(QIODevice::ReadOnly));
    const QByteArray before = db.readAll();
    db.close();

    QStringList arguments{u"--expiring"_s, u"366"_s, file + kSqlite};
    if (!strategy.isEmpty())
        arguments.prepend(strategy);
    QProcess process;
    process.start(QStringLiteral(VELMORA_CLI), arguments);
    QVERIFY(process.waitForFinished(60000));
    const QByteArray out = process.readAllStandardOutput();
    const QString err = QString::fromUtf8(process.readAllStandardError());
    if (QDate::currentDate() != today)
        QSKIP("the date changed during the test");
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(db.open(QIODevice::ReadOnly));
    QVERIFY(db.readAll() == before);
    QVERIFY(!QFileInfo::exists(PassLock::lockFilePath(file)));

    // CR LF after every line, whatever the platform, and nothing else.
    QVERIFY2(out.startsWith("Cliente,NumCartao,Data,Pontos,Saldo\r\n"), out.constData());
    QVERIFY(out.endsWith("\r\n"));
    QCOMPARE(out.count("\r\n"), out.count('\n'));
    QCOMPARE(out.count('\r'), out.count('\n'));
    int k = 1;
    while (today.addDays(k).addYears(-1) < earned)
        ++k;
    const QByteArray line = "\"Silva, \"\"Zé\"\"\",2001," +
                            today.addDays(k).toString(Qt::ISODate).toLatin1() + ",40,40\r\n";
    QVERIFY2(out.contains("\r\n" + line), out.constData());
    // The demonstration's card with only recent points: 45 of them, which lapse in a year.
    QVERIFY2(out.contains("\r\nC017,1017,"), out.constData());
    QVERIFY2(err.contains(u"   Previsão de caducidade (366 dias, até "_s), qPrintable(err));
}

void tst_Cli::forecastRefusedOrPutOff_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // on standard error
    const QString settings = demo() + kSqlite;
    const QString message = u"--expiring: o número de dias deve ser um inteiro de 1 a 366"_s;
    for (const char *days : {"0", "367", "30x", "-1"})
        QTest::addRow("%s days", days)
            << QStringList{u"--expiring"_s, QString::fromLatin1(days), settings} << 2 << message;
    QTest::newRow("with --metrics") << QStringList{u"--expiring"_s, u"30"_s, u"--metrics"_s,
                                                   m_dir.filePath(u"m.prom"_s), settings}
                                    << 2 << u"não se usa com --expiring"_s;
    QTest::newRow("database busy")
        << QStringList{u"--expiring"_s, u"30"_s, heldDemo() + kSqlite} << 4 << kPutOff;
    QTest::newRow("audit with --set-based") << QStringList{u"--audit"_s, u"--set-based"_s, settings}
                                            << 2 << u"--audit não se usa com --set-based"_s;
    QTest::newRow("story with --dry-run")
        << QStringList{u"--explain"_s, u"1003"_s, u"--dry-run"_s, settings} << 2
        << u"--explain não se usa com --dry-run"_s;
    QTest::newRow("audit with a stray word")
        << QStringList{u"--audit"_s, settings, u"extra"_s} << 2 << u"texto inesperado"_s;
    QTest::newRow("--customer alone") << QStringList{u"--customer"_s, u"C003"_s, settings} << 2
                                      << u"--customer só se usa com --explain"_s;
    QTest::newRow("missing file") << QStringList{u"--expiring"_s, u"30"_s,
                                                 m_dir.filePath(u"absent.db"_s) + kSqlite}
                                  << 1 << u"Falha na Ligação ao Servidor! -> "_s;
}

void tst_Cli::forecastRefusedOrPutOff()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, QString()); // not even the header
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
}

void tst_Cli::auditAndStoryReadBesideAPass()
{
    // A pass holds the lock: the audit and a card's story read the snapshot all the same.
    const QString settings = heldDemo() + kSqlite;
    Run run = cli({u"--audit"_s, settings});
    QCOMPARE(run.exitCode, 0);
    // The CSV's CR LF are the forecast's, tested there; Windows' reading makes them "\n".
    const QString csv = QString(run.out).remove(u'\r');
    QVERIFY2(csv.startsWith(u"Cliente,NumCartao,Saldo,SaldoLotes,Caducados,CaducadosLotes,"
                            "Diferenca\n"_s),
             qPrintable(csv));
    // Recent points only; 20 of card 1003's old points are due, and no pass took them yet.
    QVERIFY2(csv.contains(u"\nC017,1017,45,45,0,0,0\n"_s), qPrintable(csv));
    QVERIFY2(csv.contains(u"\nC003,1003,20,0,0,20,20\n"_s), qPrintable(csv));
    QVERIFY2(run.err.contains(u"Auditoria dos lotes: 22 cartões lidos, 11 diferem"_s),
             qPrintable(run.err));
    run = cli({u"--explain"_s, u"1006"_s, u"--customer"_s, u"C007"_s, settings});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith(u"Cartão nº 1006 do cliente C007, em "_s), qPrintable(run.out));
    QVERIFY2(!run.out.contains(u"C006"_s), qPrintable(run.out));
    QVERIFY2(run.out.contains(u"15 além dos lotes, em falta\n"_s), qPrintable(run.out));
    run = cli({u"--explain"_s, u"9999"_s, settings});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(u"o cartão nº 9999 não tem movimentos no histórico"_s),
             qPrintable(run.err));
}

void tst_Cli::metricsNeverChangeTheExitCode_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outcome"); // empty: the file cannot be written
    QTest::newRow("completed") << demo() + kSqlite << 0 << u"completed"_s;
    QTest::newRow("completed, folder not writable") << demo() + kSqlite << 0 << QString();
    QTest::newRow("postings refused")
        << demoWith(u"create trigger Recusa before insert on PontosHistorico when "
                    "new.LancManual = 1 and new.NumCartao = '1001' begin "
                    "select raise(abort, 'recusado'); end"_s) +
               kSqlite
        << 3 << u"refused"_s;
    QTest::newRow("database busy") << heldDemo() + kSqlite << 4 << u"busy"_s;
}

void tst_Cli::metricsNeverChangeTheExitCode()
{
    QFETCH(QString, settings);
    QFETCH(int, exitCode);
    QFETCH(QString, outcome);
    static int count = 0;
    const QString folder = m_dir.filePath(u"metrics%1"_s.arg(++count));
    // A file where the folder should be: no user, root included, can write into it.
    QFile blocker(folder);
    if (outcome.isEmpty())
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    else
        QVERIFY(QDir().mkdir(folder));
    blocker.close();
    const QString path = folder + u"/velmora.prom"_s;
    const Run run = cli({u"--metrics"_s, path, settings});
    QCOMPARE(run.exitCode, exitCode);
    const QString failure =
        u"   Falha ao gravar as métricas em "_s + QDir::toNativeSeparators(path);
    QCOMPARE(run.out.contains(failure), outcome.isEmpty());
    if (outcome.isEmpty())
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("\nvelmora_pass_last_end_timestamp_seconds{outcome=\"" +
                                    outcome.toLatin1() + "\"} "));
}

void tst_Cli::encryptionTheDriverCannotTakeIsABadSetting()
{
    // Refused before connecting, as a bad setting: a failed connection would exit with 1.
    const QString settings = u"127.0.0.1,1;Loja;sa;pw;SQL;"_s;
    qputenv("VELMORA_ODBC_DRIVER", "FreeTDS");
    qputenv("VELMORA_ENCRYPT", "strict");
    const Run run = cli({settings});
    qunsetenv("VELMORA_ENCRYPT");
    qunsetenv("VELMORA_ODBC_DRIVER");
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith(u"VELMORA_ENCRYPT: "_s), qPrintable(run.err));
    // SQLite takes no encryption, and refuses none.
    qputenv("VELMORA_ENCRYPT", "strict");
    const Run sqlite = cli({u"--dry-run"_s, demo() + kSqlite});
    qunsetenv("VELMORA_ENCRYPT");
    QCOMPARE(sqlite.exitCode, 0);
    // A clock that is neither, on any back end.
    qputenv("VELMORA_CLOCK", "servidor");
    const Run clock = cli({u"--dry-run"_s, demo() + kSqlite});
    qunsetenv("VELMORA_CLOCK");
    QCOMPARE(clock.exitCode, 2);
    QVERIFY2(clock.err.startsWith(u"VELMORA_CLOCK: "_s), qPrintable(clock.err));
}

void tst_Cli::signalStopsThePassAtACardBoundary()
{
#ifdef Q_OS_WIN
    QSKIP("QProcess::terminate() sends no signal on Windows");
#else
    // 20 000 cards, each with 10 old points to lapse.
    const QString cards =
        u"with recursive n(i) as (select 1 union all select i + 1 from n where i < 20000) "_s;
    const QString sql =
        cards +
        u"insert into PontosCartoes (Cliente, NumCartao, Nome) select 'S' || i, "
        "'S' || i, '' from n;\n"_s +
        cards +
        u"insert into PontosHistorico (Terceiro, CliFor, NumCartao, Data, Afecta, "
        "Pontos, LancManual) select 'S' || i, 'C', 'S' || i, '2024-01-01', '+', 10, 0 "
        "from n"_s;
    // What the passes posted, as one clean pass on the same scheme posts it.
    const auto posted = [](const QString &file) {
        QString figures;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"posted"_s);
            db.setDatabaseName(file);
            QSqlQuery q(u"select count(*) || ' ' || count(distinct NumCartao) || ' ' || "
                        "sum(Pontos) from PontosHistorico where LancManual = 1"_s,
                        db.open() ? db : QSqlDatabase());
            figures = q.next() ? q.value(0).toString() : QString();
        }
        QSqlDatabase::removeDatabase(u"posted"_s);
        return figures;
    };
    const QString clean = demoWith(sql);
    QCOMPARE(cli({clean + kSqlite}).exitCode, 0);
    const QString file = demoWith(sql);
    const QString metrics = m_dir.filePath(u"signal.prom"_s);
    QProcess pass;
    pass.start(QStringLiteral(VELMORA_CLI), {u"--metrics"_s, metrics, file + kSqlite});
    // At a card drawn at random among the first few hundred settled.
    const int settled = 1 + int(QRandomGenerator::global()->bounded(300));
    QByteArray out;
    while (out.count("saldado") < settled && pass.waitForReadyRead(10000))
        out += pass.readAllStandardOutput();
    pass.terminate();
    QVERIFY(pass.waitForFinished(30000));
    out += pass.readAllStandardOutput();
    QCOMPARE(pass.exitStatus(), QProcess::NormalExit);
    QCOMPARE(pass.exitCode(), 143);
    const QList<QByteArray> lines = out.trimmed().split('\n');
    QVERIFY2(lines.constLast().contains("Verificação interrompida (sinal 15)"), out.right(300));
    QFile figures(metrics);
    QVERIFY(figures.open(QIODevice::ReadOnly));
    QVERIFY(figures.readAll().contains("{outcome=\"interrupted\"} "));
    QVERIFY(posted(file) != posted(clean));
    QCOMPARE(cli({file + kSqlite}).exitCode, 0);
    QCOMPARE(posted(file), posted(clean));
#endif
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
