// SPDX-License-Identifier: MIT
#include "db/CommandLine.h"

#include <QStringList>

namespace CommandLine {

namespace {

// The fields of a line cut at every ";", each counting only when a ";" follows it.
QStringList plainFields(const QString &line)
{
    QStringList fields = line.split(QLatin1Char(';'));
    fields.removeLast();
    return fields;
}

// The fields of a line whose fourth, the password, is braced as ODBC braces a value:
// "{Ab;c=1{x}}}" is "Ab;c=1{x}", a "}" inside doubled. False when the braces do not close
// just before a ";".
bool bracedFields(const QString &line, QStringList *fields)
{
    qsizetype start = 0;
    for (int i = 0; i < 3; ++i)
        start = line.indexOf(QLatin1Char(';'), start) + 1;
    if (start <= 0 || line.mid(start, 1) != QLatin1String("{"))
        return false;
    QString password;
    qsizetype i = start + 1;
    for (;; ++i) {
        if (i >= line.size())
            return false;
        if (line.at(i) != QLatin1Char('}')) {
            password += line.at(i);
        } else if (line.mid(i + 1, 1) == QLatin1String("}")) {
            password += QLatin1Char('}');
            ++i;
        } else {
            break;
        }
    }
    if (line.mid(i + 1, 1) != QLatin1String(";"))
        return false;
    *fields = plainFields(line.left(start));
    *fields << password << plainFields(line.mid(i + 2));
    return true;
}

} // namespace

ConnectionSettings split(const QString &argumentString, int *fieldCount)
{
    const QString line = ConnectionSettings::trimBlanks(argumentString);
    // Blank fields after the fifth say nothing, as a doubled ";" at the end.
    const auto dropBlankTail = [](QStringList &fields) {
        while (fields.size() > 5 && ConnectionSettings::isBlank(fields.constLast()))
            fields.removeLast();
    };
    QStringList fields = plainFields(line);
    dropBlankTail(fields);
    // Only a line that the plain reading cannot take is read with a braced password, so that
    // every line read before keeps its meaning, a password of braces without a ";" among them.
    QStringList braced;
    if (fields.size() > 5 && bracedFields(line, &braced)) {
        fields = braced;
        dropBlankTail(fields);
    }
    if (fieldCount)
        *fieldCount = int(qMin<qsizetype>(fields.size(), 1000));
    ConnectionSettings settings;
    QString *const targets[] = {&settings.strServidor, &settings.strBaseDados,
                                &settings.strUtilizador, &settings.strPassword,
                                &settings.strModoLigacao};
    for (qsizetype i = 0; i < qMin<qsizetype>(fields.size(), 5); ++i)
        *targets[i] = fields.at(i);
    return settings;
}

QString normaliseAndValidate(ConnectionSettings &settings, int fieldCount)
{
    settings.strModoLigacao = ConnectionSettings::normalisedMode(settings.strModoLigacao);

    if (fieldCount > 5) {
        // Nothing of the fields is shown: from the fourth on, any may be a piece of the
        // password.
        return QStringLiteral("a linha de definições tem %1 campos, e são cinco "
                              "(servidor;base de dados;utilizador;palavra-passe;modo;): um \";\" "
                              "na palavra-passe é a causa provável; escreva-a entre chavetas, "
                              "{assim}, com cada \"}\" dentro dela dobrado")
            .arg(fieldCount);
    }
    QString refusal;
    if (ConnectionSettings::isBlank(settings.strServidor))
        refusal = QStringLiteral("Não definiu o Servidor de SQL!");
    else if (ConnectionSettings::isBlank(settings.strBaseDados))
        refusal = QStringLiteral("Não definiu a Base de Dados de SQL!");
    else if (settings.mode() == ConnectionMode::SqlLogin &&
             ConnectionSettings::isBlank(settings.strUtilizador))
        refusal = QStringLiteral("Não definiu o Utilizador de SQL!");
    if (!refusal.isEmpty() && fieldCount < 5)
        refusal += QStringLiteral(" (a linha de definições tem %1 de cinco campos, cada um "
                                  "terminado em \";\")")
                       .arg(fieldCount);
    return refusal;
}

} // namespace CommandLine
