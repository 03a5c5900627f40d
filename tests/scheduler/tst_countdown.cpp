// SPDX-License-Identifier: MIT
#include "scheduler/Countdown.h"

#include <QTest>

#include <limits>

using Tick = Countdown::Tick;
Q_DECLARE_METATYPE(Countdown::Tick)

class tst_Countdown : public QObject
{
    Q_OBJECT
private slots:
    void countsDownToThePassAndStartsAgainAfterIt();
    void pausedBoxChangesNothing_data();
    void pausedBoxChangesNothing();
    void resumesWhereItStopped();
    void staysDueEveryMinuteUntilAPassEndsNormally_data();
    void staysDueEveryMinuteUntilAPassEndsNormally();
};

void tst_Countdown::countsDownToThePassAndStartsAgainAfterIt()
{
    Countdown countdown;
    QCOMPARE(countdown.caption(), QStringLiteral("30 Min."));
    for (int minute = 1; minute <= 29; ++minute) {
        QCOMPARE(countdown.tick(Countdown::Activated), Tick::Counted);
        QCOMPARE(countdown.caption(), QStringLiteral("%1 Min.").arg(30 - minute));
    }
    QCOMPARE(countdown.tick(Countdown::Activated), Tick::PassDue);
    QCOMPARE(countdown.caption(), QStringLiteral("0 Min."));
    countdown.reset();
    QCOMPARE(countdown.caption(), QStringLiteral("30 Min."));
    QCOMPARE(countdown.tick(Countdown::Activated), Tick::Counted);
    QCOMPARE(countdown.caption(), QStringLiteral("29 Min."));
}

void tst_Countdown::pausedBoxChangesNothing_data()
{
    QTest::addColumn<int>("checkState");
    QTest::addColumn<int>("counter");
    const int ceiling = std::numeric_limits<qint16>::max();
    for (int state : {0, 2}) {
        for (int counter : {0, 10, 29, 30, 45, ceiling}) {
            QTest::addRow("value %d, counter %d", state, counter) << state << counter;
        }
    }
}

void tst_Countdown::pausedBoxChangesNothing()
{
    QFETCH(int, checkState);
    QFETCH(int, counter);
    Countdown countdown;
    countdown.setIntMinutos(qint16(counter));
    const QString caption = countdown.caption();
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(countdown.tick(checkState), Tick::Paused);
        QCOMPARE(int(countdown.intMinutos()), counter);
        QCOMPARE(countdown.caption(), caption);
    }
}

void tst_Countdown::resumesWhereItStopped()
{
    Countdown countdown;
    for (int i = 0; i < 10; ++i)
        countdown.tick(Countdown::Activated);
    for (int i = 0; i < 60; ++i)
        countdown.tick(0);
    QCOMPARE(countdown.tick(Countdown::Activated), Tick::Counted);
    QCOMPARE(countdown.caption(), QStringLiteral("19 Min."));
}

void tst_Countdown::staysDueEveryMinuteUntilAPassEndsNormally_data()
{
    QTest::addColumn<int>("counter");
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QList<Tick>>("ticks");
    QTest::addColumn<int>("counterAfter");
    const int ceiling = std::numeric_limits<qint16>::max();
    QTest::newRow("last minute, then due")
        << 28 << QStringList{"1 Min.", "0 Min."} << QList<Tick>{Tick::Counted, Tick::PassDue} << 30;
    QTest::newRow("after a failed pass") << 30 << QStringList{"-1 Min.", "-2 Min."}
                                         << QList<Tick>{Tick::PassDue, Tick::PassDue} << 32;
    // The counter stops at its ceiling instead of overflowing: the pass is still tried.
    QTest::newRow("at the ceiling") << ceiling - 1 << QStringList{"-32737 Min.", "-32737 Min."}
                                    << QList<Tick>{Tick::PassDue, Tick::PassDue} << ceiling;
}

void tst_Countdown::staysDueEveryMinuteUntilAPassEndsNormally()
{
    QFETCH(int, counter);
    QFETCH(QStringList, captions);
    QFETCH(QList<Tick>, ticks);
    QFETCH(int, counterAfter);
    Countdown countdown;
    countdown.setIntMinutos(qint16(counter));
    for (qsizetype i = 0; i < ticks.size(); ++i) {
        QCOMPARE(countdown.tick(Countdown::Activated), ticks.at(i));
        QCOMPARE(countdown.caption(), captions.at(i));
    }
    QCOMPARE(int(countdown.intMinutos()), counterAfter);
    countdown.reset();
    QCOMPARE(countdown.tick(Countdown::Activated), Tick::Counted);
    QCOMPARE(countdown.caption(), QStringLiteral("29 Min."));
}

QTEST_GUILESS_MAIN(tst_Countdown)
#include "tst_countdown.moc"
