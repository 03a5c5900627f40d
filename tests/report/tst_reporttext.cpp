// SPDX-License-Identifier: MIT
#include "report/ReportText.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_ReportText : public QObject
{
    Q_OBJECT
private slots:
    void trimsWholeLinesFromTheTopWithinTheScan_data();
    void trimsWholeLinesFromTheTopWithinTheScan();
    void trimRemovesOnlyWholeTopLinesAndOuterBlanks_data();
    void trimRemovesOnlyWholeTopLinesAndOuterBlanks();
    void appendDropsWholeOldestLinesPastTheBound_data();
    void appendDropsWholeOldestLinesPastTheBound();
};

void tst_ReportText::trimsWholeLinesFromTheTopWithinTheScan_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("trimmed");
    // Lines of 48 characters plus CR LF: the cuts fall at 49, 99, ... 499 and take
    // 1 + 2 + ... + 10 = 55 lines.
    QString sixty;
    for (int i = 0; i < 60; ++i)
        sixty += u"%1"_s.arg(i, 48, 10, QLatin1Char('x')) + u"\r\n"_s;
    QTest::newRow("sixty lines") << sixty << sixty.mid(55 * 50);
    const QString x499(499, QLatin1Char('x'));
    QTest::newRow("first line end beyond 500") << "  " + x499 + "y\r\nrest  " << x499 + "y\r\nrest";
    QTest::newRow("line end at 500") << x499 + "\r\nrest" << u"rest"_s;
    QTest::newRow("line end at 501") << x499 + "y\r\nrest" << x499 + "y\r\nrest";
    QTest::newRow("single line") << u"  one line, no end  "_s << u"one line, no end"_s;
    QTest::newRow("lone CR and LF") << u"a\rb\nc\n\r"_s << u"a\rb\nc\n\r"_s;
    QTest::newRow("outer blanks") << u"old\r\n  kept line  "_s << u"kept line"_s;
    QTest::newRow("only line ends") << u"\r\n\r\n\r\n"_s << QString();
    QTest::newRow("empty") << u""_s << QString();
}

void tst_ReportText::trimsWholeLinesFromTheTopWithinTheScan()
{
    QFETCH(QString, text);
    QFETCH(QString, trimmed);
    ReportText report;
    report.setText(text);
    report.trim();
    QCOMPARE(report.text(), trimmed);
}

void tst_ReportText::trimRemovesOnlyWholeTopLinesAndOuterBlanks_data()
{
    // Lines of one length, each with its CR LF: each cut falls at the next line end within the
    // scan of what is left, so the cuts take 1, 2, 3, ... lines, until position 500 is passed
    // or the text runs out.
    QTest::addColumn<int>("length"); // of a line, its CR LF not counted
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("removed");
    // Cuts at 9, 19, 29, ... 499: 1 + 2 + ... + 50 lines.
    QTest::newRow("8 characters") << 8 << 1400 << 1275;
    // Cuts at 99, 199, 299, 399, 499: 1 + 2 + ... + 5 lines.
    QTest::newRow("98 characters") << 98 << 30 << 15;
    // Cuts at 4, 9, 14, ... 94: the 19th takes what is left but the last 10 lines, and the
    // 20th would want 20 lines more.
    QTest::newRow("3 characters, the text runs out") << 3 << 200 << 190;
    // A line end at 500 is cut, one at 501 is beyond the scan; so is the second line's end.
    QTest::newRow("499 characters") << 499 << 3 << 1;
    QTest::newRow("500 characters") << 500 << 3 << 0;
}

void tst_ReportText::trimRemovesOnlyWholeTopLinesAndOuterBlanks()
{
    QFETCH(int, length);
    QFETCH(int, lines);
    QFETCH(int, removed);
    QStringList all;
    for (int i = 0; i < lines; ++i)
        all << u"%1"_s.arg(i, length, 10, QLatin1Char('x')).right(length) + u"\r\n"_s;
    ReportText report;
    report.setText(all.join(QString()));
    report.trim();
    QCOMPARE(report.text(), all.mid(removed).join(QString()));
}

void tst_ReportText::appendDropsWholeOldestLinesPastTheBound_data()
{
    QTest::addColumn<int>("longLineEvery"); // 0: none
    QTest::newRow("short lines") << 0;
    QTest::newRow("now and then a line longer than the limit") << 300;
}

void tst_ReportText::appendDropsWholeOldestLinesPastTheBound()
{
    QFETCH(int, longLineEvery);
    QRandomGenerator random(77);
    ReportText report;
    int cuts = 0;
    for (int i = 1; i <= 3000; ++i) {
        const bool longLine = longLineEvery > 0 && i % longLineEvery == 0;
        const QString line =
            QString(longLine ? 25000 : int(random.bounded(1, 300)), QLatin1Char('a' + i % 26)) +
            u"\r\n"_s;
        const QString before = report.text();
        const QString dropped = report.append(line);
        QCOMPARE(dropped + report.text(), before + line);
        QVERIFY(report.text().endsWith(line)); // the newest line stays
        if (!dropped.isEmpty()) {
            ++cuts;
            QVERIFY(dropped.endsWith(u"\r\n"_s));
            QVERIFY(before.size() + line.size() > ReportText::Bound);
            QVERIFY(report.length() <= ReportText::Limit);
        }
        QVERIFY(report.length() <= ReportText::Bound || longLine);
    }
    QVERIFY(cuts > 0);
}

QTEST_GUILESS_MAIN(tst_ReportText)
#include "tst_reporttext.moc"
