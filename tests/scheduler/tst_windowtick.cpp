// SPDX-License-Identifier: MIT
#include "app/ActivationStore.h"
#include "app/frmVelmora.h"
#include "report/ReportText.h"
#include "settlement/PassLock.h"
#include "support/TestDatabase.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLockFile>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <memory>

Q_DECLARE_METATYPE(PassOutcome)

namespace {

const QString kStart = QStringLiteral("Início da Verificação - ");
const QString kEnd = QStringLiteral("Fim da Verificação - ");
const QString kNoConnection = QStringLiteral("Falha na Ligação ao Servidor! -> ");

/// One card with an old balance of 70 on 2026-12-06: its pass posts one row.
void seed(TestDatabase &db)
{
    db.addCard(QStringLiteral("123"), QStringLiteral("456"));
    db.addMovement(QStringLiteral("123"), QStringLiteral("456"), QStringLiteral("+"),
                   QStringLiteral("100"), QStringLiteral("2025-01-10"));
    db.addMovement(QStringLiteral("123"), QStringLiteral("456"), QStringLiteral("-"),
                   QStringLiteral("30"), QStringLiteral("2025-02-10"));
}

/// The window on a SQLite file, with the flag stored as `stored` in a settings file of its own.
struct Window
{
    explicit Window(const QString &file, int stored = 1, bool keepTimer = false)
    {
        const QString ini = dir.filePath(QStringLiteral("velmora.ini"));
        ActivationStore(QStringLiteral("velmora"), ini).write(stored);
        w = std::make_unique<frmVelmora>(QStringLiteral("velmora"), ini, &clock);
        loaded = w->Form_Load(file + QStringLiteral(";main;;;SQLITE;"));
        // The tests deliver the minutes themselves.
        if (!keepTimer)
            timer()->stop();
    }
    QTimer *timer() const { return w->findChild<QTimer *>(QStringLiteral("tmrTimer")); }
    QCheckBox *box() const { return w->findChild<QCheckBox *>(QStringLiteral("chkActivar")); }
    QString caption() const
    {
        return w->findChild<QLabel *>(QStringLiteral("lblTempoRestante"))->text();
    }
    qsizetype count(const QString &text) const { return w->report().text().count(text); }
    int minutes() const { return w->countdown().intMinutos(); }

    QTemporaryDir dir;
    ManualClock clock{QDateTime(QDate(2026, 12, 6), QTime(10, 0, 0))};
    std::unique_ptr<frmVelmora> w;
    bool loaded = false;
};

/// Fills the report, through the window, with exactly `length` characters of whole lines.
QString fill(frmVelmora &window, qsizetype length)
{
    QString text;
    const QString line = QString(98, QLatin1Char('x')) + QStringLiteral("\r\n");
    text += QString(length % line.size(), QLatin1Char('y')) + line;
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
    void initTestCase();
    void countsOnlyWhileTheBoxIsTicked_data();
    void countsOnlyWhileTheBoxIsTicked();
    void runsTheFirstPassOnTheThirtiethTick();
    void retriesEveryMinuteUntilAPassEndsNormally_data();
    void retriesEveryMinuteUntilAPassEndsNormally();
    void trimsALongReportBeforeEveryPass_data();
    void trimsALongReportBeforeEveryPass();
    void ignoresATickThatArrivesDuringAPass_data();
    void ignoresATickThatArrivesDuringAPass();
    void waitsForAnotherProcessSettlingTheSameDatabase_data();
    void waitsForAnotherProcessSettlingTheSameDatabase();
    void runsAPassByItselfWhileTheBoxIsTicked();

private:
    QTemporaryDir m_lockDir;
};

void tst_WindowTick::initTestCase()
{
    QVERIFY(m_lockDir.isValid());
    qputenv("VELMORA_LOCK_DIR", QFile::encodeName(m_lockDir.path()));
    frmVelmora::setMessageHook([](const QString &, const QString &text) {
        QFAIL(qPrintable(QStringLiteral("unexpected message: ") + text));
    });
}

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
    Window win(db.path(), stored);
    QVERIFY(win.loaded);
    if (userClicks)
        win.box()->click();
    win.w->countdown().setIntMinutos(10);
    win.w->tmrTimer_Timer();
    QCOMPARE(win.minutes(), counts ? 11 : 10);
    QCOMPARE(win.caption(), counts ? QStringLiteral("19 Min.") : QStringLiteral("30 Min."));
}

void tst_WindowTick::runsTheFirstPassOnTheThirtiethTick()
{
    TestDatabase db;
    seed(db);
    Window win(db.path());
    for (int minute = 1; minute <= 29; ++minute) {
        win.w->tmrTimer_Timer();
        QCOMPARE(win.caption(), QStringLiteral("%1 Min.").arg(30 - minute));
    }
    QCOMPARE(win.count(kStart), 0);
    win.w->tmrTimer_Timer();
    QCOMPARE(win.w->lastOutcome(), PassOutcome::Completed);
    QCOMPARE(win.count(kStart), 1);
    QCOMPARE(win.count(kEnd), 1);
    QCOMPARE(db.postedRows().size(), 1);
    QCOMPARE(win.caption(), QStringLiteral("30 Min."));
    win.w->tmrTimer_Timer();
    QCOMPARE(win.caption(), QStringLiteral("29 Min."));
    QCOMPARE(win.count(kStart), 1);
}

void tst_WindowTick::retriesEveryMinuteUntilAPassEndsNormally_data()
{
    QTest::addColumn<bool>("emptyFile");
    QTest::addColumn<int>("counter");
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QString>("failureLine");
    QTest::addColumn<PassOutcome>("outcome");
    const QStringList countingOn{"0 Min.", "-1 Min.", "-2 Min."};
    QTest::newRow("no file") << false << 29 << countingOn << kNoConnection
                             << PassOutcome::NoConnection;
    QTest::newRow("no tables") << true << 29 << countingOn << QStringLiteral("   Falha! -> ")
                               << PassOutcome::Failed;
    // The counter stops at its ceiling, and the pass is still tried every minute.
    QTest::newRow("counter at its ceiling")
        << false << 32767 << QStringList{"-32737 Min.", "-32737 Min.", "-32737 Min."}
        << kNoConnection << PassOutcome::NoConnection;
}

void tst_WindowTick::retriesEveryMinuteUntilAPassEndsNormally()
{
    QFETCH(bool, emptyFile);
    QFETCH(int, counter);
    QFETCH(QStringList, captions);
    QFETCH(QString, failureLine);
    QFETCH(PassOutcome, outcome);
    TestDatabase db;
    seed(db);
    const QString file = QDir(db.folder()).filePath(QStringLiteral("later.db"));
    if (emptyFile) {
        QFile empty(file);
        QVERIFY(empty.open(QIODevice::WriteOnly));
    }
    Window win(file);
    win.w->countdown().setIntMinutos(qint16(counter));
    for (qsizetype i = 0; i < captions.size(); ++i) {
        win.w->tmrTimer_Timer();
        QCOMPARE(win.w->lastOutcome(), outcome);
        QCOMPARE(win.caption(), captions.at(i));
        QCOMPARE(win.count(failureLine), i + 1);
    }
    QFile::remove(file);
    QVERIFY(QFile::copy(db.path(), file));
    win.w->tmrTimer_Timer();
    QCOMPARE(win.w->lastOutcome(), PassOutcome::Completed);
    QCOMPARE(win.caption(), QStringLiteral("30 Min."));
    QCOMPARE(win.minutes(), 0);
    QCOMPARE(win.count(kEnd), 1);
}

void tst_WindowTick::trimsALongReportBeforeEveryPass_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<int>("counter");
    QTest::addColumn<bool>("trimmed");
    QTest::newRow("20 000, first pass") << 20000 << true << 29 << false;
    QTest::newRow("20 001, first pass") << 20001 << true << 29 << true;
    QTest::newRow("20 000, retry without connection") << 20000 << false << 31 << false;
    QTest::newRow("20 001, retry without connection") << 20001 << false << 31 << true;
}

void tst_WindowTick::trimsALongReportBeforeEveryPass()
{
    QFETCH(int, length);
    QFETCH(bool, connects);
    QFETCH(int, counter);
    QFETCH(bool, trimmed);
    TestDatabase db;
    Window win(connects ? db.path() : QDir(db.folder()).filePath(QStringLiteral("none.db")));
    ReportText expected;
    expected.setText(fill(*win.w, length));
    QCOMPARE(win.w->report().length(), qsizetype(length));
    if (trimmed)
        expected.trim();
    win.w->countdown().setIntMinutos(qint16(counter));
    win.w->tmrTimer_Timer();
    const QString passBegins = connects ? QStringLiteral("\r\n") + kStart : kNoConnection;
    QVERIFY(win.w->report().text().startsWith(expected.text() + passBegins));
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
    Window win(db.path());
    if (length > 0)
        fill(*win.w, length);
    win.w->countdown().setIntMinutos(29);
    // Queued before the tick: the first yield of the trim or of the pass delivers it.
    bool ticking = false;
    bool arrivedDuringTheTick = false;
    QTimer::singleShot(0, win.w.get(), [&] {
        arrivedDuringTheTick = ticking;
        win.w->tmrTimer_Timer();
        QCOMPARE(win.caption(), QStringLiteral("0 Min."));
        QCOMPARE(win.minutes(), 30);
    });
    ticking = true;
    win.w->tmrTimer_Timer();
    ticking = false;
    QVERIFY(arrivedDuringTheTick);
    QCOMPARE(win.count(kStart), 1);
    QCOMPARE(db.postedRows().size(), 1);
    QCOMPARE(win.w->lastOutcome(), PassOutcome::Completed);
    QCOMPARE(win.caption(), QStringLiteral("30 Min."));
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
    TestDatabase db;
    seed(db);
    PassLock other(db.settings());
    QVERIFY(other.tryLock());
    if (!ownerAlive) {
        // The same lock, left behind by a process that has ended.
        QFile file(other.path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray contents = file.readAll();
        file.close();
        other.unlock();
        QProcess ended;
        ended.start(QStringLiteral("true"), {});
        QVERIFY(ended.waitForStarted());
        const qint64 pid = ended.processId();
        QVERIFY(ended.waitForFinished());
        contents.replace(0, contents.indexOf('\n'), QByteArray::number(pid));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
    }
    Window win(db.path());
    win.w->countdown().setIntMinutos(29);
    win.w->tmrTimer_Timer();
    const QString busy = QStringLiteral("   Verificação adiada: outro processo do Velmora está a "
                                        "verificar esta base de dados.\r\n");
    if (ownerAlive) {
        QCOMPARE(win.w->lastOutcome(), PassOutcome::Busy);
        QCOMPARE(win.count(busy), 1);
        QCOMPARE(win.count(kStart), 0);
        QCOMPARE(db.postedRows().size(), 0);
        QCOMPARE(win.caption(), QStringLiteral("0 Min."));
        other.unlock();
        win.w->tmrTimer_Timer();
    }
    QCOMPARE(win.w->lastOutcome(), PassOutcome::Completed);
    QCOMPARE(db.postedRows().size(), 1);
    QCOMPARE(win.caption(), QStringLiteral("30 Min."));
}

void tst_WindowTick::runsAPassByItselfWhileTheBoxIsTicked()
{
    TestDatabase db;
    seed(db);
    Window win(db.path(), 0, true);
    QTimer *timer = win.timer();
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 60000);
    win.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
    QTest::mouseClick(win.box(), Qt::LeftButton);
    QVERIFY(win.box()->isChecked());
    // Once the pass shows that it is busy, the box is unticked: the pass runs on to its end,
    // and the minutes after it leave the caption alone.
    auto *status = win.w->findChild<QLabel *>(QStringLiteral("lblStatus"));
    QTimer watch;
    watch.setInterval(0);
    connect(&watch, &QTimer::timeout, this, [&] {
        if (status->isVisible()) {
            win.box()->setChecked(false);
            watch.stop();
        }
    });
    watch.start();
    timer->setInterval(20);
    QTRY_COMPARE_WITH_TIMEOUT(win.count(kEnd), 1, 60000);
    QCOMPARE(win.w->lastOutcome(), PassOutcome::Completed);
    QVERIFY(!win.box()->isChecked());
    QCOMPARE(win.caption(), QStringLiteral("30 Min."));
    QVERIFY(!status->isVisible());
    QCOMPARE(db.postedRows().size(), 1);
    QCOMPARE(db.balance(QStringLiteral("123"), QStringLiteral("456"), QStringLiteral("2025-12-06")),
             QStringLiteral("0.0000"));
}

QTEST_MAIN(tst_WindowTick)
#include "tst_windowtick.moc"
