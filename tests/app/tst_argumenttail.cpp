// SPDX-License-Identifier: MIT
// The settings line as the window's program receives it.
#include "app/CommandLine.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <string>
#endif

using namespace Qt::StringLiterals;

class tst_ArgumentTail : public QObject
{
    Q_OBJECT
private slots:
    void takesTheTailAfterTheProgramToken_data();
    void takesTheTailAfterTheProgramToken();
    void aWindowsProcessReadsItsRawTail_data();
    void aWindowsProcessReadsItsRawTail();
};

void tst_ArgumentTail::takesTheTailAfterTheProgramToken_data()
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

void tst_ArgumentTail::takesTheTailAfterTheProgramToken()
{
    QFETCH(QString, commandLine);
    QFETCH(QString, tail);
    QCOMPARE(CommandLine::argumentTail(commandLine), tail);
}

void tst_ArgumentTail::aWindowsProcessReadsItsRawTail_data()
{
    takesTheTailAfterTheProgramToken_data();
    QTest::newRow("letters beyond Latin-1")
        << u"velmora.exe  \"srv\\Ação\";Fidelização;Ωμέγα;пароль;;"_s
        << u"\"srv\\Ação\";Fidelização;Ωμέγα;пароль;;"_s;
}

void tst_ArgumentTail::aWindowsProcessReadsItsRawTail()
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

QTEST_GUILESS_MAIN(tst_ArgumentTail)
#include "tst_argumenttail.moc"
