// SPDX-License-Identifier: MIT
// The forecast of what lapses against what real passes post on the coming days, when nothing
// else moves.
#include "PassTestUtil.h"
#include "settlement/ExpiryForecast.h"
#include "settlement/PassLock.h"

#include <QLockFile>

#include <QTest>

class tst_ExpiryForecast : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { VELMORA_REQUIRE_BACKEND(); }
    void foreseesWhatThePassesOfTheComingDaysPost_data();
    void foreseesWhatThePassesOfTheComingDaysPost();
    void csvQuotesOnlyWhatNeedsIt_data();
    void csvQuotesOnlyWhatNeedsIt();
    void putOffOrFailedEndsAsAPassEnds();
};

namespace {

struct Collector final : ExpiryOutput
{
    void begin() override { ++begun; }
    void line(const ExpiryLine &l) override
    {
        lines << u"%1 %2 %3 %4"_s.arg(l.cliente, l.numCartao, l.day.toString(Qt::ISODate),
                                      l.points.toText());
        balances[l.numCartao] = l.balance.toText();
    }
    int begun = 0;
    QStringList lines;
    QMap<QString, QString> balances;
};

struct Movement
{
    const char *cliente;
    const char *numCartao;
    const char *afecta;
    const char *pontos;
    int day;          // days after the first day's cutoff less one: today a year back
    const char *time; // "" for a date alone
};

// Old points partly spent since; an old deficit refilled, which makes the next lapse larger;
// a card overdrawn today, lifted; movements later in a day, which count from the next; halves;
// a name that CSV quotes; movements dated after today; movements that fall due on the 29th of
// February and near the end of a year; and amounts with halves and four decimals.
const Movement kHistory[] = {
    {"CA", "1", "+", "100", -40, ""},
    {"CA", "1", "+", "50", 5, ""},
    {"CA", "1", "+", "30", 13, "10:00:00"},
    {"CA", "1", "-", "60", 280, ""},
    {"CA", "1", "+", "12", 300, ""},
    {"CB", "2", "+", "10", -200, ""},
    {"CB", "2", "-", "30", -199, ""},
    {"CB", "2", "+", "40", 18, ""},
    {"CC", "3", "+", "10", -50, ""},
    {"CC", "3", "-", "60", 100, ""},
    {"CC", "3", "+", "20", 12, ""},
    {"CC", "3", "+", "30", 366, ""}, // tomorrow: in the old balance of a pass a year on
    {"CD", "4", "+", "15", 8, ""},
    {"CD", "4", "+", "25", 8, "14:00:00"},
    {"CD", "4", "+", "5", 9, ""},
    {"CE", "5", "+", "10.5", 2, ""},
    {"CE", "5", "+", "0.5", 3, ""},
    {"Silva, \"Zé\"", "2001", "+", "5", 23, ""},
    {"CG", "7", "+", "40", 5, ""},
    {"CG", "7", "-", "15", 370, ""},
    {"CH", "8", "+", "30", -100, ""},
    {"CI", "9", "+", "7", 364, ""},
    // Halves and four decimals, spent in part since: each lapse rounds the unspent points once.
    {"CJ", "10", "+", "3.5", 6, ""},
    {"CJ", "10", "-", "1", 200, ""},
    {"CK", "11", "+", "7.4999", 4, ""},
    {"CK", "11", "+", "0.0001", 4, "09:00:00"},
    {"CK", "11", "-", "2.25", 100, ""},
    {"CL", "12", "+", "70.5", 10, ""},
    {"CL", "12", "+", "35.5", 11, ""},
    {"CL", "12", "-", "31", 200, ""},
    {"CL", "12", "-", "29.5", 300, ""},
};

} // namespace

void tst_ExpiryForecast::foreseesWhatThePassesOfTheComingDaysPost_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<int>("days");
    QTest::addColumn<bool>("setBased");
    // From 20 February 2028 the passes of the 28th and the 29th share a cutoff.
    QTest::newRow("per card, over a 29 February") << QDate(2028, 2, 20) << 40 << false;
    QTest::newRow("set-based, over a 29 February") << QDate(2028, 2, 20) << 40 << true;
    // The last cutoff is the first day itself: its lift counts in that pass's old balance.
    if (!TestDatabase::isServer())
        QTest::newRow("set-based, a year and a day") << QDate(2026, 12, 6) << 366 << true;
}

void tst_ExpiryForecast::foreseesWhatThePassesOfTheComingDaysPost()
{
    QFETCH(QDate, today);
    QFETCH(int, days);
    QFETCH(bool, setBased);
    TestDatabase db;
    QVERIFY(db.isValid());
    const QDate base = today.addYears(-1);
    QSet<QString> cards;
    for (const Movement &m : kHistory) {
        const QString cliente = QString::fromUtf8(m.cliente);
        const QString numCartao = QString::fromLatin1(m.numCartao);
        if (!cards.contains(numCartao))
            db.addCard(cliente, numCartao);
        cards.insert(numCartao);
        QString data = base.addDays(m.day).toString(Qt::ISODate);
        if (*m.time)
            data += u' ' + QString::fromLatin1(m.time);
        db.addMovement(cliente, numCartao, QString::fromLatin1(m.afecta),
                       QString::fromLatin1(m.pontos), data);
    }

    RecordingHost host(QDateTime(today, QTime(10, 0)));
    Collector forecast;
    ForecastOptions options;
    options.days = days;
    options.strategy = setBased ? BalanceStrategy::SetBased : BalanceStrategy::PerCard;
    options.connection = db.connectionOptions();
    const qsizetype rowsBefore = db.allRows().size();
    ExpiryForecast run(db.settings(), host, host.manualClock, options, forecast);
    QCOMPARE(run.run(), PassOutcome::Completed);
    QCOMPARE(db.allRows().size(), rowsBefore);
    QCOMPARE(forecast.begun, 1);
    QCOMPARE(run.stats().cardsRead, cards.size());
    QCOMPARE(run.stats().lines, forecast.lines.size());
    // Each card's balance today, whole.
    for (auto it = forecast.balances.cbegin(); it != forecast.balances.cend(); ++it) {
        QString cliente;
        for (const Movement &m : kHistory) {
            if (QLatin1String(m.numCartao) == it.key())
                cliente = QString::fromUtf8(m.cliente);
        }
        Currency exact;
        Currency whole;
        QVERIFY(Currency::fromString(db.balance(cliente, it.key(), today.toString(Qt::ISODate)),
                                     &exact) &&
                exact.roundToWhole(&whole));
        QCOMPARE(it.value(), whole.toText());
    }

    // The passes themselves, today's first, a day at a time, on nothing but their own rows.
    QStringList posted;
    PassOptions passOptions;
    passOptions.recordPostings = true;
    passOptions.connection = db.connectionOptions();
    for (int k = 0; k <= days; ++k) {
        const QDate day = today.addDays(k);
        RecordingHost passHost(QDateTime(day, QTime(10, 0)));
        SettlementPass pass(db.settings(), passHost, passHost.manualClock, passOptions);
        QCOMPARE(pass.run(), PassOutcome::Completed);
        for (const HistoryEntry &row : pass.postings()) {
            if (row.Afecta == u"-"_s)
                posted << u"%1 %2 %3 %4"_s.arg(row.Terceiro, row.NumCartao,
                                               day.toString(Qt::ISODate), row.Pontos.toText());
        }
    }
    // The passes post in card-list order each day, the forecast day by day for each card.
    const auto byCard = [](QStringList lines) {
        std::stable_sort(lines.begin(), lines.end(), [](const QString &a, const QString &b) {
            return a.section(u' ', -3, -3) < b.section(u' ', -3, -3);
        });
        return lines;
    };
    QCOMPARE(forecast.lines, byCard(posted));
    QVERIFY2(forecast.lines.size() >= 10, qPrintable(forecast.lines.join(u'\n')));
}

void tst_ExpiryForecast::csvQuotesOnlyWhatNeedsIt_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("csv");
    QTest::newRow("plain") << u"C001"_s << u"C001"_s;
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("apostrophe and blanks") << u" O'Neil "_s << u" O'Neil "_s;
    QTest::newRow("comma") << u"Silva, Lda"_s << u"\"Silva, Lda\""_s;
    QTest::newRow("quote") << u"o \"Zé\""_s << u"\"o \"\"Zé\"\"\""_s;
    QTest::newRow("line feed") << u"a\nb"_s << u"\"a\nb\""_s;
    QTest::newRow("carriage return") << u"a\rb"_s << u"\"a\rb\""_s;
}

void tst_ExpiryForecast::csvQuotesOnlyWhatNeedsIt()
{
    QFETCH(QString, field);
    QFETCH(QString, csv);
    QCOMPARE(ExpiryForecast::csvField(field), csv);
    ExpiryLine line;
    line.cliente = field;
    line.numCartao = u"10,09"_s;
    line.day = QDate(2027, 1, 5);
    QVERIFY(Currency::fromWhole(40, &line.points) && Currency::fromWhole(-3, &line.balance));
    QCOMPARE(ExpiryForecast::csvLine(line), csv + u",\"10,09\",2027-01-05,40,-3\r\n"_s);
}

void tst_ExpiryForecast::putOffOrFailedEndsAsAPassEnds()
{
    if (TestDatabase::isServer())
        QSKIP("the file lock and the renamed history are SQLite's");
    TestDatabase db;
    db.addCard(u"123"_s, u"456"_s, {"+ 100 2024-12-06"});
    const auto forecast = [&db](RecordingHost &host) {
        ForecastOptions options;
        options.connection = db.connectionOptions();
        Collector output;
        return ExpiryForecast(db.settings(), host, host.manualClock, options, output).run();
    };
    {
        // Put off: the line, then the caret at the end and the report redrawn, as a pass does.
        QLockFile other(PassLock::lockFilePath(db.path()));
        QVERIFY(other.tryLock(0));
        RecordingHost host;
        QCOMPARE(forecast(host), PassOutcome::Busy);
        QCOMPARE(host.lines().value(0), kStamp + u"   Verificação adiada: outro processo do "
                                                 u"Velmora está a verificar esta base de dados."_s);
        QCOMPARE(host.calls, (QStringList{"append", "caret", "refresh"}));
    }
    // Failed: the line, then the caret at the end, as a pass does.
    db.breakHistory();
    RecordingHost host;
    QCOMPARE(forecast(host), PassOutcome::Failed);
    db.restoreHistory();
    QVERIFY2(host.lines().constLast().startsWith(kStamp + u"   Falha! -> "_s),
             qPrintable(host.text));
    QCOMPARE(host.calls.mid(host.calls.size() - 2), (QStringList{"append", "caret"}));
}

QTEST_GUILESS_MAIN(tst_ExpiryForecast)
#include "tst_expiryforecast.moc"
