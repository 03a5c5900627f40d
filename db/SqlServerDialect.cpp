// SPDX-License-Identifier: MIT
#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "db/OdbcStatement.h"
#include "db/TransactionGuard.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>

namespace {

// The first day whose sums take a movement in, a day's bound being that day at 00:00
// (dateBoundValue): its own day when it is dated at 00:00, else the next.
const QLatin1String kSqlServerMovementDays(
    "select Afecta,Pontos,Dia=case when Data=convert(datetime,convert(date,Data)) "
    "then convert(date,Data) else dateadd(day,1,convert(date,Data)) end");

// A card's values as text, as the server compares them with the history's; NULL as the empty
// text, as the per-card sums bind it.
const QLatin1String kCardTexts("ClienteTexto=isnull(convert(nvarchar(4000),Cliente),''),"
                               "NumCartaoTexto=isnull(convert(nvarchar(4000),NumCartao),'')");

class SqlServerDialect final : public Dialect
{
public:
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
    // 300 of the 2 100 values a statement takes: the batch stays short to parse, and a card
    // whose sums fail costs its companions one read again each.
    int cardsPerRoundTrip() const override { return 50; }
    QString serverTimeSql() const override { return QStringLiteral("select getdate()"); }
    QString newestNoteSql() const override
    {
        return QStringLiteral("select top 1 Id,Data,DataSys from PontosHistorico With (nolock) "
                              "where Observa like ? and LancManual=1 and Utilizador='00' and "
                              "Data is not null order by Id desc");
    }
    // A Data kept as text may hold what no date conversion reads ("15/01/2025"): a card's sums
    // fail on it, and so may a statement over other cards' rows. The sums compare it with a
    // bound date, so it is converted to date, as there: an ISO date reads so whatever the
    // login's date format.
    QString unreadableRowsSql() const override
    {
        return QStringLiteral("select distinct isnull(Terceiro,''),isnull(NumCartao,'') from "
                              "PontosHistorico With (nolock) where CliFor='C' and Data is not "
                              "null and try_convert(date,Data) is null");
    }
    QString dataColumnTypeSql() const override
    {
        return QStringLiteral("select top 1 DATA_TYPE from INFORMATION_SCHEMA.COLUMNS where "
                              "TABLE_NAME='PontosHistorico' and COLUMN_NAME='Data'");
    }
    QString latestNoteDateSql() const override
    {
        return QStringLiteral("select max(Data) from PontosHistorico With (nolock) where Observa "
                              "like ? and LancManual=1 and Utilizador='00'");
    }
    QString minusSumSql() const override
    {
        return QStringLiteral("select Subtrai=sum(Pontos) from PontosHistorico With (nolock) where "
                              "CliFor='C' and Terceiro=? and NumCartao=? and Afecta='-' and "
                              "Data<=?");
    }
    // The pass's card list in a temporary table: the card table, which may have no index on
    // its numbers, is read once, and each batch's grouped read finds its cards there by their
    // rows. The table is made by a statement of its own, so that it lives as long as the
    // session. Its keys, ClienteChave and NumCartaoChave, take the history's columns' collation
    // and 8-bit text, as a bound ASCII value meets them: the grouped read compares them as the
    // per-card sums compare such a value, without a conflict of collations between the two
    // tables. A key of other characters is read alone (rangeReadsKey). The join keeps an
    // identity column's property out of the copy, and neither table gives a row to it.
    QStringList cardTableSql() const override
    {
        return {QStringLiteral("if object_id('tempdb..#velmora_cartoes') is not null "
                               "drop table #velmora_cartoes"),
                QStringLiteral("select top 0 n=convert(bigint,0),c.Cliente,c.NumCartao,"
                               "ClienteTexto=isnull(convert(nvarchar(4000),c.Cliente),''),"
                               "NumCartaoTexto=isnull(convert(nvarchar(4000),c.NumCartao),''),"
                               "ClienteChave=convert(varchar(8000),h.Terceiro),"
                               "NumCartaoChave=convert(varchar(8000),h.NumCartao) "
                               "into #velmora_cartoes from PontosCartoes c With (NoLock) "
                               "cross join PontosHistorico h With (NoLock)")};
    }
    QStringList fillCardTableSql() const override
    {
        return {QStringLiteral("insert into #velmora_cartoes "
                               "select row_number() over (order by NumCartao,Cliente),"
                               "Cliente,NumCartao,%1,"
                               "isnull(convert(varchar(8000),Cliente),''),"
                               "isnull(convert(varchar(8000),NumCartao),'') "
                               "from (Select Distinct Cliente,NumCartao "
                               "from PontosCartoes With (NoLock)) c")
                    .arg(kCardTexts),
                QStringLiteral("create unique clustered index velmora_cartoes_n "
                               "on #velmora_cartoes (n)")};
    }
    QString cardListTextsSql() const override
    {
        return QStringLiteral("select n,Cliente,NumCartao,ClienteTexto,NumCartaoTexto "
                              "from #velmora_cartoes order by n");
    }
    // The history's sums between the range's least and greatest card numbers, as the history
    // compares them (a card table of integers sorts otherwise than a history of text), grouped,
    // joined to the range's rows of the card list.
    QString rangeBalancesSql() const override
    {
        return QStringLiteral("select k.n,s.Soma,s.Subtrai,s.SomaHoje,s.SubtraiHoje "
                              "from #velmora_cartoes k "
                              "left join (select Terceiro,NumCartao,"
                              "Soma=sum(case when Afecta='+' and Data<=? then Pontos end),"
                              "Subtrai=sum(case when Afecta='-' and Data<=? then Pontos end),"
                              "SomaHoje=sum(case when Afecta='+' then Pontos end),"
                              "SubtraiHoje=sum(case when Afecta='-' then Pontos end) "
                              "from PontosHistorico With (nolock) where CliFor='C' "
                              "and NumCartao>=(select min(NumCartaoChave) from #velmora_cartoes "
                              "where n between ? and ?) "
                              "and NumCartao<=(select max(NumCartaoChave) from #velmora_cartoes "
                              "where n between ? and ?) "
                              "and Data<=? group by Terceiro,NumCartao) s "
                              "on s.Terceiro=k.ClienteChave and s.NumCartao=k.NumCartaoChave "
                              "where k.n between ? and ? order by k.n");
    }
    // Only an ASCII key is the same 8-bit text in every code page.
    bool rangeReadsKey(QStringView text) const override
    {
        return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
    }
    // The keys as a table of bound values; the card's columns compared with them as they are,
    // so that an index on them serves.
    QString unreadKeysSql(int keys) const override
    {
        const QString values = boundRows(keys, QStringLiteral("(?,?,%1)"), QStringLiteral(","));
        return QStringLiteral("select k.n from (values %1) k(Cliente,NumCartao,n) where not exists "
                              "(select 1 from PontosCartoes c With (NoLock) where "
                              "(c.NumCartao=k.NumCartao or c.NumCartao is null and "
                              "k.NumCartao='') and (c.Cliente=k.Cliente or c.Cliente is null and "
                              "k.Cliente=''))")
            .arg(values);
    }
    int keysPerCheck() const override { return 1000; } // 2 000 of the 2 100 values
    // One lock per database, named after what it keeps: the settlement of the points. The
    // procedure's return value decides, not merely the absence of an error: 0 or 1 granted, a
    // negative value not granted.
    ServerLock takePassLock(const DbConnection &connection, QString *error) const override
    {
        QVariant granted;
        if (!connection.readOneValue(
                QStringLiteral("set nocount on; declare @r int; "
                               "exec @r = sp_getapplock @Resource = N'Velmora.Liquidacao', "
                               "@LockMode = 'Exclusive', @LockOwner = 'Session', "
                               "@LockTimeout = 0; select @r"),
                QStringLiteral("sp_getapplock não devolveu nenhum resultado"), &granted, error))
            return ServerLock::Failed;
        const int result = granted.toInt();
        if (result >= 0)
            return ServerLock::Taken;
        if (result == -1) // the timeout of no wait: another session holds it
            return ServerLock::Busy;
        // Any other refusal is only "busy" when another session is seen to hold the lock.
        QVariant free;
        if (connection.readOneValue(QStringLiteral("select applock_test('public', "
                                                   "N'Velmora.Liquidacao', 'Exclusive', "
                                                   "'Session')"),
                                    QStringLiteral("applock_test não devolveu nenhum resultado"),
                                    &free, error) &&
            free.toInt() == 0)
            return ServerLock::Busy;
        *error = QStringLiteral("sp_getapplock recusou o bloqueio da verificação (%1)").arg(result);
        return ServerLock::Failed;
    }
    bool releasePassLock(const DbConnection &connection, QString *error) const override
    {
        return connection.run(QStringLiteral("exec sp_releaseapplock "
                                             "@Resource = N'Velmora.Liquidacao', "
                                             "@LockOwner = 'Session'"),
                              error);
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
        OdbcStatement(query).setTimeout(commandTimeoutSeconds);
    }
    // A statement that ran out of time is the end of the connection as well: FreeTDS leaves
    // it unusable, and whatever cut the statement short (a lock held elsewhere, a network that
    // stopped answering) would hold up the next one too.
    bool connectionLost(const QSqlDatabase &database, const QSqlQuery *failed) const override
    {
        return (failed && OdbcStatement(*failed).timedOutOrDisconnected()) || !database.isOpen() ||
               OdbcStatement::connectionDead(database);
    }
    // Error 1205: the server ended the transaction to break a deadlock. A commit's records are
    // the connection's.
    bool deadlockVictim(const QSqlDatabase &database, const QSqlQuery *failed) const override
    {
        const QList<OdbcStatement::Diagnostic> records =
            failed ? OdbcStatement(*failed).diagnostics()
                   : OdbcStatement::connectionDiagnostics(database);
        return std::any_of(
            records.begin(), records.end(),
            [](const OdbcStatement::Diagnostic &record) { return record.native == 1205; });
    }
    // A pass or a forecast gives way to the tills: when a deadlock must be broken, the server
    // rolls back the pass's batch, which is done again, rather than a sale.
    QString sessionSetupSql() const override
    {
        return QStringLiteral("set deadlock_priority low; ") +
               TransactionSteps::sqlServer().sessionSql();
    }
    QString firstError(const QSqlQuery &failed) const override
    {
        const QList<OdbcStatement::Diagnostic> records = OdbcStatement(failed).diagnostics();
        return records.isEmpty() ? QString() : records.first().message.trimmed();
    }
    QList<qint64> errorCodes(const QSqlQuery &failed) const override
    {
        QList<qint64> codes;
        for (const OdbcStatement::Diagnostic &record : OdbcStatement(failed).diagnostics())
            codes.append(record.native);
        return codes;
    }
    // SQL Server's own error numbers; a trigger's or a constraint's error is the card's own.
    QString wholeRefusal(const QList<qint64> &codes) const override
    {
        for (const qint64 code : codes) {
            switch (code) {
            case 3906: // the database is read-only
                return QStringLiteral("só permite leitura");
            case 229: // a permission denied on an object
            case 230: // ... on a column
                return QStringLiteral("o utilizador não tem permissão para gravar");
            case 9002: // the transaction log is full
                return QStringLiteral("o registo de transacções está cheio");
            case 1101: // no new page: the disk of the filegroup is full
            case 1105: // no space in the filegroup
                return QStringLiteral("o grupo de ficheiros está cheio");
            default:
                break;
            }
        }
        return {};
    }
    // Qt's ODBC driver binds text through FreeTDS as the server's 8-bit code page, where any
    // other character (a Greek letter, an emoji in a card number) fails and leaves the
    // connection unusable. So values are bound here: ASCII text as 8-bit text, which a varchar
    // column compares without conversion, any other text as UTF-16, which reaches the server
    // whole on every driver. Qt is given no values of its own, and binds nothing over these.
    bool bind(QSqlQuery &query, const QVariantList &values, std::unique_ptr<BoundValues> *storage,
              QString *error) const override
    {
        const OdbcStatement statement(query);
        if (!statement.isValid())
            return Dialect::bind(query, values, storage, error);
        return statement.bind(values, storage, error);
    }
    const TransactionSteps &transactionSteps() const override
    {
        return TransactionSteps::sqlServer();
    }
    QString cardCountSql() const override
    {
        return QStringLiteral("select count(*) from (select distinct Cliente,NumCartao from "
                              "PontosCartoes With (NoLock)) c");
    }
    QString movementsByDaySql() const override
    {
        return QStringLiteral("select Dia,Soma=sum(case when Afecta='+' then Pontos end),"
                              "Subtrai=sum(case when Afecta='-' then Pontos end) from (") +
               kSqlServerMovementDays +
               QStringLiteral(" from PontosHistorico With (nolock) where CliFor='C' and "
                              "Terceiro=? and NumCartao=? and Afecta in ('+','-') and Data>? "
                              "and Data<=?) h group by Dia order by Dia");
    }
    // The moments as text: a date-time value costs the client a time zone lookup a row.
    QString ledgerRowsSql() const override
    {
        return QStringLiteral("select c.Cliente,c.NumCartao,h.Dia,h.Afecta,h.Pontos,h.Observa,"
                              "DataSys=convert(varchar(23),h.DataSys,121),Data=convert(varchar(23),"
                              "h.Data,121) "
                              "from (select distinct Cliente,NumCartao from PontosCartoes "
                              "With (NoLock)) c left join (") +
               kSqlServerMovementDays +
               QStringLiteral(",Terceiro,NumCartao,Observa,DataSys,Data from PontosHistorico "
                              "With (nolock) where CliFor='C' and Afecta in ('+','-')) h "
                              "on h.Terceiro=isnull(convert(nvarchar(4000),c.Cliente),'') "
                              "and h.NumCartao=isnull(convert(nvarchar(4000),c.NumCartao),'') "
                              "order by c.NumCartao,c.Cliente");
    }
    QString cardLedgerRowsSql() const override
    {
        return QStringLiteral(
                   "select "
                   "Terceiro,Dia,Afecta,Pontos,Observa,DataSys=convert(varchar(23),DataSys,121),"
                   "Data=convert(varchar(23),Data,121) from (") +
               kSqlServerMovementDays +
               QStringLiteral(",Terceiro,Observa,DataSys,Data from PontosHistorico With (nolock) "
                              "where CliFor='C' and NumCartao=? and Afecta in ('+','-')) h "
                              "order by Terceiro,Dia,Data");
    }
    // The card list joined to the history's sums by the text of its values, a NULL value as
    // the empty text, as the per-card sums bind them: one grouped read for the sums up to the
    // first bound and one for the days after it. A card's rows are kept together by ordering
    // on both of its values, where the card list orders on NumCartao alone.
    QString balancesAndMovementsByDaySql() const override
    {
        return QStringLiteral(
                   "select c.Cliente,c.NumCartao,b.Soma,b.Subtrai,d.Dia,d.Soma,d.Subtrai "
                   "from (select distinct Cliente,NumCartao from PontosCartoes With (NoLock)) c "
                   "left join (select Terceiro,NumCartao,"
                   "Soma=sum(case when Afecta='+' then Pontos end),"
                   "Subtrai=sum(case when Afecta='-' then Pontos end) "
                   "from PontosHistorico With (nolock) where CliFor='C' and Afecta in ('+','-') "
                   "and Data<=? group by Terceiro,NumCartao) b "
                   "on b.Terceiro=isnull(convert(nvarchar(4000),c.Cliente),'') "
                   "and b.NumCartao=isnull(convert(nvarchar(4000),c.NumCartao),'') "
                   "left join (select Terceiro,NumCartao,Dia,"
                   "Soma=sum(case when Afecta='+' then Pontos end),"
                   "Subtrai=sum(case when Afecta='-' then Pontos end) from (") +
               kSqlServerMovementDays +
               QStringLiteral(
                   ",Terceiro,NumCartao from PontosHistorico With (nolock) where CliFor='C' "
                   "and Afecta in ('+','-') and Data>? and Data<=?) h "
                   "group by Terceiro,NumCartao,Dia) d "
                   "on d.Terceiro=isnull(convert(nvarchar(4000),c.Cliente),'') "
                   "and d.NumCartao=isnull(convert(nvarchar(4000),c.NumCartao),'') "
                   "order by c.NumCartao,c.Cliente,d.Dia");
    }
    int rowsPerInsert() const override { return 2100 / 13; }
    // The numbers take the history's own column types, so that each bound value is converted
    // once, as a row's own insert converts it, and copied as it is.
    QStringList postingTableSql() const override
    {
        return {QStringLiteral("if object_id('tempdb..#velmora_lancamentos') is not null "
                               "drop table #velmora_lancamentos"),
                QStringLiteral("select top 0 Ordem=convert(int,0),n=convert(bigint,0),Data,"
                               "Afecta,ValorIncid,Pontos,Observa into #velmora_lancamentos "
                               "from PontosHistorico With (NoLock)")};
    }
    QString insertPostingsSql(int rows) const override
    {
        return QStringLiteral("insert into #velmora_lancamentos "
                              "(Ordem,n,Data,Afecta,ValorIncid,Pontos,Observa) values ") +
               QStringList(rows, QStringLiteral("(?,?,?,?,?,?,?)")).join(QLatin1Char(','));
    }
    int postingsPerInsert() const override { return 2100 / 7; }
    QString buildHistorySql() const override
    {
        return QStringLiteral("insert into PontosHistorico (") +
               historyColumns().join(QLatin1Char(',')) +
               QStringLiteral(") select k.ClienteTexto,'C',k.NumCartaoTexto,'','',l.Data,"
                              "l.Afecta,l.ValorIncid,l.Pontos,1,l.Observa,'00',? "
                              "from #velmora_lancamentos l join #velmora_cartoes k on k.n=l.n "
                              "where l.Ordem between ? and ? order by l.Ordem");
    }
    QString clearPostingsSql() const override
    {
        return QStringLiteral("delete from #velmora_lancamentos");
    }
};

} // namespace

const Dialect &Dialect::sqlServer()
{
    static const SqlServerDialect instance;
    return instance;
}
