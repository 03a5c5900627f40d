// SPDX-License-Identifier: MIT
#include "cli/Console.h"

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <qt_windows.h>
#else
#include <unistd.h>
#endif

namespace Console {

#ifdef Q_OS_WIN

namespace {

// The console behind `stream`, or nullptr when it is redirected. _isatty cannot tell: the null
// device is a character device too.
HANDLE consoleOf(std::FILE *stream)
{
    const intptr_t os = _get_osfhandle(_fileno(stream));
    HANDLE handle = reinterpret_cast<HANDLE>(os);
    DWORD mode = 0;
    if (os == -1 || !GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

} // namespace

void write(std::FILE *stream, const QString &text)
{
    HANDLE console = consoleOf(stream);
    if (!console) {
        std::fputs(text.toUtf8().constData(), stream);
        return;
    }
    std::fflush(stream);
    const auto *p = reinterpret_cast<const wchar_t *>(text.utf16());
    qsizetype left = text.size();
    while (left > 0) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(qMin<qsizetype>(left, 8192));
        if (!WriteConsoleW(console, p, chunk, &written, nullptr) || written == 0)
            return;
        p += written;
        left -= written;
    }
}

void keepLineEnds(std::FILE *stream)
{
    if (consoleOf(stream))
        return;
    std::fflush(stream);
    _setmode(_fileno(stream), _O_BINARY);
}

bool isTerminal(std::FILE *stream)
{
    return consoleOf(stream) != nullptr;
}

QString lineEraser(std::FILE *stream)
{
    HANDLE console = consoleOf(stream);
    DWORD mode = 0;
    if (console && GetConsoleMode(console, &mode) &&
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return QStringLiteral("\r\033[K");
    // Consoles older than Windows 10 print the sequence as it stands.
    return QLatin1Char('\r') + QString(79, QLatin1Char(' ')) + QLatin1Char('\r');
}

#else

void write(std::FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
}

void keepLineEnds(std::FILE *) {}

bool isTerminal(std::FILE *stream)
{
    return isatty(fileno(stream)) != 0;
}

QString lineEraser(std::FILE *)
{
    return QStringLiteral("\r\033[K");
}

#endif

} // namespace Console
