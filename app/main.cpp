// SPDX-License-Identifier: MIT
#include "app/ActivationStore.h"
#include "app/CommandLine.h"
#include "app/frmVelmora.h"

#include <QApplication>
#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

// The settings arrive as the raw command-line tail, quotes and runs of blanks included.
QString argumentString(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    return CommandLine::argumentTail(QString::fromWCharArray(GetCommandLineW()));
#else
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return CommandLine::joinArguments(arguments);
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    const QString arguments = argumentString(argc, argv);
    // Qt must not take any of the settings as its own option: it sees the program name alone.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));

    PassOptions options;
    if (qEnvironmentVariable("VELMORA_BALANCES") == QLatin1String("set"))
        options.strategy = BalanceStrategy::SetBased;

    frmVelmora window(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName(),
                      ActivationStore::defaultFileOverride());
    window.setPassOptions(options);
    if (!window.Form_Load(arguments))
        return 1;
    window.show();
    return QApplication::exec();
}
