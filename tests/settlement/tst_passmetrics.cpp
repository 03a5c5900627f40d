// SPDX-License-Identifier: MIT
// The metrics file that each pass leaves for a monitoring agent.
#include "PassTestUtil.h"
#include "settlement/PassLock.h"
#include "settlement/PassMetrics.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QRegularExpression>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

class tst_PassMetrics : public QObject
{
    Q_OBJECT
private slots:
    void fileAfterEachOutcome_data();
    void fileAfterEachOutcome();
    void lastSuccessSurvivesAFailure();
    void aFileThatCannotBeWrittenIsReportedAndThePassStands();
    void noFileNamedWritesNone();
};

namespace {

const QStringList kFamilies{u"velmora_pass_last_end_timestamp_seconds"_s,
                            u"velmora_pass_last_success_timestamp_seconds"_s,
                            u"velmora_pass_duration_seconds"_s,
                            u"velmora_pass_cards_read"_s,
                            u"velmora_pass_cards_settled"_s,
                            u"velmora_pass_rows_posted"_s,
                            u"velmora_pass_rows_refused"_s,
                            u"velmora_pass_points_lapsed"_s,
                            u"velmora_pass_points_lifted"_s,
                            u"velmora_pass_clock_offset_seconds"_s};

/// The samples of a file in the Prometheus text exposition format, as "name{labels}" to value;
/// a line outside its grammar, a family typed twice, typed after its samples or split in two,
/// or a file that does not end in a line feed, fails the current test.
QMap<QString, QString> parse(const QByteArray &bytes)
{
    static const QRegularExpression help(u"^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)$"_s);
    static const QRegularExpression type(
        u"^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$"_s);
    static const QString label = uR"([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")"_s;
    static const QRegularExpression sample(
        u"^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(?:%1(?:,%1)*,?)?\\})?[ \\t]+"
        "([+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[+-]?Inf|NaN)"
        "(?:[ \\t]+-?[0-9]+)?$"_s.arg(label));
    QMap<QString, QString> samples;
    [&] {
        QVERIFY2(bytes.endsWith('\n'), "the file does not end in a line feed");
        QVERIFY2(!bytes.contains('\r'), "a line ends in CR LF");
        const QString text = QString::fromUtf8(bytes);
        QSet<QString> typed;
        QSet<QString> described;
        QSet<QString> done; // families whose samples have ended
        QString current;
        for (const QString &line : text.left(text.size() - 1).split(u'\n')) {
            QRegularExpressionMatch m;
            if ((m = help.match(line)).hasMatch()) {
                QVERIFY2(!described.contains(m.captured(1)), qPrintable(line));
                described.insert(m.captured(1));
            } else if ((m = type.match(line)).hasMatch()) {
                const QString name = m.captured(1);
                QVERIFY2(!typed.contains(name) && !done.contains(name) && name != current,
                         qPrintable(line));
                typed.insert(name);
            } else if (line.startsWith(u'#') || line.trimmed().isEmpty()) {
                continue;
            } else {
                m = sample.match(line);
                QVERIFY2(m.hasMatch(), qPrintable(u"not a sample: "_s + line));
                const QString name = m.captured(1);
                if (name != current) {
                    QVERIFY2(!done.contains(name), qPrintable(u"split family: "_s + line));
                    if (!current.isEmpty())
                        done.insert(current);
                    current = name;
                }
                QVERIFY2(!samples.contains(name + m.captured(2)), qPrintable(line));
                samples.insert(name + m.captured(2), m.captured(3));
            }
        }
        for (const QString &family : kFamilies) {
            QVERIFY2(typed.contains(family) && described.contains(family), qPrintable(family));
        }
    }();
    return samples;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString seconds(const QDateTime &moment)
{
    return QString::number(double(moment.toMSecsSinceEpoch()) / 1000.0, 'f', 3);
}

/// A pass on `db` as the host's clock stands, its figures recorded at `path` as the programs
/// record them.
PassOutcome passWithMetrics(const TestDatabase &db, RecordingHost &host, const QString &path,
                            ConnectionSettings settings = {})
{
    if (settings.strServidor.isEmpty())
        settings = db.settings();
    SettlementPass pass(settings, host, host.manualClock, PassOptions{});
    const PassMetrics::Recorder metrics(path, host.manualClock);
    const PassOutcome outcome = pass.run();
    metrics.record(outcome, pass.stats(), host);
    return outcome;
}

} // namespace

void tst_PassMetrics::fileAfterEachOutcome_data()
{
    QTest::addColumn<QString>("outcome");
    // cards read, settled, rows posted, refused, points lapsed, lifted; SQLite's clock is the
    // machine's
    QTest::addColumn<QStringList>("figures");
    QTest::newRow("completed") << u"completed"_s << u"2 2 3 0 70 60 0.000"_s.split(u' ');
    QTest::newRow("refused") << u"refused"_s << u"2 1 1 1 70 0 0.000"_s.split(u' ');
    // The card list was read before the history failed.
    QTest::newRow("failed") << u"failed"_s << u"2 0 0 0 0 0 0.000"_s.split(u' ');
    QTest::newRow("busy") << u"busy"_s << u"0 0 0 0 0 0 0.000"_s.split(u' ');
    QTest::newRow("no connection") << u"no_connection"_s << u"0 0 0 0 0 0 0.000"_s.split(u' ');
}

void tst_PassMetrics::fileAfterEachOutcome()
{
    QFETCH(QString, outcome);
    QFETCH(QStringList, figures);
    TestDatabase db;
    // 70 points lapse on the first card; the second's old deficit of 30 is refilled and what it
    // still lacks today, 30, lifted.
    db.addCard(u"C1"_s, u"1"_s, {u"+ 100 2025-01-10"_s, u"- 30 2025-02-10"_s});
    db.addCard(u"C2"_s, u"2"_s, {u"+ 10 2025-01-10"_s, u"- 40 2025-01-11"_s, u"- 30 2026-11-10"_s});
    const QString path = QDir(db.folder()).filePath(u"velmora.prom"_s);
    ConnectionSettings settings;
    std::unique_ptr<QLockFile> held;
    if (outcome == u"refused"_s)
        db.refusePostings(u"C2"_s, u"1 = 1"_s);
    else if (outcome == u"failed"_s)
        db.breakHistory();
    else if (outcome == u"no_connection"_s)
        settings = TestDatabase().settings(), settings.strServidor += u".absent"_s;
    else if (outcome == u"busy"_s) {
        held = std::make_unique<QLockFile>(PassLock::lockFilePath(db.path()));
        QVERIFY(held->tryLock(0));
    }
#ifndef Q_OS_WIN
    // The unit's umask: the collector, another user, must still read the file.
    const mode_t mask = ::umask(077);
#endif
    RecordingHost host;
    passWithMetrics(db, host, path, settings);
#ifndef Q_OS_WIN
    ::umask(mask);
    QVERIFY(QFile::permissions(path) & QFile::ReadOther);
#endif
    QVERIFY2(!host.text.contains(u"métricas"_s), qPrintable(host.text));
    const QMap<QString, QString> samples = parse(readAll(path));
    QCOMPARE(samples.size(), kFamilies.size());
    const QString ended = seconds(host.manualClock.now());
    QCOMPARE(samples.value(kFamilies[0] + u"{outcome=\"%1\"}"_s.arg(outcome)), ended);
    QCOMPARE(samples.value(kFamilies[1]), outcome == u"completed"_s ? ended : u"0.000"_s);
    QVERIFY(samples.value(kFamilies[2]).toDouble() >= 0);
    QStringList read;
    for (qsizetype i = 3; i < kFamilies.size(); ++i)
        read << samples.value(kFamilies[i]);
    QCOMPARE(read, figures);
}

void tst_PassMetrics::lastSuccessSurvivesAFailure()
{
    TestDatabase db;
    db.addCard(u"C1"_s, u"1"_s, {u"+ 100 2025-01-10"_s});
    const QString path = QDir(db.folder()).filePath(u"velmora.prom"_s);
    RecordingHost host;
    const QDateTime success = host.manualClock.now();
    QCOMPARE(passWithMetrics(db, host, path), PassOutcome::Completed);

    QLockFile held(PassLock::lockFilePath(db.path()));
    const struct
    {
        int minutes;
        const char *outcome;
        bool succeeds;
    } later[] = {{30, "failed", false}, {31, "busy", false}, {60, "completed", true}};
    QDateTime lastSuccess = success;
    for (const auto &pass : later) {
        const QDateTime now = success.addSecs(pass.minutes * 60);
        host.manualClock.set(now);
        if (qstrcmp(pass.outcome, "failed") == 0)
            db.breakHistory();
        if (qstrcmp(pass.outcome, "busy") == 0) {
            db.restoreHistory();
            QVERIFY(held.tryLock(0));
        }
        if (pass.succeeds)
            held.unlock();
        passWithMetrics(db, host, path);
        if (pass.succeeds)
            lastSuccess = now;
        const QMap<QString, QString> samples = parse(readAll(path));
        QCOMPARE(samples.value(kFamilies[0] + u"{outcome=\"%1\"}"_s.arg(pass.outcome)),
                 seconds(now));
        QCOMPARE(samples.value(kFamilies[1]), seconds(lastSuccess));
    }
}

void tst_PassMetrics::aFileThatCannotBeWrittenIsReportedAndThePassStands()
{
    TestDatabase db;
    db.addCard(u"C1"_s, u"1"_s, {u"+ 100 2025-01-10"_s});
    // A folder that is a file: no user, root included, can write into it.
    const QString notAFolder = QDir(db.folder()).filePath(u"ficheiro"_s);
    QFile file(notAFolder);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
    file.close();
    const QString path = notAFolder + u"/velmora.prom"_s;
    RecordingHost host;
    QCOMPARE(passWithMetrics(db, host, path), PassOutcome::Completed);
    QCOMPARE(db.postedRows().size(), 1);
    const QStringList lines = host.lines();
    QVERIFY2(lines.size() >= 2 && lines.at(lines.size() - 2).startsWith(u"Fim da Verificação"_s),
             qPrintable(host.text));
    QVERIFY2(lines.last().startsWith(kStamp + u"   Falha ao gravar as métricas em "_s +
                                     QDir::toNativeSeparators(path) + u" -> "_s),
             qPrintable(lines.last()));
    QCOMPARE(readAll(notAFolder), QByteArray("x"));
}

void tst_PassMetrics::noFileNamedWritesNone()
{
    TestDatabase db;
    db.addCard(u"C1"_s, u"1"_s, {u"+ 100 2025-01-10"_s});
    const QStringList before = QDir(db.folder()).entryList(QDir::Files);
    RecordingHost host;
    QCOMPARE(passWithMetrics(db, host, QString()), PassOutcome::Completed);
    QCOMPARE(db.postedRows().size(), 1);
    QCOMPARE(QDir(db.folder()).entryList(QDir::Files), before);
    QVERIFY2(host.lines().constLast().startsWith(u"Fim da Verificação"_s), qPrintable(host.text));
}

QTEST_GUILESS_MAIN(tst_PassMetrics)
#include "tst_passmetrics.moc"
