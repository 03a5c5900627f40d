// SPDX-License-Identifier: MIT
#include "report/ReportText.h"

#include <QTest>

class tst_ReportText : public QObject
{
    Q_OBJECT
private slots:
    void trimsWholeLinesFromTheTop();
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

QTEST_GUILESS_MAIN(tst_ReportText)
#include "tst_reporttext.moc"
