// SPDX-License-Identifier: MIT
#include "db/ConnectionSettings.h"

QString ConnectionSettings::normalisedMode(const QString &mode)
{
    return isBlank(mode) ? QStringLiteral("SQL") : mode.toUpper();
}

ConnectionMode ConnectionSettings::mode() const
{
    const QString mode = normalisedMode(strModoLigacao);
    if (mode == QLatin1String("SQL"))
        return ConnectionMode::SqlLogin;
    if (mode == QLatin1String("WIN"))
        return ConnectionMode::Integrated;
    if (mode == QLatin1String("SQLITE"))
        return ConnectionMode::Sqlite;
    return ConnectionMode::Unknown;
}

QString ConnectionSettings::trimBlanks(const QString &setting)
{
    qsizetype begin = 0;
    qsizetype end = setting.size();
    while (begin < end && setting.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && setting.at(end - 1) == QLatin1Char(' '))
        --end;
    return setting.mid(begin, end - begin);
}

QString ConnectionOptions::defaultOdbcDriver()
{
#ifdef Q_OS_WIN
    return QStringLiteral("SQL Server");
#else
    return QStringLiteral("FreeTDS");
#endif
}

ConnectionOptions ConnectionOptions::fromEnvironment()
{
    ConnectionOptions options;
    const QString fromEnv = qEnvironmentVariable("VELMORA_ODBC_DRIVER");
    if (!fromEnv.isEmpty())
        options.odbcDriver = fromEnv;
    options.encrypt = qEnvironmentVariable("VELMORA_ENCRYPT");
    options.trustServerCertificate = qEnvironmentVariable("VELMORA_TRUST_SERVER_CERTIFICATE");
    options.hostNameInCertificate = qEnvironmentVariable("VELMORA_HOST_NAME_IN_CERTIFICATE");
    options.clock = qEnvironmentVariable("VELMORA_CLOCK");
    return options;
}

bool ConnectionOptions::machineClock() const
{
    return clock.trimmed().compare(QLatin1String("machine"), Qt::CaseInsensitive) == 0;
}
