// SPDX-License-Identifier: MIT
#include "app/ReportPane.h"

#include <QTest>

using namespace Qt::StringLiterals;

class tst_ReportPane : public QObject
{
    Q_OBJECT
private slots:
    void showsEveryChangeAtOnceOutsideAPass();
    void pacedPaneShowsNewTextWithTheNextFrameOnly();
    void dropsTheOldestLinesShownOrPending_data();
    void dropsTheOldestLinesShownOrPending();
};

void tst_ReportPane::showsEveryChangeAtOnceOutsideAPass()
{
    ReportPane pane;
    pane.setFrameInterval(60 * 60 * 1000);
    pane.add(u"um\r\n"_s);
    pane.bringEndIntoView();
    QCOMPARE(pane.toPlainText(), u"um\n"_s);
    QCOMPARE(pane.textCursor().position(), pane.document()->characterCount() - 1);
    pane.redraw();
    pane.add(u"dois\r\n"_s); // the redraw waits for its frame; the text does not
    QCOMPARE(pane.toPlainText(), u"um\ndois\n"_s);
}

void tst_ReportPane::pacedPaneShowsNewTextWithTheNextFrameOnly()
{
    ReportPane pane;
    pane.setFrameInterval(60 * 60 * 1000);
    pane.add(u"antes\r\n"_s);
    pane.setPaced(true);
    pane.add(u"cartão 1\r\n"_s);
    pane.bringEndIntoView();
    QCOMPARE(pane.toPlainText(), u"antes\n"_s);
    pane.redraw(); // the first redraw of a pass always happens
    QCOMPARE(pane.toPlainText(), u"antes\ncartão 1\n"_s);
    pane.add(u"cartão 2\r\n"_s);
    pane.redraw(); // within the frame
    QCOMPARE(pane.toPlainText(), u"antes\ncartão 1\n"_s);
    pane.bringUpToDate(); // a yield
    QCOMPARE(pane.toPlainText(), u"antes\ncartão 1\ncartão 2\n"_s);

    // A trim replaces everything, and what was waiting is in the text it shows.
    pane.add(u"cartão 3\r\n"_s);
    pane.bringEndIntoView();
    pane.showText(u"aparado\r\n"_s);
    pane.setPaced(false);
    QCOMPARE(pane.toPlainText(), u"aparado\n"_s);
    QCOMPARE(pane.textCursor().position(), 0);
}

void tst_ReportPane::dropsTheOldestLinesShownOrPending_data()
{
    QTest::addColumn<bool>("paced");
    QTest::addColumn<QString>("dropped");
    QTest::addColumn<QString>("shown");
    QTest::newRow("shown lines") << false << u"um\r\n"_s << u"dois\ntrês\nquatro\n"_s;
    QTest::newRow("shown lines, paced") << true << u"um\r\ndois\r\n"_s << u"três\nquatro\n"_s;
    QTest::newRow("pending lines too") << true << u"um\r\ndois\r\ntrês\r\n"_s << u"quatro\n"_s;
}

void tst_ReportPane::dropsTheOldestLinesShownOrPending()
{
    QFETCH(bool, paced);
    QFETCH(QString, dropped);
    QFETCH(QString, shown);
    ReportPane pane;
    pane.setFrameInterval(60 * 60 * 1000);
    pane.add(u"um\r\ndois\r\n"_s);
    pane.setPaced(paced);
    pane.add(u"três\r\nquatro\r\n"_s);
    pane.bringEndIntoView();
    pane.dropOldest(dropped);
    pane.setPaced(false);
    QCOMPARE(pane.toPlainText(), shown);
    QVERIFY(pane.textCursor().atEnd());
}

QTEST_MAIN(tst_ReportPane)
#include "tst_reportpane.moc"
