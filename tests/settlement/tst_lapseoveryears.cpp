// SPDX-License-Identifier: MIT
// The lapse rule followed over years of daily passes: every card's balance must be what a
// ledger of lots leaves, where points lapse a year after they were earned (at the first pass
// from then on) and a redemption spends the oldest points first.
#include "PassTestUtil.h"

#include <QRandomGenerator>
#include <QTest>

#include <deque>
#include <map>

class tst_LapseOverYears : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { VELMORA_REQUIRE_BACKEND(); }
    void spentPointsLapseOnceAndALiftIsNeverPaidTwice();
    void dailyPassesLeaveWhatTheLedgerOfLotsLeaves_data();
    void dailyPassesLeaveWhatTheLedgerOfLotsLeaves();
};

namespace {

/// Lots of points, each lapsing a year after the day it was earned; redemptions spend the
/// oldest first. Whole points only: the ledger knows nothing of rounding.
class LotLedger
{
public:
    void earn(const QDate &day, qint64 points) { m_lots.push_back({day, points}); }
    void spend(qint64 points)
    {
        while (points > 0 && !m_lots.empty()) {
            const qint64 taken = qMin(points, m_lots.front().points);
            m_lots.front().points -= taken;
            points -= taken;
            if (m_lots.front().points == 0)
                m_lots.pop_front();
        }
        QVERIFY2(points == 0, "the till let the card go below zero");
    }
    /// Lots earned on or before `cutoff` lapse: a pass ran.
    void lapseUpTo(const QDate &cutoff)
    {
        while (!m_lots.empty() && m_lots.front().day <= cutoff)
            m_lots.pop_front();
    }
    qint64 balance() const
    {
        qint64 total = 0;
        for (const Lot &lot : m_lots)
            total += lot.points;
        return total;
    }

private:
    struct Lot
    {
        QDate day;
        qint64 points;
    };
    std::deque<Lot> m_lots;
};

QString day(const QDate &d)
{
    return d.toString(u"yyyy-MM-dd"_s);
}

RecordingHost hostOn(const QDate &d)
{
    return RecordingHost(QDateTime(d, QTime(10, 0)));
}

} // namespace

void tst_LapseOverYears::spentPointsLapseOnceAndALiftIsNeverPaidTwice()
{
    // 100 points earned, 80 of them redeemed a month before the first pass: the 20 left
    // lapse, and when the redemption is a year old nothing more is posted.
    TestDatabase db;
    db.addCard(u"E"_s, u"7"_s, {u"+ 100 2024-12-01"_s, u"- 80 2026-11-07"_s});
    const QStringList lapsed{u"- 20 2025-12-07 Regularização Automática (20 pontos)"_s};
    for (const QDate &d : {QDate(2026, 12, 7), QDate(2027, 11, 7), QDate(2027, 11, 8)}) {
        RecordingHost host = hostOn(d);
        QCOMPARE(runPass(db, host), PassOutcome::Completed);
        QCOMPARE(postedSummaries(db), lapsed);
        QCOMPARE(db.balance(u"E"_s, u"7"_s, day(d)), u"0.0000"_s);
    }
}

void tst_LapseOverYears::dailyPassesLeaveWhatTheLedgerOfLotsLeaves_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("cards");
    QTest::addColumn<int>("days"); // of passes, after a first year of movements alone
    // A server pays round trips for every pass: fewer cards, days and seeds there.
    if (TestDatabase::isServer()) {
        QTest::newRow("seed 1") << 1u << 4 << 90;
        return;
    }
    for (quint32 seed = 1; seed <= 3; ++seed)
        QTest::addRow("seed %u", seed) << seed << 8 << 300;
}

void tst_LapseOverYears::dailyPassesLeaveWhatTheLedgerOfLotsLeaves()
{
    QFETCH(quint32, seed);
    QFETCH(int, cards);
    QFETCH(int, days);
    QRandomGenerator rng(seed);
    TestDatabase db;
    QVERIFY(db.isValid());
    std::vector<LotLedger> ledgers(static_cast<std::size_t>(cards));
    // Every card's balance as the database holds it: the tills' movements and the pass's rows.
    std::map<QString, qint64> held;
    const auto cardName = [](int c) {
        return QString::number(1000 + c);
    };
    for (int c = 0; c < cards; ++c)
        db.addCard(u"C"_s + cardName(c), cardName(c));

    PassOptions options;
    options.recordPostings = true;
    // Nothing lapses in the first year, so no pass runs then; its movements go in at once.
    const QDate first(2025, 3, 1);
    const QDate firstPass = first.addYears(1);
    const int total = int(first.daysTo(firstPass)) + days;
    qint64 rows = 0;
    QVERIFY(db.db().transaction());
    for (int i = 0; i < total; ++i) {
        const QDate today = first.addDays(i);
        // A day's movements go in as one transaction; the first year's, as one.
        if (today > firstPass)
            QVERIFY(db.db().transaction());
        // The tills: cards earn on some days and redeem, each at a pace of its own, never
        // below zero. Some fall silent for months, so that whole lots lapse.
        for (int c = 0; c < cards; ++c) {
            LotLedger &ledger = ledgers[static_cast<std::size_t>(c)];
            const QString cliente = u"C"_s + cardName(c);
            const bool silent = c % 3 == 0 && (i / 120) % 2 == 1;
            if (!silent && rng.bounded(10) < 4) {
                const qint64 points = 1 + rng.bounded(100);
                db.addMovement(cliente, cardName(c), u"+"_s, QString::number(points), day(today));
                ledger.earn(today, points);
                held[cardName(c)] += points;
            }
            // Mostly less than a month's earnings, now and then the whole balance.
            if (rng.bounded(100) < c % 4 * 4 && ledger.balance() > 0) {
                const qint64 most =
                    rng.bounded(30) == 0 ? ledger.balance() : qMin<qint64>(ledger.balance(), 150);
                const qint64 points = 1 + rng.bounded(quint64(most));
                db.addMovement(cliente, cardName(c), u"-"_s, QString::number(points), day(today));
                ledger.spend(points);
                held[cardName(c)] -= points;
            }
        }
        if (today < firstPass)
            continue;
        QVERIFY(db.db().commit());
        // Now and then the machine is off for a day. Points lapse when a pass runs: until then
        // they are on the card, and a redemption in between spends them first, as the oldest.
        if (rng.bounded(10) == 0)
            continue;
        for (LotLedger &ledger : ledgers)
            ledger.lapseUpTo(today.addYears(-1));
        RecordingHost host = hostOn(today);
        SettlementPass pass(db.settings(), host, host.manualClock, options);
        QCOMPARE(pass.run(), PassOutcome::Completed);
        QSet<QString> settled;
        for (const HistoryEntry &row : pass.postings()) {
            // The tills never overdraw, so nothing is ever lifted, and a card lapses once a day.
            QCOMPARE(row.Afecta, u"-"_s);
            QVERIFY2(!settled.contains(row.NumCartao), qPrintable(row.NumCartao));
            settled.insert(row.NumCartao);
            held[row.NumCartao] -= row.Pontos.raw() / Currency::Scale;
        }
        rows += pass.postings().size();
        for (int c = 0; c < cards; ++c) {
            QVERIFY2(held[cardName(c)] == ledgers[static_cast<std::size_t>(c)].balance(),
                     qPrintable(u"card %1 on %2: %3 held, %4 in the ledger"_s.arg(cardName(c))
                                    .arg(day(today))
                                    .arg(held[cardName(c)])
                                    .arg(ledgers[static_cast<std::size_t>(c)].balance())));
        }
        if (i % 50 == 0) { // a second pass the same day finds nothing to do
            RecordingHost again = hostOn(today);
            SettlementPass second(db.settings(), again, again.manualClock, options);
            QCOMPARE(second.run(), PassOutcome::Completed);
            QCOMPARE(second.postings().size(), 0);
        }
    }
    // What the test kept of the database is what the database holds.
    const QString last = day(first.addDays(total - 1));
    for (int c = 0; c < cards; ++c)
        QCOMPARE(db.balance(u"C"_s + cardName(c), cardName(c), last),
                 QString::number(held[cardName(c)]) + u".0000"_s);
    QVERIFY(rows > 0);
    qInfo("%d cards, %d days: %lld rows posted", cards, days, rows);
}

QTEST_GUILESS_MAIN(tst_LapseOverYears)
#include "tst_lapseoveryears.moc"
