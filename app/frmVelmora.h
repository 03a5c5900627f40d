// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"
#include "report/ReportText.h"
#include "scheduler/Countdown.h"
#include "settlement/Clock.h"
#include "settlement/PassHost.h"
#include "settlement/SettlementPass.h"

#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QEventLoop;
class QLabel;
class QTimer;
class ReportPane;

/// The program's one window. It owns the connection settings, the minute counter and the
/// report, and wires the timer, the countdown and the settlement pass together.
class frmVelmora : public QWidget, public PassHost
{
    Q_OBJECT
public:
    /// Within a pass the pane is redrawn, and events handled, at most this often.
    static constexpr int FrameMilliseconds = 40;

    /// Shows a critical message with the application's title; tests replace it.
    using MessageHook = std::function<void(const QString &title, const QString &text)>;
    static void setMessageHook(MessageHook hook);

    /// `applicationName` names the settings (the executable's base name); `settingsFile`, when
    /// set, is the INI file used instead of the user's store.
    explicit frmVelmora(QString applicationName, QString settingsFile = {},
                        const Clock *clock = nullptr, QWidget *parent = nullptr);
    ~frmVelmora() override;

    /// Start-up: places the window, takes the settings from the argument string and restores
    /// the check box. False, after the message was shown, when a setting is missing: the
    /// program then ends without saving the flag.
    bool Form_Load(const QString &argumentString);
    /// Trims the oldest lines of the report.
    void LimpraRelatorio();
    /// One minute of the timer.
    void tmrTimer_Timer();

    const ConnectionSettings &settings() const { return m_settings; }
    const ReportText &report() const { return m_report; }
    Countdown &countdown() { return m_countdown; }
    bool passRunning() const { return m_passRunning; }
    void setPassOptions(const PassOptions &options) { m_passOptions = options; }
    /// The file that each pass leaves its figures in, for monitoring (empty: none).
    void setMetricsFile(const QString &path) { m_metricsFile = path; }
    /// How often, at most, a pass redraws the pane and handles events (0: at every card).
    void setFrameInterval(int milliseconds);
    /// How the last pass ended.
    PassOutcome lastOutcome() const { return m_lastOutcome; }

    // PassHost
    void append(const QString &text) override;
    void caretToEnd() override;
    void refresh() override;
    void setWaitCursor(bool busy) override;
    void setStatusVisible(bool visible) override;
    void processEvents() override;
    bool yieldDue() const override;
    void pause(int milliseconds) override;
    bool stopRequested() const override { return m_closing; }
    void resetCountdown() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_QueryUnload();
    /// `chkActivar.Value`: 0 unticked, 1 ticked, 2 greyed.
    int chkActivarValue() const;
    void layoutControls();
    /// Writes the minutes left into `lblTempoRestante`.
    void showCountdown();

    QString m_application;
    QString m_settingsFile;
    QString m_metricsFile;
    ConnectionSettings m_settings;
    Countdown m_countdown;
    ReportText m_report;
    PassOptions m_passOptions;
    PassOutcome m_lastOutcome = PassOutcome::Completed;
    SystemClock m_systemClock;
    const Clock *m_clock;
    bool m_passRunning = false;
    bool m_closing = false;
    QEventLoop *m_pause = nullptr; ///< the wait of a pass between two tries, while it lasts
    bool m_cursorBusy = false;
    int m_frameMilliseconds = FrameMilliseconds;
    QElapsedTimer m_lastYield;

    QCheckBox *m_chkActivar;
    QLabel *m_lblStatus;
    ReportPane *m_rtfRelatorio;
    QLabel *m_label1;
    QLabel *m_lblTempoRestante;
    QTimer *m_tmrTimer;
};
