// SPDX-License-Identifier: MIT
#include "app/CommandLine.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

class tst_CommandLine : public QObject
{
    Q_OBJECT
private slots:
    void splitsAndValidatesTheSettings_data();
    void splitsAndValidatesTheSettings();
    void blankServerIsStoredUnchangedButRefused();
    void takesTheTailAfterTheProgramToken_data();
    void takesTheTailAfterTheProgramToken();
    void fieldsAreTheSegmentsEndedBySemicolons();
};

void tst_CommandLine::splitsAndValidatesTheSettings_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("fields"); // server, database, login, password, mode
    QTest::addColumn<QString>("message");

    const QString noServer = QStringLiteral("Não definiu o Servidor de SQL!");
    const QString noDatabase = QStringLiteral("Não definiu a Base de Dados de SQL!");
    const QString noLogin = QStringLiteral("Não definiu o Utilizador de SQL!");

    QTest::newRow("windows") << "srv;db;usr;pwd;WIN;"
                             << QStringList{"srv", "db", "usr", "pwd", "WIN"} << QString();
    QTest::newRow("mode not terminated")
        << "srv;db;usr;pwd;WIN" << QStringList{"srv", "db", "usr", "pwd", "SQL"} << QString();
    QTest::newRow("lower-case mode")
        << "srv;db;;;win;" << QStringList{"srv", "db", "", "", "WIN"} << QString();
    QTest::newRow("sql without login")
        << "srv;db;;;" << QStringList{"srv", "db", "", "", "SQL"} << noLogin;
    QTest::newRow("blank login") << "srv;db;  ;;sql;" << QStringList{"srv", "db", "  ", "", "SQL"}
                                 << noLogin;
    QTest::newRow("empty") << "" << QStringList{"", "", "", "", "SQL"} << noServer;
    QTest::newRow("server only") << "srv;" << QStringList{"srv", "", "", "", "SQL"} << noDatabase;
    QTest::newRow("blank database")
        << "srv;  ;usr;;;" << QStringList{"srv", "  ", "usr", "", "SQL"} << noDatabase;
    QTest::newRow("seven fields") << "a;b;c;d;e;f;g;" << QStringList{"a", "b", "c", "d", "E"}
                                  << QString();
    QTest::newRow("outer blanks") << "   srv;db;usr;pwd; win ;   "
                                  << QStringList{"srv", "db", "usr", "pwd", " WIN "} << QString();
    QTest::newRow("inner blanks kept")
        << " s v ; d b ;u;p;SQL; tail" << QStringList{"s v ", " d b ", "u", "p", "SQL"}
        << QString();
    QTest::newRow("other mode needs no login")
        << "srv;db;;;XYZ;" << QStringList{"srv", "db", "", "", "XYZ"} << QString();
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
    ConnectionSettings s{QStringLiteral("  "), QStringLiteral("db"), QStringLiteral("usr"), {}, {}};
    QCOMPARE(CommandLine::normaliseAndValidate(s),
             QStringLiteral("Não definiu o Servidor de SQL!"));
    QCOMPARE(s.strServidor, QStringLiteral("  "));
}

void tst_CommandLine::takesTheTailAfterTheProgramToken_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QString>("tail");
    QTest::newRow("quoted") << R"("C:\Program Files\velmora.exe"  srv;db;;;WIN; )"
                            << "srv;db;;;WIN; ";
    QTest::newRow("bare") << "velmora.exe\tsrv;db;u;p;;"
                          << "srv;db;u;p;;";
    QTest::newRow("quote inside tail") << R"(v.exe "a b";c;)"
                                       << R"("a b";c;)";
    QTest::newRow("no tail") << R"("velmora.exe")"
                             << "";
    QTest::newRow("unclosed quote") << R"("velmora.exe srv;)"
                                    << "";
}

void tst_CommandLine::takesTheTailAfterTheProgramToken()
{
    QFETCH(QString, commandLine);
    QFETCH(QString, tail);
    QCOMPARE(CommandLine::argumentTail(commandLine), tail);
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
        QStringList expected = QString(line)
                                   .remove(QRegularExpression(QStringLiteral("^ +| +\\z")))
                                   .split(QLatin1Char(';'));
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
