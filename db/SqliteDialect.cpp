// SPDX-License-Identifier: MIT
#include "db/Dialect.h"
#include "db/TransactionGuard.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// SQLite's primary result codes, as sqlite3.h numbers them for good.
constexpr qint64 kSqlitePerm = 3;
constexpr qint64 kSqliteReadOnly = 8;
constexpr qint64 kSqliteIoErr = 10;
constexpr qint64 kSqliteCorrupt = 11;
constexpr qint64 kSqliteFull = 13;

// The first day whose sums take a movement in, by the text comparison that SQLite makes with
// the bound 'yyyy-mm-dd 00:00:00' (dateBoundValue): a bare 'yyyy-mm-dd' and one at 00:00:00
// count from that day, a later time from the next.
const QLatin1String kSqliteMovementDays(
    "select Afecta, Pontos, case when Data <= substr(Data, 1, 10) || ' 00:00:00' "
    "then substr(Data, 1, 10) else date(substr(Data, 1, 10), '+1 day') end as Dia");

class SqliteDialect final : public Dialect
{
public:
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
    QString newestNoteSql() const override
    {
        return QStringLiteral("select Id,Data,DataSys from PontosHistorico where Observa like ? "
                              "and LancManual=1 and Utilizador='00' and Data is not null "
                              "order by Id desc limit 1");
    }
    // A table that the scheme made without types keeps any text: sum() would take "abc" as 0
    // and "12,5" as 12, and a text date compares as text ("10-12-2024" as old).
    QString unreadableRowsSql() const override
    {
        return QStringLiteral(
            "select distinct ifnull(Terceiro,''),ifnull(NumCartao,'') from PontosHistorico "
            "where CliFor='C' and (typeof(Pontos) not in ('integer','real','null') and "
            "(typeof(Pontos)<>'text' or ltrim(trim(Pontos),'+-') not glob '*[0-9]*' or "
            "ltrim(trim(Pontos),'+-') glob '*[^0-9.]*' or "
            "length(Pontos)-length(replace(Pontos,'.',''))>1 or "
            "length(trim(Pontos))-length(ltrim(trim(Pontos),'+-'))>1) or "
            "not (Data glob '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]' or "
            "Data glob '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9][ T]*'))");
    }
    QString latestNoteDateSql() const override
    {
        return QStringLiteral("select max(Data) from PontosHistorico where Observa like ? and "
                              "LancManual=1 and Utilizador='00'");
    }
    QString minusSumSql() const override
    {
        return QStringLiteral("select sum(Pontos) as Subtrai from PontosHistorico where "
                              "CliFor='C' and Terceiro=? and NumCartao=? and Afecta='-' and "
                              "Data<=?");
    }
    // The pass's card list in a temporary table: the card table, which may have no index on
    // its numbers, is read once, and each batch's grouped read finds its cards there by their
    // rows. The texts are taken after the distinct pairs, so that a collation of the card
    // table's own still decides which pairs are one.
    QStringList cardTableSql() const override
    {
        return {QStringLiteral("drop table if exists temp.velmora_cartoes"),
                QStringLiteral("create temp table velmora_cartoes (n integer primary key, "
                               "Cliente, NumCartao, ClienteTexto, NumCartaoTexto)")};
    }
    // A row's n is its rowid, given in the order the rows are inserted: the order of the list.
    QStringList fillCardTableSql() const override
    {
        return {QStringLiteral("insert into temp.velmora_cartoes "
                               "(Cliente, NumCartao, ClienteTexto, NumCartaoTexto) "
                               "select Cliente, NumCartao, coalesce(cast(Cliente as text), ''), "
                               "coalesce(cast(NumCartao as text), '') "
                               "from (select distinct Cliente, NumCartao from PontosCartoes) "
                               "order by NumCartao, Cliente")};
    }
    QString cardListTextsSql() const override
    {
        return QStringLiteral("select n, Cliente, NumCartao, ClienteTexto, NumCartaoTexto "
                              "from temp.velmora_cartoes order by n");
    }
    // Each card of the range meets its own movements through the history's card index, one
    // card after the other, so that the sums need neither a sorter nor an index of their own.
    // The history needs no bounds for that: the placeholders of the range's rows that bound it
    // on SQL Server are taken and left unused. The history's column is on the left of each
    // comparison, so that its collation decides.
    QString rangeBalancesSql() const override
    {
        return QStringLiteral(
            "select k.n, "
            "sum(case when h.Afecta='+' and h.Data<=? then h.Pontos end) as Soma, "
            "sum(case when h.Afecta='-' and h.Data<=? then h.Pontos end) as Subtrai, "
            "sum(case when h.Afecta='+' then h.Pontos end) as SomaHoje, "
            "sum(case when h.Afecta='-' then h.Pontos end) as SubtraiHoje "
            "from temp.velmora_cartoes k left join PontosHistorico h "
            "on h.NumCartao = k.NumCartaoTexto and h.Terceiro = k.ClienteTexto "
            "and h.CliFor='C' and coalesce(?, ?, ?, ?) is not null and h.Data<=? "
            "where k.n between ? and ? group by k.n order by k.n");
    }
    QString unreadKeysSql(int keys) const override
    {
        const QString values = boundRows(keys, QStringLiteral("(?, ?, %1)"), QStringLiteral(", "));
        return QStringLiteral("with k(Cliente, NumCartao, n) as (values %1) select n from k "
                              "where not exists (select 1 from PontosCartoes c where "
                              "(c.NumCartao = k.NumCartao or c.NumCartao is null and "
                              "k.NumCartao = '') and (c.Cliente = k.Cliente or c.Cliente is null "
                              "and k.Cliente = ''))")
            .arg(values);
    }
    int keysPerCheck() const override { return 999 / 2; }
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
    const TransactionSteps &transactionSteps() const override { return TransactionSteps::sqlite(); }
    bool connectionLost(const QSqlDatabase &database, const QSqlQuery *) const override
    {
        return !database.isOpen();
    }
    // Qt's driver gives SQLite's result code, extended where the library extends it.
    QList<qint64> errorCodes(const QSqlQuery &failed) const override
    {
        bool ok = false;
        const qint64 code = failed.lastError().nativeErrorCode().toLongLong(&ok);
        return ok ? QList<qint64>{code} : QList<qint64>{};
    }
    QString wholeRefusal(const QList<qint64> &codes) const override
    {
        for (const qint64 code : codes) {
            switch (code & 0xff) { // the primary result code
            case kSqliteReadOnly:
                return QStringLiteral("só permite leitura");
            case kSqlitePerm:
                return QStringLiteral("sem permissão de acesso");
            case kSqliteFull:
                return QStringLiteral("o disco ou a base de dados está cheio");
            case kSqliteIoErr:
                return QStringLiteral("erro de leitura ou escrita no disco");
            case kSqliteCorrupt:
                return QStringLiteral("o ficheiro está danificado");
            default:
                break;
            }
        }
        return {};
    }
    QString cardCountSql() const override
    {
        return QStringLiteral(
            "select count(*) from (select distinct Cliente, NumCartao from PontosCartoes)");
    }
    QString movementsByDaySql() const override
    {
        return QStringLiteral("select Dia, sum(case when Afecta='+' then Pontos end) as Soma, "
                              "sum(case when Afecta='-' then Pontos end) as Subtrai from (") +
               kSqliteMovementDays +
               QStringLiteral(" from PontosHistorico where CliFor='C' and Terceiro=? and "
                              "NumCartao=? and Afecta in ('+','-') and Data>? and Data<=?) "
                              "group by Dia order by Dia");
    }
    // The card list joined to the history's sums by the text of its values, a NULL value as
    // the empty text, as the per-card sums bind them. The sums up to the first bound read the
    // whole history once, in storage order (not indexed), and group it.
    QString balancesAndMovementsByDaySql() const override
    {
        return QStringLiteral(
                   "select c.Cliente, c.NumCartao, b.Soma, b.Subtrai, d.Dia, d.Soma, d.Subtrai "
                   "from (select distinct Cliente, NumCartao from PontosCartoes) c "
                   "left join (select NumCartao, Terceiro, "
                   "sum(case when Afecta='+' then Pontos end) as Soma, "
                   "sum(case when Afecta='-' then Pontos end) as Subtrai "
                   "from PontosHistorico not indexed "
                   "where CliFor='C' and Afecta in ('+','-') and Data<=? "
                   "group by NumCartao, Terceiro) b "
                   "on b.NumCartao = coalesce(cast(c.NumCartao as text), '') "
                   "and b.Terceiro = coalesce(cast(c.Cliente as text), '') "
                   "left join (select NumCartao, Terceiro, Dia, "
                   "sum(case when Afecta='+' then Pontos end) as Soma, "
                   "sum(case when Afecta='-' then Pontos end) as Subtrai from (") +
               kSqliteMovementDays +
               QStringLiteral(", NumCartao, Terceiro from PontosHistorico "
                              "where CliFor='C' and Afecta in ('+','-') and Data>? and Data<=?) "
                              "group by NumCartao, Terceiro, Dia) d "
                              "on d.NumCartao = coalesce(cast(c.NumCartao as text), '') "
                              "and d.Terceiro = coalesce(cast(c.Cliente as text), '') "
                              "order by c.NumCartao, c.Cliente, d.Dia");
    }
    QString ledgerRowsSql() const override
    {
        return QStringLiteral("select c.Cliente, c.NumCartao, h.Dia, h.Afecta, h.Pontos, "
                              "h.Observa, h.DataSys, h.Data "
                              "from (select distinct Cliente, NumCartao from PontosCartoes) c "
                              "left join (") +
               kSqliteMovementDays +
               QStringLiteral(", NumCartao, Terceiro, Observa, DataSys, Data from PontosHistorico "
                              "where CliFor='C' and Afecta in ('+','-')) h "
                              "on h.NumCartao = coalesce(cast(c.NumCartao as text), '') "
                              "and h.Terceiro = coalesce(cast(c.Cliente as text), '')");
    }
    // No order by: SQLite joins in nested loops, so a card's rows come together, in the card
    // list's order, while sorting millions of joined rows in its temporary store took minutes.
    // The history is read by its index, a row at a time: mapped, not read, from the file.
    QString wholeHistoryReadSql() const override
    {
        return QStringLiteral("pragma mmap_size=2147418112"); // SQLite's own limit
    }
    QString cardLedgerRowsSql() const override
    {
        return QStringLiteral("select Terceiro, Dia, Afecta, Pontos, Observa, DataSys, Data "
                              "from (") +
               kSqliteMovementDays +
               QStringLiteral(", Terceiro, Observa, DataSys, Data from PontosHistorico "
                              "where CliFor='C' and NumCartao=? and Afecta in ('+','-')) "
                              "order by Terceiro, Dia, Data");
    }
    // A statement costs no round trip here, and SQLite finds each bound value by walking the
    // statement's list of them: a statement of many rows cost more to prepare and to bind than
    // its rows did to write (a first pass over 100 000 cards: 1.08 s in statements of up to 76
    // rows, 0.61 s of one row, or the two of one card). One statement of one row is kept
    // prepared for the whole pass.
    int rowsPerInsert() const override { return 1; }
};

} // namespace

const Dialect &Dialect::sqlite()
{
    static const SqliteDialect instance;
    return instance;
}
