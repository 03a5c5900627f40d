// SPDX-License-Identifier: MIT
// The settings line split into the five settings, and the settings checked.
#include "db/CommandLine.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_CommandLine : public QObject
{
    Q_OBJECT
private slots:
    void splitsAndValidatesTheSettings_data();
    void splitsAndValidatesTheSettings();
    void blankServerIsStoredUnchangedButRefused();
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
    const QString seven = u"a linha de definições tem 7 campos, e são cinco "_s;
    row("seven fields", u"a;b;c;d;e;f;g;"_s, u"a|b|c|d|E"_s, seven);
    row("blank fields after the fifth", u"srv;db;usr;pwd;SQL; ;;"_s, u"srv|db|usr|pwd|SQL"_s, {});
    // A password with ";" braced as ODBC braces it, "}" doubled; braces alone keep their text.
    row("braced password", u"s;d;u;{Ab;c=1{x}}};sql;"_s, u"s|d|u|Ab;c=1{x}|SQL"_s, {});
    row("braced, blank fields after", u"s;d;u;{a;b};win;;"_s, u"s|d|u|a;b|WIN"_s, {});
    row("braces without ;", u"s;d;u;{ab};sql;"_s, u"s|d|u|{ab}|SQL"_s, {});
    row("braces that do not close", u"s;d;u;{a;b;c;"_s, u"s|d|u|{a|B"_s,
        u"a linha de definições tem 6 campos, e são cinco "_s);
    row("a field that moved", u"srv;db;"_s, u"srv|db|||SQL"_s,
        noLogin + u" (a linha de definições tem 2 de cinco campos"_s);
    row("outer blanks", u"   srv;db;usr;pwd; win ;   "_s, u"srv|db|usr|pwd| WIN "_s, {});
    row("inner blanks kept", u" s v ; d b ;u;p;SQL; tail"_s, u"s v | d b |u|p|SQL"_s, {});
    row("other mode needs no login", u"srv;db;;;XYZ;"_s, u"srv|db|||XYZ"_s, {});
}

void tst_CommandLine::splitsAndValidatesTheSettings()
{
    QFETCH(QString, line);
    QFETCH(QStringList, fields);
    QFETCH(QString, message);

    int count = 0;
    ConnectionSettings s = CommandLine::split(line, &count);
    const QString refusal = CommandLine::normaliseAndValidate(s, count);
    QVERIFY2(message.isEmpty() ? refusal.isEmpty() : refusal.startsWith(message),
             qPrintable(refusal));
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

        int count = 0;
        const ConnectionSettings s = CommandLine::split(line, &count);
        QVERIFY(count <= qMax(5, int(line.count(u';'))));
        const QStringList fields{s.strServidor, s.strBaseDados, s.strUtilizador, s.strPassword,
                                 s.strModoLigacao};
        for (const QString &field : fields)
            QVERIFY2(!field.contains(QLatin1Char(';')), qPrintable(line));
        QVERIFY2(fields == expected, qPrintable(line.toUtf8().toPercentEncoding()));
    }
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
