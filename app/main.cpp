// SPDX-License-Identifier: MIT
#include "app/ActivationStore.h"
#include "app/CommandLine.h"
#include "app/frmVelmora.h"

#include <QApplication>
#include <QFileInfo>

int main(int argc, char *argv[])
{
    const QString arguments = CommandLine::ofThisProcess(argc, argv);
    // Qt must not take any of the settings as its own option: it sees the program name alone.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));

    PassOptions options;
    options.connection = ConnectionOptions::fromEnvironment();
    if (qEnvironmentVariable("VELMORA_BALANCES") == QLatin1String("set"))
        options.strategy = BalanceStrategy::SetBased;

    frmVelmora window(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName(),
                      ActivationStore::defaultFileOverride());
    window.setPassOptions(options);
    window.setMetricsFile(qEnvironmentVariable("VELMORA_METRICS_FILE"));
    if (!window.Form_Load(arguments))
        return 1;
    window.show();
    return QApplication::exec();
}
