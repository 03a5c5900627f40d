// SPDX-License-Identifier: MIT
#include "cli/ConsoleHost.h"
#include "cli/Console.h"

#include <QString>

#include <csignal>
#include <cstdlib>

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

#ifdef SIGPIPE
constexpr int kPipeSignal = SIGPIPE;
#else
constexpr int kPipeSignal = 0;
#endif

extern "C" void onStopSignal(int signo)
{
#ifdef SIGPIPE
    // Every write to a closed pipe raises it again: it asks for a stop, and never ends the
    // program at once, so that the closing line and the metrics still come.
    if (signo == SIGPIPE) {
        if (g_stopSignal == 0)
            g_stopSignal = signo;
        return;
    }
#endif
    if (g_stopSignal != 0 && g_stopSignal != kPipeSignal)
        std::_Exit(128 + signo);
    g_stopSignal = signo;
}

} // namespace

void ConsoleHost::stopOnSignals()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#ifdef SIGPIPE
    // A closed pipe: the report has no reader any more, but the batch still ends whole.
    std::signal(SIGPIPE, onStopSignal);
#endif
}

int ConsoleHost::stopSignal()
{
    return g_stopSignal;
}

// Standard output, then standard error, in the order the C library numbers them.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
ConsoleHost::ConsoleHost(std::FILE *out, std::FILE *err)
    : m_out(out), m_err(err), m_progressOnTerminal(Console::isTerminal(err))
{
    if (m_progressOnTerminal)
        m_eraseLine = Console::lineEraser(err);
    m_elapsed.start();
}

void ConsoleHost::append(const QString &text)
{
    if (m_progressShown) {
        Console::write(m_err, m_eraseLine);
        m_progressShown = false;
    }
    QString lines = text;
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    Console::write(m_out, lines);
    std::fflush(m_out);
}

void ConsoleHost::progress(qint64 done, qint64 total)
{
    if (!m_progressOnTerminal)
        return;
    const qint64 ms = m_elapsed.elapsed();
    // Only passes that take a while get a counter, and it is redrawn a few times a second.
    if (ms < 1000 || (m_lastDrawMs >= 0 && ms - m_lastDrawMs < 200 && done != total))
        return;
    m_lastDrawMs = ms;
    Console::write(m_err, m_eraseLine + QStringLiteral("%1 / %2 cartões  %3 s")
                                            .arg(done)
                                            .arg(total)
                                            .arg(static_cast<double>(ms) / 1000.0, 0, 'f', 1));
    std::fflush(m_err);
    m_progressShown = true;
}

void ConsoleHost::finish()
{
    if (m_progressShown) {
        Console::write(m_err, m_eraseLine);
        std::fflush(m_err);
        m_progressShown = false;
    }
}
