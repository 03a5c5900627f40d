// SPDX-License-Identifier: MIT
#include "db/Currency.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {
constexpr qint64 kMax = std::numeric_limits<qint64>::max();
constexpr qint64 kMin = std::numeric_limits<qint64>::min();
} // namespace

class tst_Currency : public QObject
{
    Q_OBJECT
private slots:
    void parsesDecimalTextExactlyAndRefusesJunk_data();
    void parsesDecimalTextExactlyAndRefusesJunk();
    void roundsHalvesToTheEvenNeighbour_data();
    void roundsHalvesToTheEvenNeighbour();
    void arithmeticLeavingTheRangeIsAnError();
    void convertsDriverValues_data();
    void convertsDriverValues();
    void writesShortAndFixedText();
};

void tst_Currency::parsesDecimalTextExactlyAndRefusesJunk_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("raw"); // refused text leaves the value as it was: 42
    QTest::newRow("four decimals") << "100.0000" << true << qint64(1000000);
    QTest::newRow("exponent") << "1e2" << true << qint64(1000000);
    QTest::newRow("negative exponent") << "-1.5E-1" << true << qint64(-1500);
    QTest::newRow("blanks and sign") << " +7 " << true << qint64(70000);
    QTest::newRow("no integer digits") << ".5" << true << qint64(5000);
    QTest::newRow("fifth decimal, half to even down") << "0.00025" << true << qint64(2);
    QTest::newRow("fifth decimal, half to even up") << "-0.00015" << true << qint64(-2);
    QTest::newRow("fifth decimal above half") << "0.000251" << true << qint64(3);
    QTest::newRow("largest") << "922337203685477.5807" << true << kMax;
    QTest::newRow("smallest") << "-922337203685477.5808" << true << kMin;
    for (const char *junk :
         {"", " ", "abc", "1.2.3", "1,5", "--1", "1e", "e5", "0x10", "1 000", "12abc",
          "922337203685477.5808", "-922337203685477.5809", "1e20", "922337203685477.58075"})
        QTest::newRow(junk) << QString::fromLatin1(junk) << false << qint64(42);
}

void tst_Currency::parsesDecimalTextExactlyAndRefusesJunk()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(qint64, raw);
    Currency c = Currency::fromRaw(42);
    QCOMPARE(Currency::fromString(text, &c), ok);
    QCOMPARE(c.raw(), raw);
}

void tst_Currency::roundsHalvesToTheEvenNeighbour_data()
{
    QTest::addColumn<QString>("amount");
    QTest::addColumn<QString>("rounded");
    const char *cases[][2] = {{"2.5", "2"},    {"3.5", "4"},    {"-2.5", "-2"},   {"-3.5", "-4"},
                              {"0.5", "0"},    {"0.4", "0"},    {"1.5", "2"},     {"-0.5", "0"},
                              {"2.4999", "2"}, {"2.5001", "3"}, {"-2.5001", "-3"}};
    for (const auto &c : cases)
        QTest::newRow(c[0]) << QString::fromLatin1(c[0]) << QString::fromLatin1(c[1]);
}

void tst_Currency::roundsHalvesToTheEvenNeighbour()
{
    QFETCH(QString, amount);
    QFETCH(QString, rounded);
    Currency c;
    QVERIFY(Currency::fromString(amount, &c));
    Currency r;
    QVERIFY(c.roundToWhole(&r));
    QCOMPARE(r.toText(), rounded);
}

void tst_Currency::arithmeticLeavingTheRangeIsAnError()
{
    const Currency max = Currency::fromRaw(kMax);
    const Currency min = Currency::fromRaw(kMin);
    const Currency one = Currency::fromRaw(1);
    Currency out = Currency::fromRaw(42);
    QVERIFY(!Currency::add(max, one, &out));
    QVERIFY(!Currency::subtract(min, one, &out));
    QVERIFY(!Currency::subtract(Currency(), min, &out));
    QVERIFY(!Currency::fromWhole(kMax / Currency::Scale + 1, &out));
    QVERIFY(!Currency::fromWhole(kMin / Currency::Scale - 1, &out));
    QVERIFY(!min.absolute(&out));
    QVERIFY(!max.roundToWhole(&out)); // 922337203685478 points do not fit
    QCOMPARE(out.raw(), qint64(42));

    QVERIFY(Currency::add(Currency::fromRaw(kMax - 1), one, &out));
    QCOMPARE(out, max);
    QVERIFY(Currency::fromWhole(kMin / Currency::Scale, &out));
    QVERIFY(Currency::fromRaw(kMin + 1).absolute(&out));
    QCOMPARE(out, max);
}

void tst_Currency::convertsDriverValues_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("decimal");
    QTest::newRow("money text") << QVariant(QStringLiteral("70.0000")) << true << "70.0000";
    QTest::newRow("long long") << QVariant(qlonglong(-20)) << true << "-20.0000";
    QTest::newRow("int") << QVariant(3) << true << "3.0000";
    QTest::newRow("0.1 + 0.2") << QVariant(0.1 + 0.2) << true << "0.3000";
    QTest::newRow("double 2.675") << QVariant(2.675) << true << "2.6750";
    QTest::newRow("too large double") << QVariant(1e300) << false << "";
    QTest::newRow("not a number") << QVariant(std::nan("")) << false << "";
    QTest::newRow("null") << QVariant() << false << "";
    QTest::newRow("junk text") << QVariant(QStringLiteral("abc")) << false << "";
    QTest::newRow("huge unsigned") << QVariant(qulonglong(1) << 63) << false << "";
}

void tst_Currency::convertsDriverValues()
{
    QFETCH(QVariant, value);
    QFETCH(bool, ok);
    QFETCH(QString, decimal);
    Currency c;
    QString error;
    QCOMPARE(Currency::fromVariant(value, &c, &error), ok);
    QCOMPARE(error.isEmpty(), ok);
    if (ok)
        QCOMPARE(c.toDecimalString(), decimal);
}

void tst_Currency::writesShortAndFixedText()
{
    QCOMPARE(Currency::fromRaw(700000).toText(), u"70"_s);
    QCOMPARE(Currency::fromRaw(-200000).toText(), u"-20"_s);
    QCOMPARE(Currency::fromRaw(0).toText(), u"0"_s);
    QCOMPARE(Currency::fromRaw(15000).toText(), u"1.5"_s);
    QCOMPARE(Currency::fromRaw(-5).toText(), u"-0.0005"_s);
    QCOMPARE(Currency::fromRaw(kMin).toDecimalString(), u"-922337203685477.5808"_s);
    QCOMPARE(Currency::fromRaw(-5000).toDecimalString(), u"-0.5000"_s);
}

QTEST_GUILESS_MAIN(tst_Currency)
#include "tst_currency.moc"
