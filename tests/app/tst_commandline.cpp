// SPDX-License-Identifier: MIT
#include "app/CommandLine.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <string>
#endif

using namespace Qt::StringLiterals;

class tst_CommandLine : public QObject
{
    Q_OBJECT
private slots:
    void splitsAndValidatesTheSettings_data();
    void splitsAndValidatesTheSettings();
    void blankServerIsStoredUnchangedButRefused();
    void takesTheTailAfterTheProgramToken_data();
    void takesTheTailAfterTheProgramToken();
    void aWindowsProcessReadsItsRawTail_data();
    void aWindowsProcessReadsItsRawTail();
    void fieldsAreTheSegmentsEndedBySemicolons();
};

void tst_CommandLine::splitsAndValidatesTheSettings_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("fields"); // server, database, login, password, mode
    QTest::addColumn<QString>("message");
    const auto row = [](const char *tag, const QString &line, const QString &fields,
                        const QString &message) {
        QTest::newRow(tag) << line << fields.split(u'|') << message;
    };
    const QString noServer = u"Não definiu o Servidor de SQL!"_s;
    const QString noDatabase = u"Não definiu a Base de Dados de SQL!"_s;
    const QString noLogin = u"Não definiu o Utilizador de SQL!"_s;
    row("windows", u"srv;db;usr;pwd;WIN;"_s, u"srv|db|usr|pwd|WIN"_s, {});
    row("mode not terminated", u"srv;db;usr;pwd;WIN"_s, u"srv|db|usr|pwd|SQL"_s, {});
    row("lower-case mode", u"srv;db;;;win;"_s, u"srv|db|||WIN"_s, {});
    row("sql without login", u"srv;db;;;"_s, u"srv|db|||SQL"_s, noLogin);
    row("blank login", u"srv;db;  ;;sql;"_s, u"srv|db|  ||SQL"_s, noLogin);
    row("empty", u""_s, u"||||SQL"_s, noServer);
    row("server only", u"srv;"_s, u"srv||||SQL"_s, noDatabase);
    row("blank database", u"srv;  ;usr;;;"_s, u"srv|  |usr||SQL"_s, noDatabase);
    row("seven fields", u"a;b;c;d;e;f;g;"_s, u"a|b|c|d|E"_s, {});
    row("outer blanks", u"   srv;db;usr;pwd; win ;   "_s, u"srv|db|usr|pwd| WIN "_s, {});
    row("inner blanks kept", u" s v ; d b ;u;p;SQL; tail"_s, u"s v | d b |u|p|SQL"_s, {});
    row("other mode needs no login", u"srv;db;;;XYZ;"_s, u"srv|db|||XYZ"_s, {});
}

void tst_CommandLine::splitsAndValidatesTheSettings()
{
    QFETCH(QString, line);
    QFETCH(QStringList, fields);
    QFETCH(QString, message);

    ConnectionSettings s = CommandLine::split(line);
    QCOMPARE(CommandLine::normaliseAndValidate(s), message);
    const QStringList stored{s.strServidor, s.strBaseDados, s.strUtilizador, s.strPassword,
                             s.strModoLigacao};
    QCOMPARE(stored, fields);
}

void tst_CommandLine::blankServerIsStoredUnchangedButRefused()
{
    // The split trims the whole line, so a blank server can only be the first field as stored.
    ConnectionSettings s{u"  "_s, u"db"_s, u"usr"_s, {}, {}};
    QCOMPARE(CommandLine::normaliseAndValidate(s), u"Não definiu o Servidor de SQL!"_s);
    QCOMPARE(s.strServidor, u"  "_s);
}

void tst_CommandLine::takesTheTailAfterTheProgramToken_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QString>("tail");
    QTest::newRow("quoted") << uR"("C:\Program Files\velmora.exe"  srv;db;;;WIN; )"_s
                            << u"srv;db;;;WIN; "_s;
    QTest::newRow("bare") << u"velmora.exe\tsrv;db;u;p;;"_s << u"srv;db;u;p;;"_s;
    QTest::newRow("quote inside tail") << uR"(v.exe "a b";c;)"_s << uR"("a b";c;)"_s;
    QTest::newRow("no tail") << uR"("velmora.exe")"_s << QString();
    QTest::newRow("unclosed quote") << uR"("velmora.exe srv;)"_s << QString();
}

void tst_CommandLine::takesTheTailAfterTheProgramToken()
{
    QFETCH(QString, commandLine);
    QFETCH(QString, tail);
    QCOMPARE(CommandLine::argumentTail(commandLine), tail);
}

void tst_CommandLine::aWindowsProcessReadsItsRawTail_data()
{
    takesTheTailAfterTheProgramToken_data();
    QTest::newRow("letters beyond Latin-1")
        << u"velmora.exe  \"srv\\Ação\";Fidelização;Ωμέγα;пароль;;"_s
        << u"\"srv\\Ação\";Fidelização;Ωμέγα;пароль;;"_s;
}

void tst_CommandLine::aWindowsProcessReadsItsRawTail()
{
#ifdef Q_OS_WIN
    QFETCH(QString, commandLine);
    QFETCH(QString, tail);
    // The child is started with exactly the table's command line: its program token need not
    // name the file that runs.
    const std::wstring program =
        QDir::toNativeSeparators(QFileInfo(QStringLiteral(VELMORA_PRINTTAIL)).absoluteFilePath())
            .toStdWString();
    std::wstring line = commandLine.toStdWString();
    QProcess process;
    process.setProgram(QStringLiteral(VELMORA_PRINTTAIL));
    process.setCreateProcessArgumentsModifier([&](QProcess::CreateProcessArguments *args) {
        args->applicationName = program.c_str();
        args->arguments = line.data();
    });
    process.start();
    QVERIFY2(process.waitForFinished(60000), qPrintable(process.errorString()));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), tail);
#else
    QSKIP("only Windows hands a program its command line unsplit");
#endif
}

void tst_CommandLine::fieldsAreTheSegmentsEndedBySemicolons()
{
    QRandomGenerator random(20261207);
    const char alphabet[] = {';', ';', ' ', ' ', '\r', '\n', 'a', 'b'};
    for (int round = 0; round < 20000; ++round) {
        QString line;
        const int length = int(random.bounded(40));
        for (int i = 0; i < length; ++i)
            line += QLatin1Char(alphabet[random.bounded(int(sizeof alphabet))]);

        // Reference: the blank-trimmed line cut at every ';'; the last piece has no ';' after it.
        QStringList expected =
            QString(line).remove(QRegularExpression(u"^ +| +\\z"_s)).split(QLatin1Char(';'));
        expected.removeLast();
        expected = expected.mid(0, 5);
        while (expected.size() < 5)
            expected << QString();

        const ConnectionSettings s = CommandLine::split(line);
        const QStringList fields{s.strServidor, s.strBaseDados, s.strUtilizador, s.strPassword,
                                 s.strModoLigacao};
        for (const QString &field : fields)
            QVERIFY2(!field.contains(QLatin1Char(';')), qPrintable(line));
        QVERIFY2(fields == expected, qPrintable(line.toUtf8().toPercentEncoding()));
    }
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
