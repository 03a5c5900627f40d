// SPDX-License-Identifier: MIT
#include "PassTestUtil.h"

#include "app/frmVelmora.h"

#include <QSettings>
#include <QTest>
#include <QTimer>

class tst_WindowClose : public QObject
{
    Q_OBJECT
private slots:
    void closingDuringAPassEndsItAtACardBoundary();
};

void tst_WindowClose::closingDuringAPassEndsItAtACardBoundary()
{
    TestDatabase db;
    for (const char *c : {"A", "B", "C"}) {
        db.addCard(QString::fromLatin1(c), QString::fromLatin1(c));
        db.addMovement(QString::fromLatin1(c), QString::fromLatin1(c), "+", "100", kTwoYears);
        db.addMovement(QString::fromLatin1(c), QString::fromLatin1(c), "-", "80", kLastMonth);
    }
    const QString ini = db.folder() + QStringLiteral("/velmora.ini");
    ManualClock clock(QDateTime(QDate(2026, 12, 6), QTime(10, 0)));
    frmVelmora::setMessageHook(
        [](const QString &, const QString &text) { QFAIL(qPrintable(text)); });

    // The box comes up ticked from the store, as it does for the operators.
    QSettings(ini, QSettings::IniFormat).setValue("frmVelmora/chkActivar", "1");

    frmVelmora w(QStringLiteral("tst_windowclose"), ini, &clock);
    QVERIFY(w.Form_Load(db.path() + QStringLiteral(";main;;;SQLITE;")));
    w.show();
    w.setFrameInterval(0); // a yield at every card, so that the close lands after card A
    w.countdown().setIntMinutos(29);

    // The window closes at the first yield that finds a card line in the report: card A's.
    QTimer closer;
    closer.setInterval(0);
    connect(&closer, &QTimer::timeout, &w, [&w] {
        if (w.report().text().contains(QStringLiteral("Cartão nº")))
            w.close();
    });
    closer.start();
    w.tmrTimer_Timer();
    closer.stop();

    QCOMPARE(w.lastOutcome(), PassOutcome::Stopped);
    QVERIFY(!w.passRunning());
    QVERIFY(!w.isVisible());
    QCOMPARE(postedSummaries(db).size(), 2); // card A whole: its lapse and its lift
    QCOMPARE(db.postedRows().first().value("Terceiro").toString(), QStringLiteral("A"));
    QVERIFY(!w.report().text().contains(QStringLiteral("Fim da Verificação")));
    QCOMPARE(QSettings(ini, QSettings::IniFormat).value("frmVelmora/chkActivar").toString(),
             QStringLiteral("1"));
    // A tick after the close starts nothing.
    w.tmrTimer_Timer();
    QCOMPARE(db.postedRows().size(), 2);
}

QTEST_MAIN(tst_WindowClose)
#include "tst_windowclose.moc"
