// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QSqlQuery>
#include <QString>
#include <QVector>

class DbConnection;
class ReportSink;

/// One movement of points, as a row of PontosHistorico takes it.
struct HistoryEntry
{
    QString Terceiro;
    QString CliFor;
    QString NumCartao;
    QString Tipo;
    QString Numero;
    QDate Data;
    QString Afecta;      ///< "+" adds points, "-" takes them away
    Currency ValorIncid; ///< stored without its sign
    Currency Pontos;     ///< stored without its sign
    QString Observa;
};

/// Appends movements to PontosHistorico over one open connection, reusing its prepared insert.
class HistoryWriter
{
public:
    explicit HistoryWriter(const DbConnection &connection) : m_connection(connection) {}

    /// Writes one row: the entry's values, LancManual 1, Utilizador "00" and DataSys `now`.
    /// False when no row was written. A refused row is reported in `report` (reportRefusal()):
    /// the pass then leaves the
    /// card as it was and goes on, and velmora-cli ends with exit code 3; unless the database
    /// refused it whatever the card (DbConnection::wholeRefusal()), which ends the pass. A row
    /// lost with the connection is not reported here: the connection says why
    /// (DbConnection::isLost()).
    bool GravarHistorico(const HistoryEntry &entry, const QDateTime &now, ReportSink &report);

    /// Writes the rows in statements of Dialect::rowsPerInsert() rows at most, or of one card's
    /// rows where they are more, as `statementRows` splits them (consecutive counts that add up
    /// to rows.size()), so that a card's rows share a statement. Stops at the first
    /// statement that fails: false, with its description, and `written` the rows of the
    /// statements before it. Nothing is reported here.
    bool writeRows(const QVector<HistoryEntry> &rows, const QVector<int> &statementRows,
                   const QDateTime &now, qsizetype *written, QString *error);

    /// The columns of Dialect::historyColumns() that the history lacks, each tried by a statement
    /// that reads no row. False, with the reason, when the history cannot be read at all (it is
    /// missing, the login may not read it, the connection is lost).
    /// Writes `rows` as the server builds them (Dialect::buildHistorySql()): their numbers
    /// only, into the session's table of them, `cardRows` giving each row's card in the copy of
    /// the card list; then statements of some Dialect::kRowsPerBuild rows, a card's rows never
    /// split, write them. `written` tells how many rows went in before a statement failed.
    /// False, with the reason, when a row is refused before it is sent or a statement failed.
    bool buildRows(const QVector<HistoryEntry> &rows, const QVector<qint64> &cardRows,
                   const QDateTime &now, qsizetype *written, QString *error);
    static bool missingColumns(const DbConnection &connection, QStringList *missing,
                               QString *error);
    /// Why a row could not be written whatever the table (an amount out of range); empty when
    /// it can.
    static QString rowRefusal(const HistoryEntry &entry);
    /// Reports a refused row: "Falha de Gravação no Histórico de Pontos", then its card and
    /// the cause once, caret to the end, refresh.
    static void reportRefusal(const HistoryEntry &entry, const QString &cause, ReportSink &report);

private:
    /// Appends the entry's thirteen values to `out`; false, with the reason, when an amount is
    /// out of range.
    bool values(const HistoryEntry &entry, const QDateTime &now, QVariantList *out,
                QString *error) const;

    const DbConnection &m_connection;
    QSqlQuery m_insert;
    bool m_prepared = false;
    QHash<int, QSqlQuery> m_multiRow; ///< prepared inserts, by their number of rows
    QSqlQuery m_postings;             ///< a full statement of numbers, kept prepared
    bool m_postingsPrepared = false;
    QSqlQuery m_build;
    bool m_buildPrepared = false;
};
