// SPDX-License-Identifier: MIT
#include "db/CommandLine.h"

namespace CommandLine {

ConnectionSettings split(const QString &argumentString)
{
    ConnectionSettings settings;
    QString *const fields[] = {&settings.strServidor, &settings.strBaseDados,
                               &settings.strUtilizador, &settings.strPassword,
                               &settings.strModoLigacao};
    int field = 1;
    QString accumulator;
    for (const QChar c : ConnectionSettings::trimBlanks(argumentString)) {
        if (c == QLatin1Char(';')) {
            if (field <= 5)
                *fields[field - 1] = accumulator;
            accumulator.clear();
            ++field;
        } else {
            accumulator += c;
        }
    }
    return settings;
}

QString normaliseAndValidate(ConnectionSettings &settings)
{
    settings.strModoLigacao = ConnectionSettings::normalisedMode(settings.strModoLigacao);

    if (ConnectionSettings::isBlank(settings.strServidor))
        return QStringLiteral("Não definiu o Servidor de SQL!");
    if (ConnectionSettings::isBlank(settings.strBaseDados))
        return QStringLiteral("Não definiu a Base de Dados de SQL!");
    if (settings.mode() == ConnectionMode::SqlLogin &&
        ConnectionSettings::isBlank(settings.strUtilizador))
        return QStringLiteral("Não definiu o Utilizador de SQL!");
    return {};
}

} // namespace CommandLine
