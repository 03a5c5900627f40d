// SPDX-License-Identifier: MIT
#include "app/frmVelmora.h"

#include "app/ActivationStore.h"
#include "app/ReportPane.h"
#include "db/CommandLine.h"
#include "settlement/PassMetrics.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QScopedValueRollback>
#include <QTimer>

namespace {

frmVelmora::MessageHook &messageHook()
{
    static frmVelmora::MessageHook hook = [](const QString &title, const QString &text) {
        QMessageBox::critical(nullptr, title, text, QMessageBox::Ok);
    };
    return hook;
}

// Geometry is given in twips: 15 to a pixel at 96 DPI.
struct Twips
{
    int left, top, width, height;
};
constexpr Twips kClient{0, 0, 5895, 7050};
constexpr Twips kChkActivar{120, 0, 2175, 375};
constexpr Twips kLblStatus{2400, 15, 3375, 300};
constexpr Twips kRtfRelatorio{120, 360, 5655, 6255};
constexpr Twips kLabel1{120, 6720, 4935, 255};
constexpr Twips kLblTempoRestante{5160, 6720, 615, 255};

// The check box value as it is stored and tested: 0 unticked, 1 ticked, 2 greyed. Qt numbers
// the states otherwise (Checked is 2), so the two never pass through a cast.
int valueOf(Qt::CheckState state)
{
    switch (state) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    case Qt::Unchecked:
        break;
    }
    return 0;
}

// The twip sizes were drawn for "MS Sans Serif" 8.25 pt. Where the platform's stand-in font is
// wider, a text that would overflow its control is drawn smaller rather than cut off.
void fitText(QWidget *control, QFont font)
{
    control->setFont(font);
    while (control->sizeHint().width() > control->width() && font.pointSizeF() > 6.0) {
        font.setPointSizeF(font.pointSizeF() - 0.25);
        control->setFont(font);
    }
}

Qt::CheckState stateOf(int value)
{
    return value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked;
}

} // namespace

void frmVelmora::setMessageHook(MessageHook hook)
{
    messageHook() = std::move(hook);
}

frmVelmora::frmVelmora(QString applicationName, QString settingsFile, const Clock *clock,
                       QWidget *parent)
    : QWidget(parent), m_application(std::move(applicationName)),
      m_settingsFile(std::move(settingsFile)), m_clock(clock ? clock : &m_systemClock),
      m_chkActivar(new QCheckBox(QStringLiteral("Activar este Controlo"), this)),
      m_lblStatus(new QLabel(QStringLiteral("Em execução. Aguarde por favor..."), this)),
      m_rtfRelatorio(new ReportPane(this)),
      m_label1(new QLabel(
          QStringLiteral("Este controlo irá efectuar verificações de 30 em 30 minutos."), this)),
      m_lblTempoRestante(new QLabel(QStringLiteral("30 Min."), this)), m_tmrTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("frmVelmora"));
    setWindowTitle(QStringLiteral("Velmora"));
    m_chkActivar->setObjectName(QStringLiteral("chkActivar"));
    m_chkActivar->setTristate(false);
    // A greyed box comes only from the store; a click leaves it ticked or unticked for good.
    connect(m_chkActivar, &QCheckBox::clicked, this, [this] { m_chkActivar->setTristate(false); });
    m_lblStatus->setObjectName(QStringLiteral("lblStatus"));
    m_rtfRelatorio->setObjectName(QStringLiteral("rtfRelatorio"));
    m_rtfRelatorio->setFrameInterval(m_frameMilliseconds);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_lblTempoRestante->setObjectName(QStringLiteral("lblTempoRestante"));
    m_lblTempoRestante->setToolTip(QStringLiteral("Tempo restante para a próxima verificação."));
    m_tmrTimer->setObjectName(QStringLiteral("tmrTimer"));

    QFont formFont(QStringLiteral("MS Sans Serif"));
    formFont.setPointSizeF(8.25);
    setFont(formFont);
    QFont statusFont = formFont;
    statusFont.setBold(true);
    QPalette statusPalette = m_lblStatus->palette();
    statusPalette.setColor(QPalette::WindowText, QColor(0x00, 0xC0, 0x00));
    m_lblStatus->setPalette(statusPalette);
    m_lblStatus->setVisible(false);

    setTabOrder(m_chkActivar, m_rtfRelatorio);
    layoutControls();
    fitText(m_chkActivar, formFont);
    fitText(m_lblStatus, statusFont);
    fitText(m_label1, formFont);
    showCountdown();

    m_tmrTimer->setInterval(Countdown::TickMilliseconds);
    connect(m_tmrTimer, &QTimer::timeout, this, &frmVelmora::tmrTimer_Timer);
    m_tmrTimer->start();
}

frmVelmora::~frmVelmora()
{
    if (m_cursorBusy)
        QApplication::restoreOverrideCursor();
}

void frmVelmora::layoutControls()
{
    const double scale = logicalDpiX() / 96.0 / 15.0;
    auto px = [scale](int twips) {
        return qRound(twips * scale);
    };
    auto place = [&](QWidget *w, const Twips &t) {
        w->setGeometry(px(t.left), px(t.top), px(t.width), px(t.height));
    };
    setFixedSize(px(kClient.width), px(kClient.height));
    place(m_chkActivar, kChkActivar);
    place(m_lblStatus, kLblStatus);
    place(m_rtfRelatorio, kRtfRelatorio);
    place(m_label1, kLabel1);
    place(m_lblTempoRestante, kLblTempoRestante);
}

bool frmVelmora::Form_Load(const QString &argumentString)
{
    move(0, 0);
    int fields = 0;
    m_settings = CommandLine::split(argumentString, &fields);
    const QString refusal = CommandLine::normaliseAndValidate(m_settings, fields);
    if (!refusal.isEmpty()) {
        m_tmrTimer->stop();
        messageHook()(QStringLiteral("Velmora"), refusal);
        return false;
    }
    const int stored = ActivationStore(m_application, m_settingsFile).read();
    m_chkActivar->setTristate(stored == 2);
    m_chkActivar->setCheckState(stateOf(stored));
    return true;
}

void frmVelmora::Form_QueryUnload()
{
    // A store that cannot be written does not hold up the close.
    ActivationStore(m_application, m_settingsFile).write(chkActivarValue());
}

void frmVelmora::closeEvent(QCloseEvent *event)
{
    Form_QueryUnload();
    // A pass under way sees this at its next card boundary and ends there.
    m_closing = true;
    m_tmrTimer->stop();
    if (m_pause)
        m_pause->quit();
    event->accept();
}

void frmVelmora::LimpraRelatorio()
{
    m_report.trim();
    m_rtfRelatorio->showText(m_report.text());
    m_rtfRelatorio->caretToStart();
    m_rtfRelatorio->caretToEnd();
    m_rtfRelatorio->repaint();
    QCoreApplication::processEvents();
}

void frmVelmora::tmrTimer_Timer()
{
    // A tick that falls due while a pass yields must not start a second pass inside it.
    if (m_passRunning || m_closing)
        return;
    const Countdown::Tick tick = m_countdown.tick(chkActivarValue());
    if (tick == Countdown::Tick::Paused)
        return;
    showCountdown();
    if (tick != Countdown::Tick::PassDue)
        return;
    // The trim yields too, so the guard is up before it.
    const QScopedValueRollback<bool> running(m_passRunning, true);
    // Each trim takes only the lines whose ends fall within its scan, so it is repeated until
    // the limit is met, or until a trim cuts nothing (a first line longer than the scan).
    for (qsizetype before = -1; m_report.overLimit() && m_report.length() != before;) {
        before = m_report.length();
        LimpraRelatorio();
    }
    SettlementPass pass(m_settings, *this, *m_clock, m_passOptions);
    const PassMetrics::Recorder metrics(m_metricsFile, *m_clock);
    m_lastOutcome = pass.run();
    m_rtfRelatorio->setPaced(false);
    metrics.record(m_lastOutcome, pass.stats(), *this);
}

void frmVelmora::showCountdown()
{
    m_lblTempoRestante->setText(m_countdown.caption());
    fitText(m_lblTempoRestante, font());
}

int frmVelmora::chkActivarValue() const
{
    return valueOf(m_chkActivar->checkState());
}

void frmVelmora::setFrameInterval(int milliseconds)
{
    m_frameMilliseconds = milliseconds;
    m_rtfRelatorio->setFrameInterval(milliseconds);
}

// The report text itself is always current; the pane paces what it shows while a pass runs.
// Both drop the same oldest lines once the text passes its bound.
void frmVelmora::append(const QString &text)
{
    const QString dropped = m_report.append(text);
    m_rtfRelatorio->add(text);
    if (!dropped.isEmpty())
        m_rtfRelatorio->dropOldest(dropped);
}

void frmVelmora::caretToEnd()
{
    m_rtfRelatorio->bringEndIntoView();
}

void frmVelmora::refresh()
{
    m_rtfRelatorio->redraw();
}

void frmVelmora::setWaitCursor(bool busy)
{
    if (busy && !m_cursorBusy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else if (!busy && m_cursorBusy)
        QApplication::restoreOverrideCursor();
    m_cursorBusy = busy;
}

void frmVelmora::setStatusVisible(bool visible)
{
    m_rtfRelatorio->setPaced(visible);
    m_lblStatus->setVisible(visible);
    m_lblStatus->repaint();
    // The yields at the start and end of a pass always happen.
    m_lastYield.invalidate();
}

bool frmVelmora::yieldDue() const
{
    return !m_lastYield.isValid() || m_lastYield.elapsed() >= m_frameMilliseconds;
}

void frmVelmora::processEvents()
{
    if (!yieldDue())
        return;
    m_rtfRelatorio->bringUpToDate();
    QCoreApplication::processEvents();
    m_lastYield.start();
}

void frmVelmora::pause(int milliseconds)
{
    // The window repaints and answers while the pass waits; a close ends the wait.
    m_rtfRelatorio->bringUpToDate();
    QEventLoop wait;
    QTimer::singleShot(milliseconds, &wait, &QEventLoop::quit);
    const QScopedValueRollback<QEventLoop *> waiting(m_pause, &wait);
    if (!m_closing)
        wait.exec();
    m_lastYield.start();
}

void frmVelmora::resetCountdown()
{
    m_countdown.reset();
    showCountdown();
}
