// SPDX-License-Identifier: MIT
// Hand-made card stories replayed as the ledger of lots, against what the terms leave.
#include "settlement/LotLedger.h"

#include <QTest>

using namespace Qt::StringLiterals;

class tst_LotLedger : public QObject
{
    Q_OBJECT
private slots:
    void storiesLeaveWhatTheTermsLeave_data();
    void storiesLeaveWhatTheTermsLeave();
};

namespace {

// "+ 100 2024-12-01" is a till's movement, "- 30 2026-03-10T07:00" one that counts from the
// next day, "- 30 2026-03-10 @2026-03-10T10:00" one written at 10:00; "- 20 2025-12-07 lapse
// 2026-12-07T10:00" an adjustment (lapse, refill or lift) and when its pass wrote it.
LedgerRow rowOf(const QString &text)
{
    const QStringList f = text.split(u' ');
    LedgerRow row;
    row.plus = f.at(0) == u"+"_s;
    Currency::fromString(f.at(1), &row.pontos);
    const QDateTime data = QDateTime::fromString(f.at(2), Qt::ISODate);
    row.data = data.date();
    row.day = data.time() == QTime(0, 0) ? row.data : row.data.addDays(1);
    if (f.size() > 3 && f.at(3).startsWith(u'@'))
        row.dataSys = QDateTime::fromString(f.at(3).mid(1), Qt::ISODate);
    else if (f.size() > 3) {
        const QString amount = f.at(3) == u"refill"_s ? u"-"_s + f.at(1) : f.at(1);
        row.observa = f.at(3) == u"lift"_s
                          ? u"Regularização Automática (Saldo em 01-01-2027 era negativo"_s
                          : u"Regularização Automática ("_s + amount + u" pontos)"_s;
        row.dataSys = QDateTime::fromString(f.at(4), Qt::ISODate);
        row.passDay = LotLedger::passDayOf(LotLedger::kindOf(row), row.data, row.dataSys);
    }
    return row;
}

} // namespace

void tst_LotLedger::storiesLeaveWhatTheTermsLeave_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("today");
    // The book's balance and lapses, then the ledger's, then the lots left open.
    QTest::addColumn<QString>("expected");
    const QStringList example{u"+ 100 2024-12-01"_s, u"- 80 2026-11-07"_s};
    QTest::newRow("worked example, this rule")
        << (example + QStringList{u"- 20 2025-12-07 lapse 2026-12-07"_s}) << u"2027-11-08"_s
        << u"book 0 lapsed 20; ledger 0 lapsed 20; open"_s;
    // The earlier rule lapsed the points spent too, lifted the card, and refilled the
    // redemption a year on: 80 points that the terms say lapsed.
    QTest::newRow("worked example, earlier rule")
        << (example + QStringList{u"- 100 2025-12-07 lapse 2026-12-07"_s,
                                  u"+ 80 2026-12-07 lift 2026-12-07"_s,
                                  u"+ 80 2026-11-07 refill 2027-11-07"_s})
        << u"2027-11-08"_s << u"book 80 lapsed 100; ledger 0 lapsed 20; open"_s;
    QTest::newRow("no pass yet: the due lot lapses today")
        << example << u"2027-11-08"_s << u"book 20 lapsed 0; ledger 0 lapsed 20; open"_s;
    QTest::newRow("a spending across three lots, the youngest left")
        << QStringList{u"+ 10 2026-01-05"_s, u"+ 20 2026-02-05"_s, u"+ 30 2026-03-05"_s,
                       u"+ 40 2026-04-05"_s, u"- 45 2026-05-01"_s}
        << u"2026-12-01"_s
        << u"book 55 lapsed 0; ledger 55 lapsed 0; open 2026-03-05:15 2026-04-05:40"_s;
    // A redemption beyond the lots leaves a deficit that the next earning makes good; what is
    // still owed a year on is refilled, and only that is forgiven.
    QTest::newRow("an old deficit, partly made good, refilled")
        << QStringList{u"- 50 2025-03-01"_s, u"+ 30 2025-06-01"_s,
                       u"+ 20 2025-03-01 refill 2026-03-01"_s}
        << u"2026-03-02"_s << u"book 0 lapsed 0; ledger 0 lapsed 0; open"_s;
    QTest::newRow("a refill beyond the deficit is given points")
        << QStringList{u"- 50 2025-03-01"_s, u"+ 80 2025-06-01"_s,
                       u"+ 50 2025-03-01 refill 2026-03-01"_s}
        << u"2026-03-02"_s << u"book 80 lapsed 0; ledger 30 lapsed 0; open 2025-06-01:30"_s;
    QTest::newRow("a lift of a card overdrawn since its old points")
        << QStringList{u"+ 100 2025-01-10"_s, u"- 150 2025-06-01"_s,
                       u"+ 50 2026-01-10 lift 2026-01-10"_s, u"+ 7.5 2026-02-01"_s}
        << u"2026-03-01"_s << u"book 7.5 lapsed 0; ledger 7.5 lapsed 0; open 2026-02-01:7.5"_s;
    // The audit's own pass comes before what counts from tomorrow, and after what a till wrote
    // before it, but a pass that ran earlier today came before what was written after it.
    QTest::newRow("today's pass before a movement of later today")
        << QStringList{u"+ 100 2025-03-10"_s, u"- 30 2026-03-10T07:00"_s} << u"2026-03-10"_s
        << u"book 70 lapsed 0; ledger -30 lapsed 100; open"_s;
    QTest::newRow("a spending written after the day's pass")
        << QStringList{u"+ 100 2025-03-10"_s, u"+ 50 2025-09-01"_s,
                       u"- 100 2025-03-10 lapse 2026-03-10T00:30"_s,
                       u"- 30 2026-03-10 @2026-03-10T09:45"_s}
        << u"2026-03-20"_s << u"book 20 lapsed 100; ledger 20 lapsed 100; open 2025-09-01:20"_s;
    // A pass that started on the 9th and wrote after midnight; and a pass on 29 February, which
    // shares its cutoff with the 28th's.
    QTest::newRow("a pass that ran past midnight")
        << QStringList{u"+ 100 2025-03-09"_s, u"+ 50 2025-09-01"_s, u"- 60 2026-03-09T12:00"_s,
                       u"- 100 2025-03-09 lapse 2026-03-10T00:05"_s}
        << u"2026-03-20"_s << u"book -10 lapsed 100; ledger -10 lapsed 100; open"_s;
    QTest::newRow("a pass on 29 February")
        << QStringList{u"+ 100 2023-02-28"_s, u"- 40 2024-02-29"_s,
                       u"- 60 2023-02-28 lapse 2024-02-29T10:00"_s}
        << u"2024-03-05"_s << u"book 0 lapsed 60; ledger 0 lapsed 60; open"_s;
    QTest::newRow("a lapse of half a point over, and a lot due today")
        << QStringList{u"+ 12.5 2025-01-10"_s, u"+ 4 2025-05-01"_s,
                       u"- 13 2025-01-10 lapse 2026-01-10"_s}
        << u"2026-05-02"_s << u"book 3.5 lapsed 13; ledger 0 lapsed 16.5; open"_s;
}

void tst_LotLedger::storiesLeaveWhatTheTermsLeave()
{
    QFETCH(QStringList, rows);
    QFETCH(QString, today);
    QFETCH(QString, expected);
    std::vector<LedgerRow> history;
    for (const QString &text : rows)
        history.push_back(rowOf(text));
    LotLedger ledger;
    QVERIFY(ledger.replay(history, QDateTime(QDate::fromString(today, Qt::ISODate), QTime(10, 0))));
    const LotLedger::Totals &t = ledger.totals();
    const auto points = [](Currency c) {
        QString text = c.toDecimalString();
        while (text.contains(u'.') && (text.endsWith(u'0') || text.endsWith(u'.')))
            text.chop(1);
        return text;
    };
    QString got = u"book %1 lapsed %2; ledger %3 lapsed %4; open"_s.arg(
        points(t.book), points(t.bookLapsed), points(t.ledger), points(t.ledgerLapsed));
    for (const LotLedger::Lot &lot : ledger.openLots())
        got += u' ' + lot.day.toString(Qt::ISODate) + u':' + points(lot.left);
    QCOMPARE(got, expected);
    // Whatever order the rows come in.
    std::reverse(history.begin(), history.end());
    QVERIFY(ledger.replay(history, QDateTime(QDate::fromString(today, Qt::ISODate), QTime(10, 0))));
    QCOMPARE(ledger.totals().ledger, t.ledger);
}

QTEST_GUILESS_MAIN(tst_LotLedger)
#include "tst_lotledger.moc"
