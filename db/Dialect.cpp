// SPDX-License-Identifier: MIT
#include "db/Dialect.h"

#include <QSqlQuery>
#include <QSqlResult>

// On Windows the ODBC headers use the SDK's types without including them.
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

namespace {

// SQL Server: the statements keep the T-SQL texts the scheme's DBAs know; only the values
// spliced into them became placeholders.
class SqlServerDialect final : public Dialect
{
public:
    QString name() const override { return QStringLiteral("SQL Server"); }
    QString cardListSql() const override
    {
        return QStringLiteral("Select Distinct Cliente,NumCartao from PontosCartoes With (NoLock) "
                              "order by NumCartao");
    }
    QString plusSumSql() const override
    {
        return QStringLiteral("select Soma=sum(Pontos) from PontosHistorico With (nolock) where "
                              "CliFor='C' and Terceiro=? and NumCartao=? and Afecta='+' and "
                              "Data<=?");
    }
    QString minusSumSql() const override
    {
        return QStringLiteral("select Subtrai=sum(Pontos) from PontosHistorico With (nolock) where "
                              "CliFor='C' and Terceiro=? and NumCartao=? and Afecta='-' and "
                              "Data<=?");
    }
    // One grouped read of each sum over the whole history, joined to the card list by the
    // text of the card's values, as the per-card sums compare them with their bound text.
    QString balancesSql() const override
    {
        return QStringLiteral(
            "select c.Cliente,c.NumCartao,p.Soma,m.Subtrai "
            "from (select distinct Cliente,NumCartao from PontosCartoes With (NoLock)) c "
            "left join (select Terceiro,NumCartao,Soma=sum(Pontos) from PontosHistorico "
            "With (nolock) where CliFor='C' and Afecta='+' and Data<=? "
            "group by Terceiro,NumCartao) p "
            "on p.Terceiro=convert(nvarchar(4000),c.Cliente) "
            "and p.NumCartao=convert(nvarchar(4000),c.NumCartao) "
            "left join (select Terceiro,NumCartao,Subtrai=sum(Pontos) from PontosHistorico "
            "With (nolock) where CliFor='C' and Afecta='-' and Data<=? "
            "group by Terceiro,NumCartao) m "
            "on m.Terceiro=convert(nvarchar(4000),c.Cliente) "
            "and m.NumCartao=convert(nvarchar(4000),c.NumCartao) "
            "order by c.NumCartao");
    }
    QVariant dateValue(const QDate &date) const override { return date; }
    QVariant dateTimeValue(const QDateTime &moment) const override
    {
        // datetime keeps milliseconds to 1/300 s; whole seconds avoid a rounding surprise.
        const QTime t = moment.time();
        return QDateTime(moment.date(), QTime(t.hour(), t.minute(), t.second()));
    }
    void prepared(QSqlQuery &query, int commandTimeoutSeconds) const override
    {
        const QVariant handle = query.result() ? query.result()->handle() : QVariant();
        if (handle.isValid() && handle.metaType() == QMetaType::fromType<SQLHANDLE>()) {
            SQLHANDLE statement = *static_cast<const SQLHANDLE *>(handle.constData());
            if (statement) {
                SQLSetStmtAttr(
                    statement, SQL_ATTR_QUERY_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(commandTimeoutSeconds)), 0);
            }
        }
    }
};

class SqliteDialect final : public Dialect
{
public:
    QString name() const override { return QStringLiteral("SQLite"); }
    // Ties on NumCartao (one card number under two customers) are broken by Cliente so that
    // every reading of the list gives the same order.
    QString cardListSql() const override
    {
        return QStringLiteral("select distinct Cliente, NumCartao from PontosCartoes "
                              "order by NumCartao, Cliente");
    }
    QString plusSumSql() const override
    {
        return QStringLiteral("select sum(Pontos) as Soma from PontosHistorico where CliFor='C' "
                              "and Terceiro=? and NumCartao=? and Afecta='+' and Data<=?");
    }
    QString minusSumSql() const override
    {
        return QStringLiteral("select sum(Pontos) as Subtrai from PontosHistorico where "
                              "CliFor='C' and Terceiro=? and NumCartao=? and Afecta='-' and "
                              "Data<=?");
    }
    // Each sum reads the history once in storage order and groups it apart: walking the
    // card index instead fetches each row's Pontos from wherever the day put it, which costs
    // twice as much on a history that grows day by day. The card list keeps its own order,
    // ties on NumCartao broken by Cliente.
    QString balancesSql() const override
    {
        return QStringLiteral(
            "select c.Cliente, c.NumCartao, p.Soma, m.Subtrai "
            "from (select distinct Cliente, NumCartao from PontosCartoes) c "
            "left join (select NumCartao, Terceiro, sum(Pontos) as Soma "
            "from PontosHistorico not indexed "
            "where CliFor='C' and Afecta='+' and Data<=? group by NumCartao, Terceiro) p "
            "on p.NumCartao = cast(c.NumCartao as text) and p.Terceiro = cast(c.Cliente as text) "
            "left join (select NumCartao, Terceiro, sum(Pontos) as Subtrai "
            "from PontosHistorico not indexed "
            "where CliFor='C' and Afecta='-' and Data<=? group by NumCartao, Terceiro) m "
            "on m.NumCartao = cast(c.NumCartao as text) and m.Terceiro = cast(c.Cliente as text) "
            "order by c.NumCartao, c.Cliente");
    }
    // ISO text compares as the dates do: '2025-12-06 10:00:00' > '2025-12-06', so a time of
    // day later on the bound's date falls outside the sum, as it does on SQL Server.
    QVariant dateValue(const QDate &date) const override
    {
        return date.toString(QStringLiteral("yyyy-MM-dd"));
    }
    QVariant dateTimeValue(const QDateTime &moment) const override
    {
        return moment.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    // A bare 'yyyy-mm-dd' sorts before 'yyyy-mm-dd 00:00:00', and both count, as they do on
    // SQL Server; 'yyyy-mm-dd 10:00:00' sorts after and does not.
    QVariant dateBoundValue(const QDate &date) const override
    {
        return date.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(" 00:00:00");
    }
};

} // namespace

QString Dialect::insertHistorySql() const
{
    return QStringLiteral("insert into PontosHistorico (Terceiro,CliFor,NumCartao,Tipo,Numero,"
                          "Data,Afecta,ValorIncid,Pontos,LancManual,Observa,Utilizador,DataSys) "
                          "values (?,?,?,?,?,?,?,?,?,?,?,?,?)");
}

QVariant Dialect::dateBoundValue(const QDate &date) const
{
    return dateValue(date);
}

QVariant Dialect::amountValue(Currency amount) const
{
    return amount.toDecimalString();
}

void Dialect::prepared(QSqlQuery &, int) const {}

const Dialect &Dialect::sqlServer()
{
    static const SqlServerDialect instance;
    return instance;
}

const Dialect &Dialect::sqlite()
{
    static const SqliteDialect instance;
    return instance;
}
