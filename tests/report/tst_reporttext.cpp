// SPDX-License-Identifier: MIT
#include "report/ReportText.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_ReportText : public QObject
{
    Q_OBJECT
private slots:
    void trimsWholeLinesFromTheTopWithinTheScan_data();
    void trimsWholeLinesFromTheTopWithinTheScan();
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

void tst_ReportText::trimRemovesOnlyWholeTopLinesAndOuterBlanks()
{
    QRandomGenerator random(5001);
    const char alphabet[] = {';', ' ', ' ', '\r', '\n', '\r', '\n', 'a'};
    for (int round = 0; round < 20000; ++round) {
        QString text;
        const int length = int(random.bounded(round % 10 == 0 ? 1200 : 120));
        for (int i = 0; i < length; ++i)
            text += QLatin1Char(alphabet[random.bounded(int(sizeof alphabet))]);

        const QString cut = ReportText::scanCut(text);
        const qsizetype start = text.size() - cut.size();
        QVERIFY(text.endsWith(cut));
        QVERIFY2(start == 0 || text.mid(start - 2, 2) == QLatin1String("\r\n"),
                 qPrintable(QString::number(round)));

        // Reference: the scan position counts within what is left after each cut.
        qsizetype offset = 0;
        for (qsizetype p = 1; p <= 500; ++p) {
            if (text.mid(offset + p - 1, 2) == QLatin1String("\r\n"))
                offset += p + 1;
        }
        QCOMPARE(start, offset);

        ReportText report;
        report.setText(text);
        report.trim();
        QCOMPARE(report.text(), QString(cut).remove(QRegularExpression(u"^ +| +\\z"_s)));
    }
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
