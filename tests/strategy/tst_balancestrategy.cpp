// SPDX-License-Identifier: MIT
// The set-based reading of old balances must settle exactly what the per-card walk settles:
// both run on identical copies of random schemes and must leave identical rows and reports.
#include "settlement/SettlementPass.h"
#include "support/RecordingHost.h"
#include "support/TestDatabase.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

class tst_BalanceStrategy : public QObject
{
    Q_OBJECT
private slots:
    void setBasedSettlesExactlyAsPerCard_data();
    void setBasedSettlesExactlyAsPerCard();
};

namespace {

QString pick(QRandomGenerator &rng, const QStringList &from)
{
    return from.at(static_cast<qsizetype>(rng.bounded(static_cast<quint32>(from.size()))));
}

// Cards and movements around every boundary the balances care about.
void fill(TestDatabase &db, quint32 seed, const QDate &today)
{
    QRandomGenerator rng(seed);
    const QChar bar(QLatin1Char('|'));
    const QStringList clientes = QStringLiteral("C1|C2|O'Neil|10|C5").split(bar);
    const QStringList numeros = QStringLiteral("1001|1002|10'09|999|2000").split(bar);
    const QStringList pontos = QStringLiteral("0.5|1.5|2.5|0.4|100|30|10.25|7").split(bar);
    const auto day = [](const QDate &d) {
        return d.toString(QStringLiteral("yyyy-MM-dd"));
    };
    const QDate cutoff = today.addYears(-1);
    const QStringList datas{day(today.addYears(-2)),
                            day(cutoff),
                            day(cutoff) + QStringLiteral(" 15:30:00"),
                            day(cutoff.addDays(1)),
                            day(today.addMonths(-1)),
                            day(today),
                            day(today) + QStringLiteral(" 08:00:00")};

    QVector<QPair<QString, QString>> cards;
    const int cardCount = 3 + static_cast<int>(rng.bounded(8));
    for (int i = 0; i < cardCount; ++i) {
        cards.append({pick(rng, clientes), pick(rng, numeros)});
        db.addCard(cards.last().first, cards.last().second);
    }
    const int movements = static_cast<int>(rng.bounded(41));
    for (int i = 0; i < movements; ++i) {
        // Most movements belong to a card; some to a pair that is no card at all.
        QPair<QString, QString> card = rng.bounded(5) == 0
                                           ? qMakePair(pick(rng, clientes), pick(rng, numeros))
                                           : cards.at(rng.bounded(cardCount));
        db.addMovement(card.first, card.second,
                       rng.bounded(5) < 3 ? QStringLiteral("+") : QStringLiteral("-"),
                       pick(rng, pontos), pick(rng, datas),
                       rng.bounded(5) == 0 ? QStringLiteral("F") : QStringLiteral("C"));
    }
}

// Every history row but its DataSys, in Id order.
QStringList rowsOf(const QString &path)
{
    QStringList out;
    const QString name = QStringLiteral("strategy-rows");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        QSqlQuery q(db);
        if (db.open() && q.exec(QStringLiteral("select * from PontosHistorico order by Id"))) {
            while (q.next()) {
                QStringList values;
                const QSqlRecord record = q.record();
                for (int i = 0; i < record.count(); ++i) {
                    if (record.fieldName(i) != QLatin1String("DataSys"))
                        values << record.value(i).toString();
                }
                out << values.join(QLatin1Char('|'));
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

struct Outcome
{
    QString report;
    QStringList calls;
    QList<qint64> stats;
};

Outcome settle(const ConnectionSettings &settings, const QDate &today, BalanceStrategy strategy,
               bool dryRun)
{
    Outcome outcome;
    ConnectionSettings own = settings;
    PassOptions options;
    options.strategy = strategy;
    options.dryRun = dryRun;
    // Two passes: the second reads what the first wrote.
    for (int run = 0; run < 2; ++run) {
        RecordingHost host(QDateTime(today, QTime(10, 0, 0)));
        SettlementPass pass(own, host, options);
        const PassOutcome result = pass.run();
        outcome.report += host.text;
        outcome.calls += host.calls;
        outcome.stats << static_cast<qint64>(result) << pass.stats().cardsRead
                      << pass.stats().cardsSettled << pass.stats().rowsPosted
                      << pass.stats().rowsFailed;
    }
    outcome.report.replace(
        QRegularExpression(QStringLiteral("\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d")),
        QStringLiteral("<agora>"));
    return outcome;
}

} // namespace

void tst_BalanceStrategy::setBasedSettlesExactlyAsPerCard_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<QDate>("today");
    QTest::addColumn<bool>("dryRun");
    for (quint32 seed = 1; seed <= 25; ++seed) {
        // Some runs on 29 February, whose cutoff is 28 February; some only previewed.
        const QDate today = seed % 5 == 0 ? QDate(2028, 2, 29) : QDate(2026, 12, 6);
        QTest::addRow("seed %u", seed) << seed << today << (seed % 7 == 3);
    }
}

void tst_BalanceStrategy::setBasedSettlesExactlyAsPerCard()
{
    QFETCH(quint32, seed);
    QFETCH(QDate, today);
    QFETCH(bool, dryRun);
    TestDatabase db;
    QVERIFY(db.isValid());
    QVERIFY(db.db().transaction());
    fill(db, seed, today);
    QVERIFY(db.db().commit());
    const QString copy = db.folder() + QStringLiteral("/set-based.db");
    QVERIFY(QFile::copy(db.path(), copy));
    ConnectionSettings copySettings = db.settings();
    copySettings.strServidor = copy;

    const Outcome perCard = settle(db.settings(), today, BalanceStrategy::PerCard, dryRun);
    const Outcome setBased = settle(copySettings, today, BalanceStrategy::SetBased, dryRun);

    QCOMPARE(setBased.stats, perCard.stats);
    QCOMPARE(setBased.report, perCard.report);
    QCOMPARE(setBased.calls, perCard.calls);
    QCOMPARE(rowsOf(copy), rowsOf(db.path()));
    QCOMPARE(perCard.stats.value(0), static_cast<qint64>(PassOutcome::Completed));
    QCOMPARE(perCard.stats.value(5), static_cast<qint64>(PassOutcome::Completed));
}

QTEST_GUILESS_MAIN(tst_BalanceStrategy)
#include "tst_balancestrategy.moc"
