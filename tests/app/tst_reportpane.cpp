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

QTEST_MAIN(tst_ReportPane)
#include "tst_reportpane.moc"
