// SPDX-License-Identifier: MIT
#pragma once

#include "app/ActivationStore.h"
#include "app/frmVelmora.h"

#include <QCheckBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

/// The window on a SQLite file, with the flag stored as `stored` in a settings file of its own
/// and a clock at 06-12-2026 10:00:00. A message box fails the test. For the suites marked GUI,
/// which link the window.
struct TestWindow
{
    explicit TestWindow(const QString &file, int stored = 1, bool keepTimer = false)
    {
        frmVelmora::setMessageHook(
            [](const QString &, const QString &text) { QFAIL(qPrintable(text)); });
        ActivationStore(u"velmora"_s, ini()).write(stored);
        w = std::make_unique<frmVelmora>(u"velmora"_s, ini(), &clock);
        loaded = w->Form_Load(file + u";main;;;SQLITE;"_s);
        if (!keepTimer) // the tests deliver the minutes themselves
            timer()->stop();
    }
    QString ini() const { return dir.filePath(u"velmora.ini"_s); }
    QTimer *timer() const { return w->findChild<QTimer *>(u"tmrTimer"_s); }
    QCheckBox *box() const { return w->findChild<QCheckBox *>(u"chkActivar"_s); }
    QString caption() const { return w->findChild<QLabel *>(u"lblTempoRestante"_s)->text(); }
    qsizetype count(const QString &text) const { return w->report().text().count(text); }
    int minutes() const { return w->countdown().intMinutos(); }
    void setMinutes(int value) { w->countdown().setIntMinutos(qint16(value)); }
    void tick() { w->tmrTimer_Timer(); }

    QTemporaryDir dir;
    ManualClock clock{QDateTime(QDate(2026, 12, 6), QTime(10, 0, 0))};
    std::unique_ptr<frmVelmora> w;
    bool loaded = false;
};
