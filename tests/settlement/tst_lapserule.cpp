// SPDX-License-Identifier: MIT
// The lapse rule alone, on sums with no database: what it posts for a card, and that what it
// posts leaves nothing for a second pass on the same day, whatever the decimals.
#include "settlement/LapseRule.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_LapseRule : public QObject
{
    Q_OBJECT
private slots:
    void postsWhatTheUnspentPointsRoundTo_data();
    void postsWhatTheUnspentPointsRoundTo();
    void aSecondPassPostsNothingWhateverTheDecimals();
};

namespace {

Currency amount(const QString &text)
{
    Currency out;
    if (!Currency::fromString(text, &out))
        qFatal("not an amount: %s", qPrintable(text));
    return out;
}

QString shown(const CardAdjustments &plan)
{
    return QStringList{plan.oldBalance.toText(), plan.lapse.toText(), plan.refill.toText(),
                       plan.lift.toText()}
        .join(u' ');
}

/// The sums as the next pass on the same day reads them, once `plan` is posted: the lapse and
/// the refill are dated at the cutoff and count in both, the lift is dated today.
bool posted(const CardAdjustments &plan, CardSums *atCutoff, CardSums *today)
{
    return Currency::add(atCutoff->minus, plan.lapse, &atCutoff->minus) &&
           Currency::add(today->minus, plan.lapse, &today->minus) &&
           Currency::add(atCutoff->plus, plan.refill, &atCutoff->plus) &&
           Currency::add(today->plus, plan.refill, &today->plus) &&
           Currency::add(today->plus, plan.lift, &today->plus);
}

/// An amount as tills and imports write them: whole points, halves, hundredths, or four
/// decimals; now and then tiny or negative (a correction).
Currency drawAmount(QRandomGenerator &rng)
{
    const qint64 whole = rng.bounded(3) == 0 ? rng.bounded(100000) : rng.bounded(60);
    qint64 raw = whole * Currency::Scale;
    switch (rng.bounded(5)) {
    case 0:
        break;
    case 1:
        raw += Currency::Scale / 2;
        break;
    case 2:
        raw += 100 * rng.bounded(100);
        break;
    case 3:
        raw += rng.bounded(Currency::Scale);
        break;
    default:
        raw = 1 + rng.bounded(3);
        break;
    }
    return Currency::fromRaw(rng.bounded(12) == 0 ? -raw : raw);
}

} // namespace

void tst_LapseRule::postsWhatTheUnspentPointsRoundTo_data()
{
    // The "+" and "-" sums up to the cutoff, then up to today; what the rule posts, as
    // "old lapse refill lift".
    QTest::addColumn<QString>("cutoffPlus");
    QTest::addColumn<QString>("cutoffMinus");
    QTest::addColumn<QString>("todayPlus");
    QTest::addColumn<QString>("todayMinus");
    QTest::addColumn<QString>("expected");

    // 73155.5 earned and 31003 spent by the cutoff, 29865 spent since: 12287.5 unspent, which
    // rounds to 12288. Rounding the old balance first (42152) lapsed 12287 and left a point.
    QTest::newRow("a card of 42152.5 old points")
        << u"73155.5"_s << u"31003"_s << u"116368.5"_s << u"60868"_s << u"42152 12288 0 0"_s;
    QTest::newRow("odd whole part: 2.5 unspent lapse 2, not 3")
        << u"3.5"_s << u"0"_s << u"3.5"_s << u"1"_s << u"4 2 0 0"_s;
    QTest::newRow("0.4 old: nothing") << u"0.4"_s << u"0"_s << u"9"_s << u"0"_s << u"0 0 0 0"_s;
    QTest::newRow("0.5 old rounds to 0: nothing")
        << u"0.5"_s << u"0"_s << u"9"_s << u"0"_s << u"0 0 0 0"_s;
    QTest::newRow("1.5 unspent lapse 2")
        << u"1.5"_s << u"0"_s << u"9.5"_s << u"0"_s << u"2 2 0 0"_s;
    QTest::newRow("2.5 unspent lapse 2")
        << u"2.5"_s << u"0"_s << u"9.5"_s << u"0"_s << u"2 2 0 0"_s;
    QTest::newRow("half spent since: 9.5 unspent lapse 10")
        << u"10"_s << u"0"_s << u"10"_s << u"0.5"_s << u"10 10 0 0"_s;
    QTest::newRow("all spent but a half: nothing")
        << u"10"_s << u"0"_s << u"10"_s << u"9.5"_s << u"10 0 0 0"_s;
    QTest::newRow("four decimals: 0.5001 unspent lapse 1")
        << u"0.5001"_s << u"0"_s << u"0.5001"_s << u"0"_s << u"1 1 0 0"_s;
    QTest::newRow("four decimals: 2.4999 unspent lapse 2")
        << u"7.4999"_s << u"0"_s << u"7.4999"_s << u"5"_s << u"7 2 0 0"_s;
    QTest::newRow("a ten-thousandth: nothing")
        << u"0.0001"_s << u"0"_s << u"0.0001"_s << u"0"_s << u"0 0 0 0"_s;
    // A correction since the cutoff took today's balance under the old points.
    QTest::newRow("capped by today's 2.5: lapse 2")
        << u"10"_s << u"0"_s << u"2.5"_s << u"0"_s << u"10 2 0 0"_s;
    QTest::newRow("capped by today's 3.5: lapse 4, -0.5 left needs no lift")
        << u"10"_s << u"0"_s << u"3.5"_s << u"0"_s << u"10 4 0 0"_s;
    QTest::newRow("deficit of 2.5 refilled 2, today's -1.5 lifted 2")
        << u"0"_s << u"2.5"_s << u"0"_s << u"3.5"_s << u"-2 0 2 2"_s;
    QTest::newRow("deficit of 3.5 refilled 4, nothing to lift")
        << u"0"_s << u"3.5"_s << u"0"_s << u"3.5"_s << u"-4 0 4 0"_s;
    QTest::newRow("deficit capped by today's -1.5: refill 2")
        << u"0"_s << u"3.5"_s << u"2"_s << u"3.5"_s << u"-4 0 2 0"_s;
    QTest::newRow("deficit made good since: nothing")
        << u"0"_s << u"3.5"_s << u"5"_s << u"3.5"_s << u"-4 0 0 0"_s;
}

void tst_LapseRule::postsWhatTheUnspentPointsRoundTo()
{
    QFETCH(QString, cutoffPlus);
    QFETCH(QString, cutoffMinus);
    QFETCH(QString, todayPlus);
    QFETCH(QString, todayMinus);
    QFETCH(QString, expected);
    CardSums atCutoff{amount(cutoffPlus), amount(cutoffMinus)};
    CardSums today{amount(todayPlus), amount(todayMinus)};
    CardAdjustments plan;
    QVERIFY(LapseRule::adjust(atCutoff, today, &plan));
    QCOMPARE(shown(plan), expected);
    // What it posted leaves nothing for the next pass of the day.
    QVERIFY(posted(plan, &atCutoff, &today));
    QVERIFY(LapseRule::adjust(atCutoff, today, &plan));
    QVERIFY2(plan.postsNothing(), qPrintable(shown(plan)));
}

void tst_LapseRule::aSecondPassPostsNothingWhateverTheDecimals()
{
    // Histories of a few movements on each side of the cutoff, drawn from every shape of
    // amount; the sums are what the database would add up.
    QRandomGenerator rng(20261207);
    int settled = 0;
    for (int i = 0; i < 200000; ++i) {
        CardSums atCutoff;
        for (int m = int(rng.bounded(6)); m > 0; --m) {
            Currency &side = rng.bounded(3) == 0 ? atCutoff.minus : atCutoff.plus;
            QVERIFY(Currency::add(side, drawAmount(rng), &side));
        }
        CardSums today = atCutoff;
        for (int m = int(rng.bounded(4)); m > 0; --m) {
            Currency &side = rng.bounded(2) == 0 ? today.minus : today.plus;
            QVERIFY(Currency::add(side, drawAmount(rng), &side));
        }
        const CardSums before[] = {atCutoff, today};
        CardAdjustments plan;
        QVERIFY(LapseRule::adjust(atCutoff, today, &plan));
        QVERIFY(!plan.lapse.isNegative() && !plan.refill.isNegative() && !plan.lift.isNegative());
        settled += plan.postsNothing() ? 0 : 1;
        QVERIFY(posted(plan, &atCutoff, &today));
        CardAdjustments again;
        QVERIFY(LapseRule::adjust(atCutoff, today, &again));
        QVERIFY2(again.postsNothing(),
                 qPrintable(u"sums %1-%2, %3-%4: first %5, then %6"_s.arg(
                     before[0].plus.toText(), before[0].minus.toText(), before[1].plus.toText(),
                     before[1].minus.toText(), shown(plan), shown(again))));
    }
    QVERIFY(settled > 50000);
}

QTEST_GUILESS_MAIN(tst_LapseRule)
#include "tst_lapserule.moc"
