// SPDX-License-Identifier: MIT
#include "db/ConnectionSettings.h"

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
