// SPDX-License-Identifier: MIT
#include "db/HistoryWriter.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "report/ReportSink.h"

bool HistoryWriter::GravarHistorico(const HistoryEntry &entry, const QDateTime &now,
                                    ReportSink &report)
{
    const Dialect &dialect = m_connection.dialect();
    Currency valorIncid;
    Currency pontos;
    bool ok = entry.ValorIncid.absolute(&valorIncid) && entry.Pontos.absolute(&pontos);
    if (ok && !m_prepared) {
        QString error;
        m_prepared = m_connection.prepare(m_insert, dialect.insertHistorySql(), &error);
        ok = m_prepared;
    }
    if (ok) {
        // Empty text stays empty text: a QString that is empty but not null binds as ''.
        auto text = [](const QString &s) {
            return s.isNull() ? QStringLiteral("") : s;
        };
        const QVariantList values{text(entry.Terceiro),        text(entry.CliFor),
                                  text(entry.NumCartao),       text(entry.Tipo),
                                  text(entry.Numero),          dialect.dateValue(entry.Data),
                                  text(entry.Afecta),          dialect.amountValue(valorIncid),
                                  dialect.amountValue(pontos), 1,
                                  text(entry.Observa),         QStringLiteral("00"),
                                  dialect.dateTimeValue(now)};
        // The row count is not consulted: a server running with NOCOUNT on reports none, and a
        // trigger on the table may report its own.
        QString error;
        ok = m_connection.exec(m_insert, values, &error);
        m_insert.finish();
        if (!ok) {
            // A statement that failed may not be reusable on every driver: prepare afresh.
            m_insert = QSqlQuery();
            m_prepared = false;
        }
    }
    // A lost connection is no refusal of the row: the pass ends on it and says so.
    if (!ok && !m_connection.isLost()) {
        report.append(QStringLiteral("Falha de Gravação no Histórico de Pontos\r\n"));
        report.caretToEnd();
        report.refresh();
    }
    return ok;
}
