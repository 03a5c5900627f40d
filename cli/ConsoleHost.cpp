// SPDX-License-Identifier: MIT
#include "cli/ConsoleHost.h"

#include <QString>

#ifdef Q_OS_WIN
#include <io.h>
#define velmora_isatty _isatty
#define velmora_fileno _fileno
#else
#include <unistd.h>
#define velmora_isatty isatty
#define velmora_fileno fileno
#endif

ConsoleHost::ConsoleHost(const Clock &clock, std::FILE *out, std::FILE *err)
    : m_clock(clock), m_out(out), m_err(err),
      m_progressOnTerminal(velmora_isatty(velmora_fileno(err)) != 0)
{
    m_elapsed.start();
}

void ConsoleHost::append(const QString &text)
{
    if (m_progressShown) {
        std::fputs("\r\033[K", m_err);
        m_progressShown = false;
    }
    QString lines = text;
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    std::fputs(lines.toLocal8Bit().constData(), m_out);
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
    std::fprintf(m_err, "\r\033[K%lld / %lld cartões  %.1f s", static_cast<long long>(done),
                 static_cast<long long>(total), static_cast<double>(ms) / 1000.0);
    std::fflush(m_err);
    m_progressShown = true;
}

void ConsoleHost::finish()
{
    if (m_progressShown) {
        std::fputs("\r\033[K", m_err);
        std::fflush(m_err);
        m_progressShown = false;
    }
}
