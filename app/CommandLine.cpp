// SPDX-License-Identifier: MIT
#include "app/CommandLine.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace CommandLine {

QString joinArguments(const QStringList &arguments)
{
    return arguments.mid(1).join(QLatin1Char(' '));
}

QString ofThisProcess(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    return argumentTail(QString::fromWCharArray(GetCommandLineW()));
#else
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return joinArguments(arguments);
#endif
}

QString argumentTail(const QString &commandLine)
{
    // The program token ends at the first blank outside quotes, as the C runtime reads it.
    const auto isSpaceOrTab = [](QChar c) {
        return c == QLatin1Char(' ') || c == QLatin1Char('\t');
    };
    const qsizetype n = commandLine.size();
    qsizetype i = 0;
    bool quoted = false;
    for (; i < n && (quoted || !isSpaceOrTab(commandLine.at(i))); ++i) {
        if (commandLine.at(i) == QLatin1Char('"'))
            quoted = !quoted;
    }
    while (i < n && isSpaceOrTab(commandLine.at(i)))
        ++i;
    return commandLine.mid(i);
}

} // namespace CommandLine
