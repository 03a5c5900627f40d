// SPDX-License-Identifier: MIT
#include "db/Dialect.h"

#include "db/DbConnection.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>

#include <algorithm>

// On Windows the ODBC headers use the SDK's types without including them.
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <vector>

namespace {

// One name serves every unit of work: only one savepoint is open at a time.
const QString kSavepoint = QStringLiteral("velmora_unidade");

template <typename Handle> Handle odbcHandle(const QVariant &handle)
{
    if (handle.isValid() && handle.metaType() == QMetaType::fromType<SQLHANDLE>())
        return *static_cast<const SQLHANDLE *>(handle.constData());
    return nullptr;
}

// One diagnostic record of a statement that failed.
// The values of one statement, bound by ODBC itself: the buffers and lengths that the driver
// reads when the statement runs.
class OdbcValues final : public Dialect::BoundValues
{
public:
    explicit OdbcValues(qsizetype count)
    {
        m_buffers.reserve(static_cast<std::size_t>(count));
        m_lengths.reserve(static_cast<std::size_t>(count));
    }
    // Binds `bytes`, kept here, as parameter `number`.
    SQLRETURN bind(SQLHANDLE statement, SQLUSMALLINT number, SQLSMALLINT cType, SQLSMALLINT sqlType,
                   SQLULEN columnSize, QByteArray bytes, bool null = false)
    {
        m_buffers.push_back(std::move(bytes));
        QByteArray &buffer = m_buffers.back();
        m_lengths.push_back(null ? SQL_NULL_DATA : SQLLEN(buffer.size()));
        return SQLBindParameter(statement, number, SQL_PARAM_INPUT, cType, sqlType, columnSize, 0,
                                buffer.data(), SQLLEN(buffer.size()), &m_lengths.back());
    }

private:
    std::vector<QByteArray> m_buffers;
    std::vector<SQLLEN> m_lengths;
};

template <typename T> QByteArray bytesOf(const T &value)
{
    return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
}

// The first day whose sums take a movement in, a day's bound being that day at 00:00
// (dateBoundValue): its own day when it is dated at 00:00, else the next.
const QLatin1String kSqlServerMovementDays(
    "select Afecta,Pontos,Dia=case when Data=convert(datetime,convert(date,Data)) "
    "then convert(date,Data) else dateadd(day,1,convert(date,Data)) end");
// The same by the text comparison that SQLite makes with the bound 'yyyy-mm-dd 00:00:00': a
// bare 'yyyy-mm-dd' and one at 00:00:00 count from that day, a later time from the next.
const QLatin1String kSqliteMovementDays(
    "select Afecta, Pontos, case when Data <= substr(Data, 1, 10) || ' 00:00:00' "
    "then substr(Data, 1, 10) else date(substr(Data, 1, 10), '+1 day') end as Dia");

// One diagnostic record of a failed call: its state and the server's own error number.
struct Diagnostic
{
    QByteArray state;
    SQLINTEGER native = 0;
    QString message; ///< the driver's text
};

// The records that the failed statement left, or, for a commit (no statement), the
// connection's. Qt asks for ODBC 2 states, so that a timeout is S1T00; ODBC 3 drivers may still
// say HYT00.
QList<Diagnostic> diagnostics(const QSqlDatabase &database, const QSqlQuery *failed)
{
    QList<Diagnostic> records;
    SQLSMALLINT type = SQL_HANDLE_STMT;
    SQLHANDLE handle = nullptr;
    if (failed && failed->result()) {
        handle = odbcHandle<SQLHANDLE>(failed->result()->handle());
    } else if (!failed && database.isOpen() && database.driver()) {
        type = SQL_HANDLE_DBC;
        handle = odbcHandle<SQLHANDLE>(database.driver()->handle());
    }
    // SQLTCHAR is the driver manager's own width: 16-bit on Windows, where Unicode is defined,
    // 8-bit on unixODBC.
    SQLTCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT record = 1;
         handle &&
         SQL_SUCCEEDED(SQLGetDiagRec(type, handle, record, state, &native, nullptr, 0, &length));
         ++record) {
        Diagnostic diagnostic;
        for (int i = 0; i < SQL_SQLSTATE_SIZE && state[i] != 0; ++i)
            diagnostic.state.append(static_cast<char>(state[i]));
        diagnostic.native = native;
        std::vector<SQLTCHAR> text(std::size_t(length) + 1);
        if (SQL_SUCCEEDED(SQLGetDiagRec(type, handle, record, state, &native, text.data(),
                                        SQLSMALLINT(text.size()), &length))) {
            length = qMin<SQLSMALLINT>(length, SQLSMALLINT(text.size() - 1));
            if constexpr (sizeof(SQLTCHAR) == sizeof(char16_t))
                diagnostic.message =
                    QString::fromUtf16(reinterpret_cast<const char16_t *>(text.data()), length);
            else
                diagnostic.message =
                    QString::fromUtf8(reinterpret_cast<const char *>(text.data()), length);
        }
        records.append(diagnostic);
    }
    return records;
}

// SQLite's primary result codes, as sqlite3.h numbers them for good.
constexpr qint64 kSqliteError = 1;
constexpr qint64 kSqlitePerm = 3;
constexpr qint64 kSqliteReadOnly = 8;
constexpr qint64 kSqliteIoErr = 10;
constexpr qint64 kSqliteCorrupt = 11;
constexpr qint64 kSqliteFull = 13;

// `rows` rows of bound values for a table of values: `row`, with %1 the row's place from 0,
// joined by `separator`.
QString boundRows(int rows, const QString &row, const QString &separator)
{
    QString text;
    for (int i = 0; i < rows; ++i)
        text += (i > 0 ? separator : QString()) + row.arg(i);
    return text;
}

bool isAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0x7f)
            return false;
    }
    return true;
}

// SQL Server: the statements keep the T-SQL texts the scheme's DBAs know; only the values
// spliced into them became placeholders.
class SqlServerDialect final : public Dialect
{
public:
    Backend backend() const override { return Backend::SqlServer; }
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
    QString cardListTextsSql() const override
    {
        return QStringLiteral("Select Distinct Cliente,NumCartao,"
                              "ClienteTexto=isnull(convert(nvarchar(4000),Cliente),''),"
                              "NumCartaoTexto=isnull(convert(nvarchar(4000),NumCartao),'') "
                              "from PontosCartoes With (NoLock) order by NumCartao");
    }
    // The history's sums between the range's first and last card numbers, grouped, joined to
    // the range's cards, which come bound: the card table, which may have no index on its
    // numbers, is read once for the card list and never again. A NULL value is the empty text
    // there, as the per-card sums bind it.
    QString rangeBalancesSql(int cards) const override
    {
        return QStringLiteral(
                   "select k.n,s.Soma,s.Subtrai,s.SomaHoje,s.SubtraiHoje "
                   "from (values %1) k(Cliente,NumCartao,n) "
                   "left join (select Terceiro,NumCartao,"
                   "Soma=sum(case when Afecta='+' and Data<=? then Pontos end),"
                   "Subtrai=sum(case when Afecta='-' and Data<=? then Pontos end),"
                   "SomaHoje=sum(case when Afecta='+' then Pontos end),"
                   "SubtraiHoje=sum(case when Afecta='-' then Pontos end) "
                   "from PontosHistorico With (nolock) where CliFor='C' and NumCartao>=? "
                   "and NumCartao<=? and Data<=? group by Terceiro,NumCartao) s "
                   "on s.Terceiro=k.Cliente and s.NumCartao=k.NumCartao order by k.n")
            .arg(boundRows(cards, QStringLiteral("(?,?,%1)"), QStringLiteral(",")));
    }
    // Up to 1 000 cards fit in the 2 100 values of a statement; on the T-SQL server a second
    // pass over 30 000 cards took 3.35 s in statements of 1 000 cards, 2.80 s of 250 and 2.67 s
    // of 100, 3.37 s of 40.
    int cardsPerRangeRead() const override { return 250; }
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
    // One lock per database, named after what it keeps: the settlement of the points.
    QString applicationLockSql() const override
    {
        return QStringLiteral("set nocount on; declare @r int; "
                              "exec @r = sp_getapplock @Resource = N'Velmora.Liquidacao', "
                              "@LockMode = 'Exclusive', @LockOwner = 'Session', "
                              "@LockTimeout = 0; select @r");
    }
    QString applicationLockTestSql() const override
    {
        return QStringLiteral("select applock_test('public', N'Velmora.Liquidacao', "
                              "'Exclusive', 'Session')");
    }
    QString applicationUnlockSql() const override
    {
        return QStringLiteral("exec sp_releaseapplock @Resource = N'Velmora.Liquidacao', "
                              "@LockOwner = 'Session'");
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
        auto statement =
            odbcHandle<SQLHANDLE>(query.result() ? query.result()->handle() : QVariant());
        if (statement) {
            // ODBC passes an integer attribute in the pointer argument.
            const auto seconds = static_cast<SQLULEN>(commandTimeoutSeconds);
            SQLSetStmtAttr(
                statement, SQL_ATTR_QUERY_TIMEOUT,
                reinterpret_cast<SQLPOINTER>(seconds), // NOLINT(performance-no-int-to-ptr)
                0);
        }
    }
    // A statement that ran out of time is the end of the connection as well: FreeTDS leaves
    // it unusable, and whatever cut the statement short (a lock held elsewhere, a network that
    // stopped answering) would hold up the next one too.
    bool connectionLost(const QSqlDatabase &database, const QSqlQuery *failed) const override
    {
        const QList<Diagnostic> records =
            failed ? diagnostics(database, failed) : QList<Diagnostic>();
        for (const Diagnostic &record : records) {
            if (record.state == "S1T00" || record.state == "HYT00" || record.state == "HYT01" ||
                record.state.startsWith("08"))
                return true;
        }
        if (!database.isOpen())
            return true;
        auto connection = odbcHandle<SQLHANDLE>(database.driver()->handle());
        SQLUINTEGER dead = SQL_CD_FALSE;
        return connection &&
               SQL_SUCCEEDED(
                   SQLGetConnectAttr(connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
               dead == SQL_CD_TRUE;
    }
    // Error 1205: the server ended the transaction to break a deadlock. A commit's records are
    // the connection's.
    bool deadlockVictim(const QSqlDatabase &database, const QSqlQuery *failed) const override
    {
        const QList<Diagnostic> records = diagnostics(database, failed);
        return std::any_of(records.begin(), records.end(),
                           [](const Diagnostic &record) { return record.native == 1205; });
    }
    // A pass or a forecast gives way to the tills: when a deadlock must be broken, the server
    // rolls back the pass's batch, which is done again, rather than a sale.
    QString sessionSetupSql() const override { return QStringLiteral("set deadlock_priority low"); }
    QString firstError(const QSqlQuery &failed) const override
    {
        const QList<Diagnostic> records = diagnostics(QSqlDatabase(), &failed);
        return records.isEmpty() ? QString() : records.first().message.trimmed();
    }
    QList<qint64> errorCodes(const QSqlQuery &failed) const override
    {
        QList<qint64> codes;
        for (const Diagnostic &record : diagnostics(QSqlDatabase(), &failed))
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
        auto statement =
            odbcHandle<SQLHANDLE>(query.result() ? query.result()->handle() : QVariant());
        if (!statement)
            return Dialect::bind(query, values, storage, error);
        auto bound = std::make_unique<OdbcValues>(values.size());
        for (qsizetype i = 0; i < values.size(); ++i) {
            const QVariant &value = values.at(i);
            const auto number = static_cast<SQLUSMALLINT>(i + 1);
            SQLRETURN r = SQL_ERROR;
            if (value.isNull()) {
                r = bound->bind(statement, number, SQL_C_CHAR, SQL_VARCHAR, 1, QByteArray(1, '\0'),
                                true);
            } else if (value.typeId() == QMetaType::QString) {
                const QString text = value.toString();
                const auto units = static_cast<SQLULEN>(qMax<qsizetype>(text.size(), 1));
                if (isAscii(text)) {
                    r = bound->bind(statement, number, SQL_C_CHAR, SQL_VARCHAR, units,
                                    text.toLatin1());
                } else {
                    r = bound->bind(
                        statement, number, SQL_C_WCHAR, SQL_WVARCHAR, units,
                        QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2));
                }
            } else if (value.typeId() == QMetaType::QDate) {
                const QDate d = value.toDate();
                DATE_STRUCT date{SQLSMALLINT(d.year()), SQLUSMALLINT(d.month()),
                                 SQLUSMALLINT(d.day())};
                r = bound->bind(statement, number, SQL_C_DATE, SQL_DATE, 10, bytesOf(date));
            } else if (value.typeId() == QMetaType::QDateTime) {
                const QDateTime m = value.toDateTime();
                TIMESTAMP_STRUCT moment{SQLSMALLINT(m.date().year()),
                                        SQLUSMALLINT(m.date().month()),
                                        SQLUSMALLINT(m.date().day()),
                                        SQLUSMALLINT(m.time().hour()),
                                        SQLUSMALLINT(m.time().minute()),
                                        SQLUSMALLINT(m.time().second()),
                                        0};
                r = bound->bind(statement, number, SQL_C_TIMESTAMP, SQL_TIMESTAMP, 19,
                                bytesOf(moment));
            } else if (value.typeId() == QMetaType::Int) {
                r = bound->bind(statement, number, SQL_C_SLONG, SQL_INTEGER, 0,
                                bytesOf(SQLINTEGER(value.toInt())));
            } else if (value.typeId() == QMetaType::LongLong) {
                r = bound->bind(statement, number, SQL_C_SBIGINT, SQL_BIGINT, 0,
                                bytesOf(SQLBIGINT(value.toLongLong())));
            } else {
                *error = QStringLiteral("valor de tipo %1 sem ligação ODBC")
                             .arg(QString::fromLatin1(value.typeName()));
                return false;
            }
            if (!SQL_SUCCEEDED(r)) {
                *error = QStringLiteral("o controlador ODBC recusou o valor %1").arg(i + 1);
                return false;
            }
        }
        *storage = std::move(bound);
        return true;
    }
    bool transactionStillOpen(const DbConnection &connection, bool *open,
                              QString *error) const override
    {
        // A SELECT that reads no table opens no implicit transaction of its own.
        QSqlQuery query;
        if (!connection.prepare(query, QStringLiteral("select @@trancount"), error) ||
            !connection.exec(query, error))
            return false;
        if (!connection.next(query, error)) {
            if (error->isEmpty())
                *error = QStringLiteral("@@trancount não devolveu nenhuma linha");
            return false;
        }
        *open = query.value(0).toInt() > 0;
        return connection.finish(query, error);
    }
    // Microsoft's ODBC drivers keep autocommit off with IMPLICIT_TRANSACTIONS, under which
    // SAVE TRANSACTION opens no transaction and fails as a batch's first statement; a read of a
    // table opens it. Where one is open already (FreeTDS opens it at once) that read does
    // nothing. A BEGIN TRANSACTION would nest a second one, which the driver's commit leaves
    // open. Reading or writing, the transaction is the same.
    bool begin(const DbConnection &connection, Work, QString *error) const override
    {
        if (!connection.beginTransaction(error))
            return false;
        if (connection.run(QStringLiteral("select top 0 1 from PontosHistorico"), error))
            return true;
        connection.rollback();
        return false;
    }
    // T-SQL has no RELEASE: a savepoint ends with the transaction, and a name used again is
    // found at its latest mark, so forgetting one sends nothing.
    bool savepoint(const DbConnection &connection, SavepointStep step,
                   QString *error) const override
    {
        switch (step) {
        case SavepointStep::Mark:
            return connection.run(QStringLiteral("save transaction ") + kSavepoint, error);
        case SavepointStep::RollBack:
            return connection.run(QStringLiteral("rollback transaction ") + kSavepoint, error);
        case SavepointStep::Release:
            return true;
        }
        return false;
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
    // The cards as balancesSql() joins them, one grouped read for the sums up to the first
    // bound and one for the days after it; a card's rows are kept together by ordering on both
    // of its values, where the card list orders on NumCartao alone.
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
};

class SqliteDialect final : public Dialect
{
public:
    Backend backend() const override { return Backend::Sqlite; }
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
    QString cardListTextsSql() const override
    {
        return QStringLiteral("select distinct Cliente, NumCartao, "
                              "coalesce(cast(Cliente as text), '') as ClienteTexto, "
                              "coalesce(cast(NumCartao as text), '') as NumCartaoTexto "
                              "from PontosCartoes order by NumCartao, Cliente");
    }
    // The history's sums between the range's first and last card numbers, read through the
    // history's card index and grouped, joined to the range's cards, which come bound. The
    // history's column is on the left of each comparison, so that its collation decides.
    QString rangeBalancesSql(int /*cards*/) const override
    {
        return QStringLiteral(
            "with k(Cliente, NumCartao, n) as (select json_extract(value, '$[0]'), "
            "json_extract(value, '$[1]'), key from json_each(?)) "
            "select k.n, s.Soma, s.Subtrai, s.SomaHoje, s.SubtraiHoje from k "
            "left join (select NumCartao, Terceiro, "
            "sum(case when Afecta='+' and Data<=? then Pontos end) as Soma, "
            "sum(case when Afecta='-' and Data<=? then Pontos end) as Subtrai, "
            "sum(case when Afecta='+' then Pontos end) as SomaHoje, "
            "sum(case when Afecta='-' then Pontos end) as SubtraiHoje "
            "from PontosHistorico where CliFor='C' and NumCartao >= ? and NumCartao <= ? "
            "and Data<=? group by NumCartao, Terceiro) s "
            "on s.NumCartao = k.NumCartao and s.Terceiro = k.Cliente order by k.n");
    }
    // One value for all the cards, a JSON array of [Cliente, NumCartao] pairs: SQLite finds a
    // bound value by walking the statement's list of them, so a statement of a thousand values
    // costs more to bind than to run.
    QVariantList rangeCardValues(const QList<std::pair<QString, QString>> &cards) const override
    {
        QJsonArray array;
        for (const auto &[cliente, numCartao] : cards)
            array.append(QJsonArray{cliente, numCartao});
        return {QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact))};
    }
    int cardsPerRangeRead() const override { return 8000; }
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
    // A batch that writes takes the write lock from the start: one that first read under a
    // shared lock and then wanted to write could meet a second writer waiting for that shared
    // lock to go, and SQLite then refuses the write at once rather than wait. A batch that only
    // reads takes the driver's transaction, under a shared lock.
    bool begin(const DbConnection &connection, Work work, QString *error) const override
    {
        return work == Work::Writing ? connection.run(QStringLiteral("begin immediate"), error)
                                     : connection.beginTransaction(error);
    }
    // After a rollback to it the savepoint is still there: the release ends it in both cases.
    bool savepoint(const DbConnection &connection, SavepointStep step,
                   QString *error) const override
    {
        switch (step) {
        case SavepointStep::Mark:
            return connection.run(QStringLiteral("savepoint ") + kSavepoint, error);
        case SavepointStep::RollBack:
            return connection.run(QStringLiteral("rollback to savepoint ") + kSavepoint, error);
        case SavepointStep::Release:
            return connection.run(QStringLiteral("release savepoint ") + kSavepoint, error);
        }
        return false;
    }
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
    // The cards as balancesSql() joins them; the sums up to the first bound read the history
    // in storage order, as balancesSql() does.
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
    int rowsPerInsert() const override { return 999 / 13; }
    // SQLite has no statement that tells; a BEGIN that it runs is ended again at once. Inside a
    // transaction it refuses BEGIN with its plain error code before it takes any lock, so a
    // BEGIN refused with any other code (busy, locked) found none open.
    bool transactionStillOpen(const DbConnection &connection, bool *open,
                              QString *error) const override
    {
        QSqlQuery query;
        if (!connection.prepare(query, QStringLiteral("begin"), error))
            return false;
        if (connection.exec(query, error)) {
            query.finish();
            *open = false;
            return connection.run(QStringLiteral("rollback"), error);
        }
        if (connection.isLost())
            return false;
        const QList<qint64> codes = connection.errorCodes(query);
        *open = std::any_of(codes.cbegin(), codes.cend(),
                            [](qint64 code) { return (code & 0xff) == kSqliteError; });
        error->clear();
        return true;
    }
};

} // namespace

QString Dialect::insertHistorySql(int rows) const
{
    QString sql = QStringLiteral("insert into PontosHistorico (Terceiro,CliFor,NumCartao,Tipo,"
                                 "Numero,Data,Afecta,ValorIncid,Pontos,LancManual,Observa,"
                                 "Utilizador,DataSys) values ");
    const QString row = QStringLiteral("(?,?,?,?,?,?,?,?,?,?,?,?,?)");
    sql.reserve(sql.size() + rows * (row.size() + 1));
    for (int i = 0; i < rows; ++i) {
        if (i > 0)
            sql += QLatin1Char(',');
        sql += row;
    }
    return sql;
}

QVariant Dialect::dateBoundValue(const QDate &date) const
{
    return dateValue(date);
}

QVariant Dialect::amountValue(Currency amount) const
{
    // A whole amount goes as an integer, which every numeric column type takes: int, bigint,
    // decimal, numeric, money and float alike. Text such as "100.0000" is refused by an int
    // column. Only an amount with decimals keeps its exact decimal text.
    if (amount.raw() % Currency::Scale == 0)
        return QVariant::fromValue(qint64(amount.raw() / Currency::Scale));
    return amount.toDecimalString();
}

void Dialect::prepared(QSqlQuery &, int) const {}

bool Dialect::bind(QSqlQuery &query, const QVariantList &values, std::unique_ptr<BoundValues> *,
                   QString *) const
{
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(int(i), values.at(i));
    return true;
}

QVariantList Dialect::rangeCardValues(const QList<std::pair<QString, QString>> &cards) const
{
    QVariantList values;
    values.reserve(2 * cards.size());
    for (const auto &[cliente, numCartao] : cards)
        values << cliente << numCartao;
    return values;
}

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
