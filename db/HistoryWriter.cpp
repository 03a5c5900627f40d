// SPDX-License-Identifier: MIT
#include "db/HistoryWriter.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "report/ReportSink.h"

#include <utility>

bool HistoryWriter::missingColumns(const DbConnection &connection, QStringList *missing,
                                   QString *error)
{
    missing->clear();
    const QStringList &columns = Dialect::historyColumns();
    if (connection.run(Dialect::historyColumnsSql(columns), error))
        return true;
    QString first = *error;
    for (const QString &column : columns) {
        if (connection.isLost()) {
            *error = connection.lostReason();
            return false;
        }
        if (!connection.run(Dialect::historyColumnsSql({column}), error))
            *missing << column;
    }
    // Not one column read: the table itself cannot be.
    if (missing->size() == columns.size() || connection.isLost()) {
        missing->clear();
        *error = connection.isLost() ? connection.lostReason() : first;
        return false;
    }
    return true;
}

QString HistoryWriter::rowRefusal(const HistoryEntry &entry)
{
    Currency magnitude;
    if (!entry.ValorIncid.absolute(&magnitude) || !entry.Pontos.absolute(&magnitude))
        return QStringLiteral("valor fora do intervalo");
    return {};
}

void HistoryWriter::reportRefusal(const HistoryEntry &entry, const QString &cause,
                                  ReportSink &report)
{
    report.append(QStringLiteral("Falha de Gravação no Histórico de Pontos\r\n") +
                  QStringLiteral("    cartão nº %1 (cliente %2) -> %3\r\n")
                      .arg(entry.NumCartao, entry.Terceiro, cause));
    report.caretToEnd();
    report.refresh();
}

bool HistoryWriter::values(const HistoryEntry &entry, const QDateTime &now, QVariantList *out,
                           QString *error) const
{
    const Dialect &dialect = m_connection.dialect();
    Currency valorIncid;
    Currency pontos;
    if (!entry.ValorIncid.absolute(&valorIncid) || !entry.Pontos.absolute(&pontos)) {
        *error = rowRefusal(entry);
        return false;
    }
    // Empty text stays empty text: a QString that is empty but not null binds as ''.
    auto text = [](const QString &s) {
        return s.isNull() ? QStringLiteral("") : s;
    };
    *out << text(entry.Terceiro) << text(entry.CliFor) << text(entry.NumCartao) << text(entry.Tipo)
         << text(entry.Numero) << dialect.dateValue(entry.Data) << text(entry.Afecta)
         << dialect.amountValue(valorIncid) << dialect.amountValue(pontos) << 1
         << text(entry.Observa) << QStringLiteral("00") << dialect.dateTimeValue(now);
    return true;
}

bool HistoryWriter::GravarHistorico(const HistoryEntry &entry, const QDateTime &now,
                                    ReportSink &report)
{
    QVariantList row;
    QString error;
    bool ok = values(entry, now, &row, &error);
    if (ok && !m_prepared) {
        m_prepared =
            m_connection.prepare(m_insert, m_connection.dialect().insertHistorySql(), &error);
        ok = m_prepared;
    }
    if (ok) {
        // The row count is not consulted: a server running with NOCOUNT on reports none, and a
        // trigger on the table may report its own.
        ok = m_connection.exec(m_insert, row, &error);
        m_insert.finish();
        if (!ok) {
            // A statement that failed may not be reusable on every driver: prepare afresh.
            m_insert = QSqlQuery();
            m_prepared = false;
        }
    }
    // A lost connection is no refusal of the row: the pass ends on it and says so.
    if (!ok && !m_connection.isLost())
        reportRefusal(entry, error, report);
    return ok;
}

bool HistoryWriter::writeRows(const QVector<HistoryEntry> &rows, const QVector<int> &statementRows,
                              const QDateTime &now, qsizetype *written, QString *error)
{
    *written = 0;
    const int most = m_connection.dialect().rowsPerInsert();
    for (const int count : statementRows) {
        // A card's rows never split, so a full statement holds the most rows or one fewer, or
        // one card's two rows where the most is one: those are kept prepared. A batch's last,
        // shorter one is prepared for itself.
        QSqlQuery single;
        QSqlQuery *insert = &single;
        const bool kept = count >= most - 1;
        if (kept && m_multiRow.contains(count)) {
            insert = &m_multiRow[count];
        } else {
            if (!m_connection.prepare(single, m_connection.dialect().insertHistorySql(count),
                                      error))
                return false;
            if (kept)
                insert = &(m_multiRow[count] = std::move(single));
        }
        QVariantList values;
        values.reserve(qsizetype(count) * 13);
        for (qsizetype i = *written; i < *written + count; ++i) {
            if (!this->values(rows.at(i), now, &values, error))
                return false;
        }
        const bool ok = m_connection.exec(*insert, values, error);
        insert->finish();
        if (!ok) {
            m_multiRow.remove(count); // prepared afresh the next time, as a single row's
            return false;
        }
        *written += count;
    }
    return true;
}

bool HistoryWriter::buildRows(const QVector<HistoryEntry> &rows, const QVector<qint64> &cardRows,
                              const QDateTime &now, qsizetype *written, QString *error)
{
    *written = 0;
    const Dialect &dialect = m_connection.dialect();
    if (!m_connection.run(dialect.clearPostingsSql(), error))
        return false;
    const int most = dialect.postingsPerInsert();
    for (qsizetype first = 0; first < rows.size(); first += most) {
        const auto count = int(qMin<qsizetype>(most, rows.size() - first));
        const bool full = count == most;
        QSqlQuery shorter;
        QSqlQuery &insert = full ? m_postings : shorter;
        if (!full || !m_postingsPrepared) {
            if (!m_connection.prepare(insert, dialect.insertPostingsSql(count), error))
                return false;
            m_postingsPrepared = m_postingsPrepared || full;
        }
        QVariantList values;
        values.reserve(qsizetype(count) * 7);
        for (qsizetype i = first; i < first + count; ++i) {
            const HistoryEntry &entry = rows.at(i);
            Currency valorIncid;
            Currency pontos;
            if (!entry.ValorIncid.absolute(&valorIncid) || !entry.Pontos.absolute(&pontos)) {
                *error = rowRefusal(entry);
                return false;
            }
            values << int(i) << cardRows.at(i) << dialect.dateValue(entry.Data) << entry.Afecta
                   << dialect.amountValue(valorIncid) << dialect.amountValue(pontos)
                   << (entry.Observa.isNull() ? QStringLiteral("") : entry.Observa);
        }
        const bool ok =
            m_connection.exec(insert, values, error) && m_connection.finish(insert, error);
        if (!ok) {
            m_postingsPrepared = m_postingsPrepared && !full; // prepared afresh the next time
            return false;
        }
    }
    if (!m_buildPrepared) {
        m_buildPrepared = m_connection.prepare(m_build, dialect.buildHistorySql(), error);
        if (!m_buildPrepared)
            return false;
    }
    // The row count is not consulted, as GravarHistorico does not consult it.
    const QVariant dataSys = dialect.dateTimeValue(now);
    while (*written < rows.size()) {
        qsizetype end = qMin(rows.size(), *written + Dialect::kRowsPerBuild);
        while (end < rows.size() && end > *written + 1 && cardRows.at(end) == cardRows.at(end - 1))
            --end;
        const bool ok = m_connection.exec(m_build, {dataSys, int(*written), int(end - 1)}, error) &&
                        m_connection.finish(m_build, error);
        if (!ok) {
            m_build = QSqlQuery();
            m_buildPrepared = false;
            return false;
        }
        *written = end;
    }
    return true;
}
