// SPDX-License-Identifier: MIT
#include "app/ReportPane.h"
#include "report/ReportText.h"
#include "settlement/PassLock.h"
#include "settlement/PassReport.h"
#include "support/TestDatabase.h"
#include "support/TestUtil.h"
#include "support/TestWindow.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QPlainTextEdit>

#include <algorithm>

namespace {

const QString kStart = u"Início da Verificação - "_s;
const QString kEnd = u"Fim da Verificação - "_s;
const QString kNoConnection = u"Falha na Ligação ao Servidor! -> "_s;

/// One card with an old balance of 70 on 2026-12-06: its pass posts one row.
void seed(TestDatabase &db)
{
    db.addCard(u"123"_s, u"456"_s, {"+ 100 2025-01-10", "- 30 2025-02-10"});
}

/// Fills the report, through the window, with exactly `length` characters of whole lines, the
/// first of them `firstLine` characters longer.
QString fill(frmVelmora &window, qsizetype length, qsizetype firstLine = 0)
{
    const QString line = QString(98, u'x') + u"\r\n"_s;
    QString text = QString(firstLine + (length - firstLine) % line.size(), u'y') + line;
    while (text.size() < length)
        text += line;
    window.append(text);
    return text;
}

} // namespace

class tst_WindowTick : public QObject
{
    Q_OBJECT
private slots:
    void countsOnlyWhileTheBoxIsTicked_data();
    void countsOnlyWhileTheBoxIsTicked();
    void retriesEveryMinuteUntilAPassEndsNormally_data();
    void retriesEveryMinuteUntilAPassEndsNormally();
    void trimsALongReportBeforeEveryPass_data();
    void trimsALongReportBeforeEveryPass();
    void keepsTheReportNearTheLimitThroughALongPass();
    void ignoresATickThatArrivesDuringAPass_data();
    void ignoresATickThatArrivesDuringAPass();
    void waitsForAnotherProcessSettlingTheSameDatabase_data();
    void waitsForAnotherProcessSettlingTheSameDatabase();
    void runsAPassByItselfOnTheThirtiethMinute();
    void leavesThePassFiguresWhereItIsTold();
};

void tst_WindowTick::countsOnlyWhileTheBoxIsTicked_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<bool>("userClicks");
    QTest::addColumn<bool>("counts");
    QTest::newRow("restored unticked") << 0 << false << false;
    QTest::newRow("restored ticked") << 1 << false << true;
    QTest::newRow("restored greyed") << 2 << false << false;
    QTest::newRow("ticked by the user") << 0 << true << true;
    QTest::newRow("unticked by the user") << 1 << true << false;
}

void tst_WindowTick::countsOnlyWhileTheBoxIsTicked()
{
    QFETCH(int, stored);
    QFETCH(bool, userClicks);
    QFETCH(bool, counts);
    TestDatabase db;
    TestWindow win(db.path(), stored);
    if (userClicks)
        win.box()->click();
    win.setMinutes(10);
    win.tick();
    QCOMPARE(win.minutes(), counts ? 11 : 10);
    QCOMPARE(win.caption(), counts ? u"19 Min."_s : u"30 Min."_s);
}

void tst_WindowTick::retriesEveryMinuteUntilAPassEndsNormally_data()
{
    QTest::addColumn<bool>("emptyFile");
    QTest::addColumn<int>("counter");
    QTest::addColumn<QStringList>("captions");
    const QStringList countingOn{u"0 Min."_s, u"-1 Min."_s, u"-2 Min."_s};
    QTest::newRow("no file") << false << 29 << countingOn;
    QTest::newRow("no tables") << true << 29 << countingOn;
    // The counter stops at its ceiling, and the pass is still tried every minute.
    QTest::newRow("counter at its ceiling") << false << 32767 << QStringList(3, u"-32737 Min."_s);
}

void tst_WindowTick::retriesEveryMinuteUntilAPassEndsNormally()
{
    QFETCH(bool, emptyFile);
    QFETCH(int, counter);
    QFETCH(QStringList, captions);
    const QString failureLine = emptyFile ? u"   Falha! -> "_s : kNoConnection;
    const PassOutcome outcome = emptyFile ? PassOutcome::Failed : PassOutcome::NoConnection;
    TestDatabase db;
    seed(db);
    const QString file = QDir(db.folder()).filePath(u"later.db"_s);
    if (emptyFile)
        QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    TestWindow win(file);
    win.setMinutes(counter);
    for (qsizetype i = 0; i < captions.size(); ++i) {
        win.tick();
        QCOMPARE(win.w->lastOutcome(), outcome);
        QCOMPARE(win.caption(), captions.at(i));
        QCOMPARE(win.count(failureLine), i + 1);
    }
    QFile::remove(file);
    QVERIFY(QFile::copy(db.path(), file));
    win.tick();
    QCOMPARE(win.count(kEnd), 1);
    QCOMPARE(win.caption(), u"30 Min."_s);
    QCOMPARE(win.minutes(), 0);
    // The pane takes a pass's lines once a frame; once the tick is over it shows all of them.
    const auto *pane = win.w->findChild<QPlainTextEdit *>(u"rtfRelatorio"_s);
    QCOMPARE(pane->toPlainText(), ReportPane::forDisplay(win.w->report().text()));
}

void tst_WindowTick::trimsALongReportBeforeEveryPass_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<int>("counter");
    QTest::addColumn<bool>("trimmed");
    QTest::addColumn<int>("firstLine"); // characters more in the first line
    QTest::newRow("20 000, first pass") << 20000 << true << 29 << false << 0;
    QTest::newRow("20 001, first pass") << 20001 << true << 29 << true << 0;
    QTest::newRow("20 000, retry without connection") << 20000 << false << 31 << false << 0;
    QTest::newRow("20 001, retry without connection") << 20001 << false << 31 << true << 0;
    // One trim takes about a thousand characters here; the pass waits until 20 000 are left.
    QTest::newRow("40 000, first pass") << 40000 << true << 29 << true << 0;
    QTest::newRow("40 000, retry without connection") << 40000 << false << 31 << true << 0;
    // The scan never reaches the first line end: nothing is cut, and the pass still runs.
    QTest::newRow("first line beyond the scan") << 30000 << true << 29 << true << 600;
}

void tst_WindowTick::trimsALongReportBeforeEveryPass()
{
    QFETCH(int, length);
    QFETCH(bool, connects);
    QFETCH(int, counter);
    QFETCH(bool, trimmed);
    QFETCH(int, firstLine);
    TestDatabase db;
    TestWindow win(connects ? db.path() : QDir(db.folder()).filePath(u"none.db"_s));
    ReportText expected;
    expected.setText(fill(*win.w, length, firstLine));
    QCOMPARE(win.w->report().length(), qsizetype(length));
    for (qsizetype before = -1; trimmed && expected.overLimit() && expected.length() != before;) {
        before = expected.length();
        expected.trim();
    }
    QCOMPARE(expected.overLimit(), firstLine > 500);
    win.setMinutes(counter);
    win.tick();
    const QString passBegins = connects ? u"\r\n"_s + kStart : kNoConnection;
    QVERIFY(win.w->report().text().startsWith(expected.text() + passBegins));
    const auto *pane = win.w->findChild<QPlainTextEdit *>(u"rtfRelatorio"_s);
    QCOMPARE(pane->toPlainText(), ReportPane::forDisplay(win.w->report().text()));
    QVERIFY(pane->textCursor().atEnd());
}

void tst_WindowTick::keepsTheReportNearTheLimitThroughALongPass()
{
    TestDatabase db;
    QVERIFY(db.db().transaction());
    for (int i = 0; i < 3000; ++i) { // a line of about 50 characters each
        const QString n = QString::number(100000 + i);
        db.addCard(u"C"_s + n, n, {u"+ 10 2025-01-10"_s});
    }
    QVERIFY(db.db().commit());
    TestWindow win(db.path());
    const auto *pane = win.w->findChild<QPlainTextEdit *>(u"rtfRelatorio"_s);
    qsizetype largest = 0; // of the report and of the pane, at the pass's yields
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        largest = std::max(
            {largest, win.w->report().length(), qsizetype(pane->document()->characterCount())});
    });
    watch.start(0);
    win.setMinutes(29);
    win.tick();
    QCOMPARE(db.postedRows().size(), 3000);
    QVERIFY(largest > 0);
    QVERIFY2(largest <= 2 * ReportText::Limit, qPrintable(QString::number(largest)));
    const QString &text = win.w->report().text();
    QVERIFY(text.startsWith(u"    Cartão nº "_s)); // whole lines went from the top
    QVERIFY(text.endsWith(kEnd + PassReport::timestamp(win.clock.now()) + u"\r\n"_s));
    QCOMPARE(pane->toPlainText(), ReportPane::forDisplay(text));
    QVERIFY(pane->textCursor().atEnd());
}

void tst_WindowTick::ignoresATickThatArrivesDuringAPass_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("during the pass") << 0;
    QTest::newRow("during the trim before it") << 20001;
}

void tst_WindowTick::ignoresATickThatArrivesDuringAPass()
{
    QFETCH(int, length);
    TestDatabase db;
    seed(db);
    TestWindow win(db.path());
    if (length > 0)
        fill(*win.w, length);
    win.setMinutes(29);
    // Queued before the tick: the first yield of the trim or of the pass delivers it.
    bool ticking = true;
    bool arrivedDuringTheTick = false;
    QTimer::singleShot(0, win.w.get(), [&] {
        arrivedDuringTheTick = ticking;
        win.tick();
        QCOMPARE(win.caption(), u"0 Min."_s);
    });
    win.tick();
    ticking = false;
    QVERIFY(arrivedDuringTheTick);
    QCOMPARE(win.count(kStart), 1);
    QCOMPARE(db.postedRows().size(), 1);
    QCOMPARE(win.caption(), u"30 Min."_s);
    QCOMPARE(win.minutes(), 0);
}

void tst_WindowTick::waitsForAnotherProcessSettlingTheSameDatabase_data()
{
    QTest::addColumn<bool>("ownerAlive");
    QTest::newRow("owner running") << true;
    // A crashed process must not keep the database from ever being settled again.
    QTest::newRow("owner died") << false;
}

void tst_WindowTick::waitsForAnotherProcessSettlingTheSameDatabase()
{
    QFETCH(bool, ownerAlive);
#ifdef Q_OS_WIN
    if (!ownerAlive)
        QSKIP("a dead owner's lock is taken over by QLockFile itself; under Wine it is not");
#endif
    TestDatabase db;
    seed(db);
    // Another pass's lock beside the database file.
    QLockFile other(PassLock::lockFilePath(db.path()));
    if (ownerAlive)
        QVERIFY(other.tryLock(0));
    else // the same lock, left behind by a process that has ended
        writeStaleLock(PassLock::lockFilePath(db.path()));
    TestWindow win(db.path());
    win.setMinutes(29);
    win.tick();
    if (ownerAlive) {
        QCOMPARE(win.w->lastOutcome(), PassOutcome::Busy);
        QCOMPARE(win.count(kPutOff + u"\r\n"_s), 1);
        QCOMPARE(win.count(kStart), 0);
        QCOMPARE(db.postedRows().size(), 0);
        QCOMPARE(win.caption(), u"0 Min."_s);
        other.unlock();
        win.tick();
    }
    QCOMPARE(win.w->lastOutcome(), PassOutcome::Completed);
    QCOMPARE(db.postedRows().size(), 1);
    QCOMPARE(win.caption(), u"30 Min."_s);
}

void tst_WindowTick::runsAPassByItselfOnTheThirtiethMinute()
{
    TestDatabase db;
    seed(db);
    TestWindow win(db.path(), 0, true);
    QVERIFY(win.timer()->isActive());
    QCOMPARE(win.timer()->interval(), 60000);
    win.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
    QTest::mouseClick(win.box(), Qt::LeftButton);
    // Once the pass shows that it is busy, the box is unticked: the pass runs on to its end,
    // and the minutes after it leave the caption alone.
    auto *status = win.w->findChild<QLabel *>(u"lblStatus"_s);
    QString captionDuringThePass;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (status->isVisible()) {
            captionDuringThePass = win.caption();
            win.box()->click();
            watch.stop();
        }
    });
    watch.start(0);
    win.timer()->setInterval(20);
    QTRY_COMPARE_WITH_TIMEOUT(win.count(kEnd), 1, 60000);
    QCOMPARE(captionDuringThePass, u"0 Min."_s);
    QVERIFY(!win.box()->isChecked());
    QCOMPARE(win.count(kStart), 1);
    QCOMPARE(win.caption(), u"30 Min."_s);
    QVERIFY(!status->isVisible());
    QCOMPARE(db.postedRows().size(), 1);
    QCOMPARE(db.balance(u"123"_s, u"456"_s, u"2025-12-06"_s), u"0.0000"_s);
}

void tst_WindowTick::leavesThePassFiguresWhereItIsTold()
{
    TestDatabase db;
    seed(db);
    const QString path = QDir(db.folder()).filePath(u"velmora.prom"_s);
    TestWindow win(db.path());
    win.w->setMetricsFile(path);
    win.setMinutes(29);
    win.tick();
    QCOMPARE(win.count(kEnd), 1);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray metrics = file.readAll();
    QVERIFY2(
        metrics.contains("\nvelmora_pass_last_end_timestamp_seconds{outcome=\"completed\"} ") &&
            metrics.contains("\nvelmora_pass_rows_posted 1\n"),
        metrics.constData());

    // The program reads the environment at start and tells the window; a window told nothing
    // writes nothing, whatever the environment says.
    const QString fromEnvironment = QDir(db.folder()).filePath(u"environment.prom"_s);
    qputenv("VELMORA_METRICS_FILE", QFile::encodeName(fromEnvironment));
    TestWindow untold(db.path());
    untold.setMinutes(29);
    untold.tick();
    qunsetenv("VELMORA_METRICS_FILE");
    QCOMPARE(untold.count(kEnd), 1);
    QVERIFY(!QFile::exists(fromEnvironment));
}

QTEST_MAIN(tst_WindowTick)
#include "tst_windowtick.moc"
