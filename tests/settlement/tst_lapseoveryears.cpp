// SPDX-License-Identifier: MIT
// The lapse rule followed over years of daily passes: every card's balance must be what a
// ledger of lots leaves, where points lapse a year after they were earned (at the first pass
// from then on) and a redemption spends the oldest points first.
#include "PassTestUtil.h"
#include "settlement/ExpiryForecast.h"
#include "settlement/LedgerAudit.h"

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
    void anyHistorySettlesOnceWhereverAPassStops_data();
    void anyHistorySettlesOnceWhereverAPassStops();
};

namespace {

/// Lots of points, each lapsing a year after the day it was earned; redemptions spend the
/// oldest first. Amounts in ten-thousandths of a point, exact: the ledger knows nothing of
/// rounding, so the database may stand up to half a point from it.
class OracleLots
{
public:
    void earn(const QDate &day, qint64 raw) { m_lots.push_back({day, raw}); }
    void spend(qint64 raw)
    {
        while (raw > 0 && !m_lots.empty()) {
            const qint64 taken = qMin(raw, m_lots.front().raw);
            m_lots.front().raw -= taken;
            raw -= taken;
            if (m_lots.front().raw == 0)
                m_lots.pop_front();
        }
        QVERIFY2(raw == 0, "the till let the card go below zero");
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
            total += lot.raw;
        return total;
    }

private:
    struct Lot
    {
        QDate day;
        qint64 raw;
    };
    std::deque<Lot> m_lots;
};

/// The audit's lines, by card number.
class AuditLines final : public AuditOutput
{
public:
    void line(const AuditLine &line) override
    {
        lines[line.numCartao] = line.totals;
        for (const LotLedger::Lot &lot : line.open)
            lapsing[line.numCartao][LotLedger::lapseDay(lot.day)] += lot.left.raw();
    }
    void story(const QString &line) override { told << line; }
    std::map<QString, LotLedger::Totals> lines;
    QStringList told;
    /// The open lots' points by the day they lapse.
    std::map<QString, std::map<QDate, qint64>> lapsing;
};

/// The forecast's points, by card and day.
class ForecastLines final : public ExpiryOutput
{
public:
    void line(const ExpiryLine &line) override
    {
        lapsing[line.numCartao][line.day] += line.points.raw();
    }
    std::map<QString, std::map<QDate, qint64>> lapsing;
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
    // Amounts with four decimals and halves, or whole points only.
    QTest::addColumn<bool>("fractional");
    // A server pays round trips for every pass: fewer cards, days and seeds there.
    if (TestDatabase::isServer()) {
        QTest::newRow("seed 1, fractional") << 1u << 4 << 90 << true;
        return;
    }
    for (quint32 seed = 1; seed <= 3; ++seed)
        QTest::addRow("seed %u, fractional", seed) << seed << 8 << 300 << true;
    QTest::newRow("seed 4, whole points") << 4u << 8 << 300 << false;
}

void tst_LapseOverYears::dailyPassesLeaveWhatTheLedgerOfLotsLeaves()
{
    QFETCH(quint32, seed);
    QFETCH(int, cards);
    QFETCH(int, days);
    QFETCH(bool, fractional);
    QRandomGenerator rng(seed);
    // An amount up to `most` ten-thousandths: whole points, or for fractional data now and
    // then a half, hundredths or four decimals.
    const auto draw = [&rng, fractional](qint64 most) {
        const qint64 whole =
            1 + qint64(rng.bounded(quint64(qMax<qint64>(most / Currency::Scale, 1))));
        if (!fractional || rng.bounded(5) < 2)
            return qMin(whole * Currency::Scale, most);
        qint64 raw = 1 + qint64(rng.bounded(quint64(most)));
        if (rng.bounded(2) == 0 && raw >= Currency::Scale / 2)
            raw -= raw % (Currency::Scale / 2); // a half or a whole point
        else if (rng.bounded(2) == 0 && raw >= 100)
            raw -= raw % 100; // hundredths
        return raw;
    };
    const auto text = [](qint64 raw) {
        return Currency::fromRaw(raw).toDecimalString();
    };
    TestDatabase db;
    QVERIFY(db.isValid());
    std::vector<OracleLots> ledgers(static_cast<std::size_t>(cards));
    // Every card's balance as the database holds it: the tills' movements and the pass's rows.
    std::map<QString, qint64> held;
    const auto cardName = [](int c) {
        return QString::number(1000 + c);
    };
    for (int c = 0; c < cards; ++c)
        db.addCard(u"C"_s + cardName(c), cardName(c));

    PassOptions options;
    options.connection = TestDatabase::connectionOptions();
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
            OracleLots &ledger = ledgers[static_cast<std::size_t>(c)];
            const QString cliente = u"C"_s + cardName(c);
            const bool silent = c % 3 == 0 && (i / 120) % 2 == 1;
            if (!silent && rng.bounded(10) < 4) {
                const qint64 raw = draw(100 * Currency::Scale);
                db.addMovement(cliente, cardName(c), u"+"_s, text(raw), day(today));
                ledger.earn(today, raw);
                held[cardName(c)] += raw;
            }
            // Mostly less than a month's earnings, now and then the whole balance.
            if (rng.bounded(100) < c % 4 * 4 && ledger.balance() > 0) {
                const qint64 most = rng.bounded(30) == 0
                                        ? ledger.balance()
                                        : qMin<qint64>(ledger.balance(), 150 * Currency::Scale);
                const qint64 raw = draw(most);
                db.addMovement(cliente, cardName(c), u"-"_s, text(raw), day(today));
                ledger.spend(raw);
                held[cardName(c)] -= raw;
            }
        }
        if (today < firstPass)
            continue;
        QVERIFY(db.db().commit());
        // Now and then the machine is off for a day. Points lapse when a pass runs: until then
        // they are on the card, and a redemption in between spends them first, as the oldest.
        if (rng.bounded(10) == 0)
            continue;
        for (OracleLots &ledger : ledgers)
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
            held[row.NumCartao] -= row.Pontos.raw();
        }
        rows += pass.postings().size();
        // Each lapse rounds the exact unspent points once, and what it leaves over is in the
        // next one's sums: the card never drifts more than half a point from the ledger.
        for (int c = 0; c < cards; ++c) {
            const qint64 apart = held[cardName(c)] - ledgers[static_cast<std::size_t>(c)].balance();
            QVERIFY2(fractional ? qAbs(apart) <= Currency::Scale / 2 : apart == 0,
                     qPrintable(u"card %1 on %2: %3 held, %4 in the ledger"_s.arg(cardName(c))
                                    .arg(day(today))
                                    .arg(text(held[cardName(c)]))
                                    .arg(text(ledgers[static_cast<std::size_t>(c)].balance()))));
        }
        // A server pays a round trip a day for it: there, once a week.
        if (!TestDatabase::isServer() || i % 7 == 0) {
            // The audit replays each card's ledger from its own rows, where the test kept its own:
            // the book stands within half a point of both.
            AuditLines audited;
            LedgerAudit audit(db.settings(), host, host.manualClock, options.connection, audited);
            QCOMPARE(audit.run(), PassOutcome::Completed);
            QCOMPARE(int(audited.lines.size()), cards);
            for (const auto &[card, totals] : audited.lines) {
                const qint64 ledger =
                    ledgers[static_cast<std::size_t>(card.toInt() - 1000)].balance();
                Currency apart;
                QVERIFY(LedgerAudit::difference(totals, &apart));
                QVERIFY2(apart.isZero() &&
                             qAbs(totals.ledger.raw() - ledger) <= Currency::Scale / 2,
                         qPrintable(u"card %1 on %2: %3 held, %4 in the audit's ledger"_s.arg(card)
                                        .arg(day(today), text(totals.book.raw()))
                                        .arg(text(totals.ledger.raw()))));
            }
            QCOMPARE(audit.stats().cardsDiffering, 0);
        }
        if (fractional || i % 50 == 0) { // a second pass the same day finds nothing to do
            RecordingHost again = hostOn(today);
            SettlementPass second(db.settings(), again, again.manualClock, options);
            QCOMPARE(second.run(), PassOutcome::Completed);
            QCOMPARE(second.postings().size(), 0);
        }
    }
    // The lots the audit leaves open lapse on the days, and as many points, as the forecast
    // says, up to the rounding of each lapse.
    {
        RecordingHost host = hostOn(first.addDays(total - 1));
        AuditLines audited;
        QCOMPARE(
            LedgerAudit(db.settings(), host, host.manualClock, options.connection, audited).run(),
            PassOutcome::Completed);
        ForecastLines foreseen;
        ForecastOptions forecast;
        forecast.days = ExpiryForecast::MaxDays;
        forecast.connection = options.connection;
        QCOMPARE(ExpiryForecast(db.settings(), host, host.manualClock, forecast, foreseen).run(),
                 PassOutcome::Completed);
        for (int c = 0; c < cards; ++c) {
            qint64 byLots = 0;
            qint64 byForecast = 0;
            auto lots = audited.lapsing[cardName(c)];
            auto foreseenDays = foreseen.lapsing[cardName(c)];
            for (const auto &[d, raw] : foreseenDays)
                lots[d] += 0; // every day of either
            for (const auto &[d, raw] : lots) {
                byLots += raw;
                byForecast += foreseenDays[d];
                QVERIFY2(qAbs(byLots - byForecast) <= (fractional ? Currency::Scale : 0),
                         qPrintable(u"card %1 up to %2: %3 by the lots, %4 foreseen"_s.arg(
                             cardName(c), day(d), text(byLots), text(byForecast))));
            }
            // A card's story ends on the balances the audit found.
            const LotLedger::Totals &t = audited.lines[cardName(c)];
            QCOMPARE(LedgerAudit(db.settings(), host, host.manualClock, options.connection, audited)
                         .explain(cardName(c), QString()),
                     PassOutcome::Completed);
            QVERIFY2(
                audited.told.join(u'\n').contains(u"Saldo pelo livro: %1; pelos lotes: %2;"_s.arg(
                    t.book.toText(), t.ledger.toText())),
                qPrintable(audited.told.join(u'\n')));
            audited.told.clear();
        }
    }
    // What the test kept of the database is what the database holds.
    const QString last = day(first.addDays(total - 1));
    for (int c = 0; c < cards; ++c)
        QCOMPARE(db.balance(u"C"_s + cardName(c), cardName(c), last), text(held[cardName(c)]));
    QVERIFY(rows > 0);
    qInfo("%d cards, %d days: %lld rows posted", cards, days, rows);
}

void tst_LapseOverYears::anyHistorySettlesOnceWhereverAPassStops_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("strategy");
    const QList<quint32> seeds =
        TestDatabase::isServer() ? QList<quint32>{11, 12} : QList<quint32>{11, 12, 13, 14, 15, 16};
    for (quint32 seed : seeds) {
        QTest::addRow("seed %u, per card", seed) << seed << int(BalanceStrategy::PerCard);
        QTest::addRow("seed %u, set-based", seed) << seed << int(BalanceStrategy::SetBased);
    }
}

void tst_LapseOverYears::anyHistorySettlesOnceWhereverAPassStops()
{
    // Cards with a few movements each over the two years before the pass, of any amount from
    // 0.0001 to 100 000 with four decimals, many of them halves; some cards overdrawn, so that
    // old deficits are refilled and balances lifted too.
    QFETCH(quint32, seed);
    QFETCH(int, strategy);
    QRandomGenerator rng(seed);
    const QDate today = QDate(2026, 12, 7).addDays(rng.bounded(400));
    const int cards = TestDatabase::isServer() ? 30 : 60;
    struct Movement
    {
        QString card;
        QString afecta;
        QString pontos;
        QString data;
    };
    std::vector<Movement> movements;
    for (int c = 0; c < cards; ++c) {
        for (int m = int(rng.bounded(9)); m > 0; --m) {
            qint64 raw = 0;
            switch (rng.bounded(4)) {
            case 0: // whole points
                raw = (1 + qint64(rng.bounded(100000))) * Currency::Scale;
                break;
            case 1: // halves
                raw = qint64(rng.bounded(2000)) * Currency::Scale + Currency::Scale / 2;
                break;
            case 2: // four decimals, now and then a mere few ten-thousandths
                raw = rng.bounded(8) == 0
                          ? 1 + qint64(rng.bounded(9))
                          : 1 + qint64(rng.bounded(quint64(1000) * Currency::Scale));
                break;
            default: // hundredths
                raw = 100 * (1 + qint64(rng.bounded(100000)));
                break;
            }
            const QDate day = today.addDays(-qint64(rng.bounded(800)));
            movements.push_back({QString::number(2000 + c), rng.bounded(5) < 3 ? u"+"_s : u"-"_s,
                                 Currency::fromRaw(raw).toDecimalString(),
                                 day.toString(u"yyyy-MM-dd"_s)});
        }
    }
    // Odd seeds on a card table without its index on NumCartao, which nothing says a scheme has.
    const bool cardIndex = seed % 2 == 0;
    const auto fill = [&](TestDatabase &db) {
        if (!cardIndex)
            db.exec(u"drop index PontosCartoes_NumCartao"_s +
                    (TestDatabase::isServer() ? u" on PontosCartoes"_s : QString()));
        for (int c = 0; c < cards; ++c)
            db.addCard(u"K"_s + QString::number(2000 + c), QString::number(2000 + c));
        QVERIFY(db.db().transaction());
        for (const Movement &m : movements)
            db.addMovement(u"K"_s + m.card, m.card, m.afecta, m.pontos, m.data);
        QVERIFY(db.db().commit());
    };
    const auto rows = [](const TestDatabase &db) {
        QStringList out;
        for (const QVariantMap &row : db.postedRows()) {
            out << QStringList{row.value(u"NumCartao"_s).toString(),
                               row.value(u"Afecta"_s).toString(),
                               amountText(row.value(u"Pontos"_s)), row.value(u"Data"_s).toString(),
                               row.value(u"Observa"_s).toString()}
                       .join(u' ');
        }
        out.sort();
        return out;
    };
    PassOptions options;
    options.strategy = BalanceStrategy(strategy);
    options.connection = TestDatabase::connectionOptions();
    options.recordPostings = true;
    options.batchCards = 1 + int(rng.bounded(10));
    // A pass on the same day, or `at`, that stops after `stopAfter` cards (never, with 0).
    const auto pass = [&](const TestDatabase &db, qint64 stopAfter, const QDateTime &at = {}) {
        RecordingHost host(at.isValid() ? at : QDateTime(today, QTime(10, 0)));
        host.onProgress = [&host, stopAfter](qint64 done) {
            if (stopAfter > 0 && done >= stopAfter)
                host.stop = true;
        };
        SettlementPass run(db.settings(), host, host.manualClock, options);
        const PassOutcome outcome = run.run();
        return std::make_pair(outcome, run.postings().size());
    };

    QStringList clean;
    {
        TestDatabase db;
        QVERIFY(db.isValid());
        fill(db);
        QCOMPARE(pass(db, 0).first, PassOutcome::Completed);
        clean = rows(db);
        QVERIFY(clean.size() > cards / 4);
        // The audit, with the card index or without, finds every card once and writes nothing.
        RecordingHost auditHost(QDateTime(today, QTime(11, 0)));
        AuditLines audited;
        QCOMPARE(LedgerAudit(db.settings(), auditHost, auditHost.manualClock, options.connection,
                             audited)
                     .run(),
                 PassOutcome::Completed);
        QCOMPARE(int(audited.lines.size()), cards);
        QCOMPARE(rows(db), clean);
        QCOMPARE(pass(db, 0), std::make_pair(PassOutcome::Completed, qsizetype(0)));
        // A clock behind by minutes to months posts nothing: on an earlier day the pass fails
        // before its first card, as it would post again what the first posted.
        const qint64 unit = QList<qint64>{60, 3600, 86400, 30 * 86400}.at(rng.bounded(4));
        const QDateTime behind =
            QDateTime(today, QTime(10, 0)).addSecs(-(1 + qint64(rng.bounded(20))) * unit);
        QCOMPARE(pass(db, 0, behind), std::make_pair(behind.date() == today ? PassOutcome::Completed
                                                                            : PassOutcome::Failed,
                                                     qsizetype(0)));
        QCOMPARE(rows(db), clean);
    }
    const qint64 stopAfter = 1 + qint64(rng.bounded(quint64(cards - 2)));
    TestDatabase db;
    fill(db);
    QCOMPARE(pass(db, stopAfter).first, PassOutcome::Stopped);
    QVERIFY2(rows(db).size() < clean.size(), "the pass did not stop before its end");
    QCOMPARE(pass(db, 0).first, PassOutcome::Completed);
    QCOMPARE(rows(db), clean);
    QCOMPARE(pass(db, 0), std::make_pair(PassOutcome::Completed, qsizetype(0)));
}

QTEST_GUILESS_MAIN(tst_LapseOverYears)
#include "tst_lapseoveryears.moc"
