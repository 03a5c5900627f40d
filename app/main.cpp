// SPDX-License-Identifier: MIT
#include "app/ActivationStore.h"
#include "app/CommandLine.h"
#include "app/frmVelmora.h"

#include <QApplication>
#include <QFileInfo>
#include <QStringList>

int main(int argc, char *argv[])
{
    // The settings arrive as the whole argument tail; Qt must not take any of it as its own
    // option, so the application sees the program name alone.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));

    PassOptions options;
    if (qEnvironmentVariable("VELMORA_BALANCES") == QLatin1String("set"))
        options.strategy = BalanceStrategy::SetBased;

    frmVelmora window(QFileInfo(arguments.value(0)).completeBaseName(),
                      ActivationStore::defaultFileOverride());
    window.setPassOptions(options);
    if (!window.Form_Load(CommandLine::joinArguments(arguments)))
        return 1;
    window.show();
    return QApplication::exec();
}
