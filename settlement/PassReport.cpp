// SPDX-License-Identifier: MIT
#include "settlement/PassReport.h"

#include <new>
#include <stdexcept>

namespace PassReport {

QString timestamp(const QDateTime &moment)
{
    return moment.toString(QStringLiteral("dd-MM-yyyy HH:mm:ss"));
}

QString describe(const std::exception &e)
{
    if (dynamic_cast<const std::bad_alloc *>(&e))
        return QStringLiteral("memória insuficiente");
    if (dynamic_cast<const std::length_error *>(&e))
        return QStringLiteral("dados demasiado grandes para a memória");
    return QStringLiteral("erro interno: ") + QString::fromLocal8Bit(e.what());
}

QString startLine(const QDateTime &moment)
{
    return kCrLf + QStringLiteral("Início da Verificação - ") + timestamp(moment) + kCrLf;
}

QString endLine(const QDateTime &moment)
{
    return QStringLiteral("Fim da Verificação - ") + timestamp(moment) + kCrLf;
}

QString previewLine()
{
    return QStringLiteral("Simulação: nada foi gravado na base de dados.") + kCrLf;
}

QString putOffLine(const QDateTime &moment)
{
    return timestamp(moment) +
           QStringLiteral("   Verificação adiada: outro processo do Velmora está a verificar esta "
                          "base de dados.") +
           kCrLf;
}

QString failureLine(const QDateTime &moment, const QString &description)
{
    return timestamp(moment) + QStringLiteral("   Falha! -> ") + description + kCrLf;
}

QString interruptedLine(const QDateTime &moment, int signal)
{
    return timestamp(moment) +
           QStringLiteral("   Verificação interrompida (sinal %1): cada cartão ficou inteiro, e "
                          "a próxima verificação trata dos que faltam.")
               .arg(signal) +
           kCrLf;
}

QString cardFailureLine(const QString &numCartao, const QString &description)
{
    return QStringLiteral("Falha no cartão nº ") + numCartao + QStringLiteral(" -> ") +
           description + kCrLf;
}

QString cardSettledLine(const QString &numCartao, const QString &strDataLimite, bool preview)
{
    // A preview says what would be done, not that it was.
    return QStringLiteral("    Cartão nº ") + numCartao +
           (preview ? QStringLiteral(" seria saldado até ao dia ")
                    : QStringLiteral(" saldado até ao dia ")) +
           strDataLimite + kCrLf;
}

QString previewRowLine(const HistoryEntry &row)
{
    Currency magnitude;
    if (!row.Pontos.absolute(&magnitude))
        magnitude = row.Pontos;
    return QStringLiteral("    Simulação: cartão nº %1 (cliente %2) %3 %4 em %5: %6")
               .arg(row.NumCartao, row.Terceiro, row.Afecta, magnitude.toText(),
                    row.Data.toString(QStringLiteral("yyyy-MM-dd")), row.Observa) +
           kCrLf;
}

QString oldBalanceNote(Currency amount)
{
    return QStringLiteral("Regularização Automática (") + amount.toText() +
           QStringLiteral(" pontos)");
}

QString negativeBalanceNote(const QString &strDataHoje)
{
    // The note has never had a closing parenthesis; reports downstream match on it as it is.
    return QStringLiteral("Regularização Automática (Saldo em ") + strDataHoje +
           QStringLiteral(" era negativo");
}

QString oldBalanceNotePattern()
{
    return QStringLiteral("Regularização Automática (% pontos)");
}

QString negativeBalanceNotePattern()
{
    return negativeBalanceNote(QStringLiteral("%"));
}

QString clockLine(qint64 offsetMs)
{
    constexpr qint64 kFewMinutesMs = qint64{5} * 60 * 1000;
    if (qAbs(offsetMs) <= kFewMinutesMs)
        return {};
    const qint64 seconds = (qAbs(offsetMs) + 500) / 1000;
    const qint64 days = seconds / 86400;
    const QString time = QStringLiteral("%1:%2:%3")
                             .arg(seconds % 86400 / 3600, 2, 10, QLatin1Char('0'))
                             .arg(seconds % 3600 / 60, 2, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("    Aviso: o relógio desta máquina está %1%2 %3 em relação ao do "
                          "servidor da base de dados; a Verificação segue a hora do servidor.")
               .arg(days > 0 ? QStringLiteral("%1 dia(s) e ").arg(days) : QString(), time,
                    offsetMs > 0 ? QStringLiteral("atrasado") : QStringLiteral("adiantado")) +
           kCrLf;
}

} // namespace PassReport
