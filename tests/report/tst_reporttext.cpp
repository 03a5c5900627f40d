// SPDX-License-Identifier: MIT
#include "report/ReportText.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

class tst_ReportText : public QObject
{
    Q_OBJECT
private slots:
    void trimsWholeLinesFromTheTop();
    void trimsOnlyWithinTheScan_data();
    void trimsOnlyWithinTheScan();
    void trimRemovesOnlyWholeTopLinesAndOuterBlanks();
};

void tst_ReportText::trimsWholeLinesFromTheTop()
{
    // 60 lines of 48 characters plus CR LF: the cuts fall at 49, 99, ... 499 and take
    // 1 + 2 + ... + 10 = 55 lines.
    QString text;
    for (int i = 0; i < 60; ++i)
        text += QStringLiteral("%1").arg(i, 48, 10, QLatin1Char('x')) + QStringLiteral("\r\n");
    ReportText report;
    report.setText(text);
    report.trim();
    QCOMPARE(report.text(), text.mid(55 * 50));
}

void tst_ReportText::trimsOnlyWithinTheScan_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("trimmed");
    const QString x499(499, QLatin1Char('x'));
    QTest::newRow("first line end beyond 500") << "  " + x499 + "y\r\nrest  " << x499 + "y\r\nrest";
    QTest::newRow("line end at 500") << x499 + "\r\nrest"
                                     << "rest";
    QTest::newRow("line end at 501") << x499 + "y\r\nrest" << x499 + "y\r\nrest";
    QTest::newRow("single line") << "  one line, no end  "
                                 << "one line, no end";
    QTest::newRow("lone CR and LF") << "a\rb\nc\n\r"
                                    << "a\rb\nc\n\r";
    QTest::newRow("outer blanks") << "old\r\n  kept line  "
                                  << "kept line";
    QTest::newRow("only line ends") << "\r\n\r\n\r\n"
                                    << "";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_ReportText::trimsOnlyWithinTheScan()
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
        QCOMPARE(report.text(),
                 QString(cut).remove(QRegularExpression(QStringLiteral("^ +| +\\z"))));
    }
}

QTEST_GUILESS_MAIN(tst_ReportText)
#include "tst_reporttext.moc"
