// SPDX-License-Identifier: MIT
#include "PassTestUtil.h"
#include "support/TestWindow.h"

#include <QSettings>

class tst_WindowClose : public QObject
{
    Q_OBJECT
private slots:
    void closingDuringAPassEndsItAtACardBoundary();
};

void tst_WindowClose::closingDuringAPassEndsItAtACardBoundary()
{
    TestDatabase db;
    for (const char *c : {"A", "B", "C"})
        db.addCard(c, c, {"+ 10 2024-12-06", "- 30 2024-12-06", "- 10 2026-11-06"});
    // The box comes up ticked from the store, as it does for the operators.
    TestWindow win(db.path(), 1);
    QVERIFY(win.loaded);
    ActivationStore(u"velmora"_s, win.ini()).write(0); // the close must store the box again
    win.w->show();
    win.w->setFrameInterval(0); // a yield at every card, so that the close lands after card A
    win.setMinutes(29);

    // The window closes at the first yield that finds a card line in the report: card A's.
    QTimer closer;
    connect(&closer, &QTimer::timeout, win.w.get(), [&win] {
        if (win.count(u"Cartão nº"_s) > 0)
            win.w->close();
    });
    closer.start(0);
    win.tick();
    closer.stop();

    QCOMPARE(win.w->lastOutcome(), PassOutcome::Stopped);
    QVERIFY(!win.w->passRunning());
    QVERIFY(!win.w->isVisible());
    QCOMPARE(posted(db, u"Terceiro"_s), (QStringList{"A", "A"})); // card A whole: refill and lift
    QCOMPARE(win.count(u"Fim da Verificação"_s), 0);
    QCOMPARE(QSettings(win.ini(), QSettings::IniFormat).value("frmVelmora/chkActivar").toString(),
             u"1"_s);
    // A tick after the close starts nothing.
    win.tick();
    QCOMPARE(db.postedRows().size(), 2);
}

QTEST_MAIN(tst_WindowClose)
#include "tst_windowclose.moc"
