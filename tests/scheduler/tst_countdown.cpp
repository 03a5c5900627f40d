// SPDX-License-Identifier: MIT
#include "scheduler/Countdown.h"

#include <QTest>

using namespace Qt::StringLiterals;
using Tick = Countdown::Tick;
Q_DECLARE_METATYPE(Countdown::Tick)

class tst_Countdown : public QObject
{
    Q_OBJECT
private slots:
    void countsDownToThePassAndStartsAgainAfterIt();
    void pausedBoxChangesNothingAndTheCountResumes_data();
    void pausedBoxChangesNothingAndTheCountResumes();
    void staysDueEveryMinuteUntilAPassEndsNormally_data();
    void staysDueEveryMinuteUntilAPassEndsNormally();
};

void tst_Countdown::countsDownToThePassAndStartsAgainAfterIt()
{
    Countdown countdown;
    QCOMPARE(countdown.caption(), u"30 Min."_s);
    for (int minute = 1; minute <= 29; ++minute) {
        QCOMPARE(countdown.tick(Countdown::Activated), Tick::Counted);
        QCOMPARE(countdown.caption(), u"%1 Min."_s.arg(30 - minute));
    }
    QCOMPARE(countdown.tick(Countdown::Activated), Tick::PassDue);
    QCOMPARE(countdown.caption(), u"0 Min."_s);
    countdown.reset();
    QCOMPARE(countdown.caption(), u"30 Min."_s);
    QCOMPARE(countdown.tick(Countdown::Activated), Tick::Counted);
    QCOMPARE(countdown.caption(), u"29 Min."_s);
}

void tst_Countdown::pausedBoxChangesNothingAndTheCountResumes_data()
{
    QTest::addColumn<int>("checkState");
    QTest::addColumn<int>("counter");
    QTest::addColumn<QString>("resumed");
    for (int state : {0, 2}) {
        QTest::addRow("value %d, counting", state) << state << 10 << u"19 Min."_s;
        QTest::addRow("value %d, due", state) << state << 45 << u"-16 Min."_s;
        QTest::addRow("value %d, at the ceiling", state) << state << 32767 << u"-32737 Min."_s;
    }
}

void tst_Countdown::pausedBoxChangesNothingAndTheCountResumes()
{
    QFETCH(int, checkState);
    QFETCH(int, counter);
    QFETCH(QString, resumed);
    Countdown countdown;
    countdown.setIntMinutos(qint16(counter));
    const QString caption = countdown.caption();
    for (int i = 0; i < 60; ++i) {
        QCOMPARE(countdown.tick(checkState), Tick::Paused);
        QCOMPARE(int(countdown.intMinutos()), counter);
        QCOMPARE(countdown.caption(), caption);
    }
    QVERIFY(countdown.tick(Countdown::Activated) != Tick::Paused);
    QCOMPARE(countdown.caption(), resumed);
}

void tst_Countdown::staysDueEveryMinuteUntilAPassEndsNormally_data()
{
    QTest::addColumn<int>("counter");
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QList<Tick>>("ticks");
    QTest::newRow("last minute, then due")
        << 28 << QStringList{u"1 Min."_s, u"0 Min."_s} << QList{Tick::Counted, Tick::PassDue};
    QTest::newRow("after a failed pass")
        << 30 << QStringList{u"-1 Min."_s, u"-2 Min."_s} << QList{Tick::PassDue, Tick::PassDue};
    // The counter stops at its ceiling instead of overflowing: the pass is still tried.
    QTest::newRow("at the ceiling")
        << 32766 << QStringList(2, u"-32737 Min."_s) << QList{Tick::PassDue, Tick::PassDue};
}

void tst_Countdown::staysDueEveryMinuteUntilAPassEndsNormally()
{
    QFETCH(int, counter);
    QFETCH(QStringList, captions);
    QFETCH(QList<Tick>, ticks);
    Countdown countdown;
    countdown.setIntMinutos(qint16(counter));
    for (qsizetype i = 0; i < ticks.size(); ++i) {
        QCOMPARE(countdown.tick(Countdown::Activated), ticks.at(i));
        QCOMPARE(countdown.caption(), captions.at(i));
    }
    countdown.reset();
    QCOMPARE(countdown.tick(Countdown::Activated), Tick::Counted);
    QCOMPARE(countdown.caption(), u"29 Min."_s);
}

QTEST_GUILESS_MAIN(tst_Countdown)
#include "tst_countdown.moc"
