// SPDX-License-Identifier: MIT
#include "support/TestDatabase.h"

#include "db/CommandLine.h"
#include "db/Currency.h"
#include "db/Schema.h"

#include <QDir>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

namespace {
int g_counter = 0;

// ODBC opens a scrollable cursor for any other query, which a statement that returns no
// rows refuses.
QSqlQuery forwardOnly(const QSqlDatabase &database)
{
    QSqlQuery q(database);
    q.setForwardOnly(true);
    return q;
}

QVariant nullable(const QString &text)
{
    return text.isNull() ? QVariant() : QVariant(text);
}

// Dates the way both back ends are compared: SQLite keeps the text it was given, SQL Server
// gives a date-time back.
QVariant normalised(const QVariant &value)
{
    if (value.metaType().id() != QMetaType::QDateTime)
        return value;
    const QDateTime moment = value.toDateTime();
    return moment.time() == QTime(0, 0) ? moment.toString(QStringLiteral("yyyy-MM-dd"))
                                        : moment.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QSqlDatabase openServer(const QString &name)
{
    ConnectionSettings s = CommandLine::split(TestDatabase::serverLine());
    CommandLine::normaliseAndValidate(s);
    // The platform's own driver, whatever driver a test has the pass use.
    const ConnectionTarget target = ConnectionString::build(s, ConnectionOptions());
    QSqlDatabase database = QSqlDatabase::addDatabase(target.driverName, name);
    database.setDatabaseName(target.databaseName);
    database.setConnectOptions(target.connectOptions);
    database.setNumericalPrecisionPolicy(QSql::HighPrecision);
    if (!database.open())
        qWarning("test database: %s", qPrintable(database.lastError().text()));
    return database;
}
} // namespace

namespace {
bool &serverSelected()
{
    static bool server = qEnvironmentVariable("VELMORA_TEST_BACKEND") == QLatin1String("sqlserver");
    return server;
}
} // namespace

bool TestDatabase::isServer()
{
    return serverSelected();
}

void TestDatabase::useServer()
{
    serverSelected() = true;
}

QString TestDatabase::serverLine()
{
    return qEnvironmentVariable("VELMORA_TEST_SQLSERVER");
}

TestDatabase::TestDatabase(const QString &amountType, const QString &textType)
    : m_connection(QStringLiteral("test-db-%1").arg(++g_counter))
{
    QSqlDatabase database;
    if (isServer()) {
        database = openServer(m_connection);
    } else {
        m_path = m_dir.filePath(QStringLiteral("velmora.db"));
        database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        database.setDatabaseName(m_path);
        database.open();
    }
    m_valid = m_dir.isValid() && database.isOpen();
    if (m_valid)
        createTables(amountType, textType);
}

TestDatabase::~TestDatabase()
{
    restoreHistory();
    for (const QString &name : {m_connection, m_lockConnection}) {
        if (name.isEmpty())
            continue;
        {
            QSqlDatabase database = QSqlDatabase::database(name, false);
            database.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
}

void TestDatabase::createTables(const QString &amountType, const QString &textType)
{
    QString error;
    QStringList statements;
    if (isServer()) {
        statements = Schema::sqlServerDropStatements() +
                     Schema::sqlServerStatements(
                         textType.isEmpty() ? QStringLiteral("varchar") : textType,
                         amountType.isEmpty() ? QStringLiteral("money") : amountType);
    } else {
        statements =
            Schema::sqliteStatements(amountType.isEmpty() ? QStringLiteral("numeric") : amountType);
    }
    m_valid = Schema::create(db(), statements, &error);
    if (!m_valid)
        qWarning("test database: %s", qPrintable(error));
}

ConnectionSettings TestDatabase::settings() const
{
    if (isServer()) {
        ConnectionSettings s = CommandLine::split(serverLine());
        CommandLine::normaliseAndValidate(s);
        return s;
    }
    ConnectionSettings s;
    s.strServidor = m_path;
    s.strBaseDados = QStringLiteral("main");
    s.strModoLigacao = QStringLiteral("SQLITE");
    return s;
}

ConnectionOptions TestDatabase::connectionOptions()
{
    ConnectionOptions options;
    if (isServer()) {
        options.loginSeconds = 10;
        options.commandSeconds = 3;
        // The cases set the date on a clock of their own, as VELMORA_CLOCK=machine does.
        options.clock = QStringLiteral("machine");
    }
    return options;
}

QSqlDatabase TestDatabase::db() const
{
    return QSqlDatabase::database(m_connection, false);
}

void TestDatabase::exec(const QString &sql)
{
    QSqlQuery q = forwardOnly(db());
    if (!q.exec(sql))
        QFAIL(qPrintable(sql + QStringLiteral(": ") + q.lastError().text()));
}

void TestDatabase::addCard(const QString &cliente, const QString &numCartao)
{
    QSqlQuery q = forwardOnly(db());
    q.prepare(QStringLiteral("insert into PontosCartoes (Cliente, NumCartao) values (?, ?)"));
    q.addBindValue(nullable(cliente));
    q.addBindValue(nullable(numCartao));
    if (!q.exec())
        QFAIL(qPrintable(q.lastError().text()));
}

void TestDatabase::addCard(const QString &cliente, const QString &numCartao,
                           const QStringList &movements)
{
    addCard(cliente, numCartao);
    for (const QString &movement : movements) {
        const QStringList f = movement.split(QLatin1Char(' '));
        addMovement(cliente, numCartao, f[0].right(1), f[1], f.mid(2).join(QLatin1Char(' ')),
                    f[0].size() > 1 ? QStringLiteral("F") : QStringLiteral("C"));
    }
}

void TestDatabase::addMovement(const QString &cliente, const QString &numCartao,
                               const QString &afecta, const QString &pontos, const QString &data,
                               const QString &cliFor)
{
    QSqlQuery q = forwardOnly(db());
    q.prepare(QStringLiteral("insert into PontosHistorico (Terceiro, CliFor, NumCartao, Tipo, "
                             "Numero, Data, Afecta, ValorIncid, Pontos, LancManual, Observa, "
                             "Utilizador, DataSys) values (?, ?, ?, 'FT', '1', ?, ?, ?, ?, 0, "
                             "'teste', '01', ?)"));
    // A history row always names its card: an empty text stands where the card has a NULL.
    q.addBindValue(cliente.isNull() ? QStringLiteral("") : cliente);
    q.addBindValue(cliFor);
    q.addBindValue(numCartao.isNull() ? QStringLiteral("") : numCartao);
    const QString sysData = data.left(10) + QStringLiteral(" 09:00:00");
    if (isServer()) {
        const QDateTime moment =
            data.size() > 10 ? QDateTime::fromString(data, QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                             : QDateTime(QDate::fromString(data, Qt::ISODate), QTime(0, 0));
        q.addBindValue(moment);
    } else {
        q.addBindValue(data);
    }
    q.addBindValue(afecta);
    q.addBindValue(pontos);
    q.addBindValue(pontos);
    if (isServer())
        q.addBindValue(QDateTime::fromString(sysData, QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    else
        q.addBindValue(sysData);
    if (!q.exec())
        QFAIL(qPrintable(q.lastError().text()));
}

static QVector<QVariantMap> rows(const QSqlDatabase &database, const QString &where)
{
    QVector<QVariantMap> out;
    QSqlQuery q = forwardOnly(database);
    if (!q.exec(QStringLiteral("select * from PontosHistorico %1 order by Id").arg(where)))
        return out;
    while (q.next()) {
        QVariantMap row;
        const QSqlRecord r = q.record();
        for (int i = 0; i < r.count(); ++i)
            row.insert(r.fieldName(i), normalised(r.value(i)));
        out.append(row);
    }
    return out;
}

QVector<QVariantMap> TestDatabase::postedRows() const
{
    return rows(db(), QStringLiteral("where LancManual = 1"));
}

QVector<QVariantMap> TestDatabase::allRows() const
{
    return rows(db(), QString());
}

QString TestDatabase::balance(const QString &cliente, const QString &numCartao,
                              const QString &day) const
{
    Currency total;
    for (const QVariantMap &row : allRows()) {
        if (row.value(QStringLiteral("CliFor")).toString() != QLatin1String("C") ||
            row.value(QStringLiteral("Terceiro")).toString() != cliente ||
            row.value(QStringLiteral("NumCartao")).toString() != numCartao ||
            row.value(QStringLiteral("Data")).toString() > day)
            continue;
        Currency amount;
        QString error;
        Currency::fromVariant(row.value(QStringLiteral("Pontos")), &amount, &error);
        const QString afecta = row.value(QStringLiteral("Afecta")).toString();
        if (afecta == QLatin1String("+"))
            Currency::add(total, amount, &total);
        else if (afecta == QLatin1String("-"))
            Currency::subtract(total, amount, &total);
    }
    return total.toDecimalString();
}

void TestDatabase::breakHistory()
{
    if (!isServer()) {
        exec(QStringLiteral("alter table PontosHistorico rename to Guardado"));
        m_lockConnection = QStringLiteral("renamed");
        return;
    }
    m_lockConnection = m_connection + QStringLiteral("-lock");
    QSqlDatabase holder = openServer(m_lockConnection);
    QVERIFY2(holder.transaction(), qPrintable(holder.lastError().text()));
    QSqlQuery q = forwardOnly(holder);
    // Dropped, not committed: every other session's statement on the table waits for the end
    // of this transaction, NOLOCK readers included.
    QVERIFY2(q.exec(QStringLiteral("drop table PontosHistorico")),
             qPrintable(q.lastError().text()));
}

void TestDatabase::restoreHistory()
{
    if (m_lockConnection.isEmpty())
        return;
    if (!isServer()) {
        m_lockConnection.clear();
        forwardOnly(db()).exec(QStringLiteral("alter table Guardado rename to PontosHistorico"));
        return;
    }
    {
        QSqlDatabase holder = QSqlDatabase::database(m_lockConnection, false);
        holder.rollback();
        holder.close();
    }
    QSqlDatabase::removeDatabase(m_lockConnection);
    m_lockConnection.clear();
}

void TestDatabase::refusePostings(const QString &cliente, const QString &condition,
                                  bool endsTransaction)
{
    QString terceiro = cliente;
    terceiro.replace(QLatin1Char('\''), QStringLiteral("''"));
    QString test = condition;
    m_refusalIsTrigger = !isServer() || endsTransaction;
    if (!isServer()) {
        test.replace(QStringLiteral("{}"), QStringLiteral("new."));
        exec(QStringLiteral("create trigger Recusa before insert on PontosHistorico when "
                            "new.LancManual = 1 and new.Terceiro = '%1' and %2 begin "
                            "select raise(%3, 'recusado'); end")
                 .arg(terceiro, test,
                      endsTransaction ? QStringLiteral("rollback") : QStringLiteral("abort")));
        return;
    }
    test.replace(QStringLiteral("{}"), QString());
    const QString where =
        QStringLiteral("LancManual = 1 and Terceiro = '%1' and %2").arg(terceiro, test);
    if (endsTransaction) {
        exec(QStringLiteral("create trigger Recusa on PontosHistorico after insert as if exists "
                            "(select 1 from inserted where %1) rollback transaction")
                 .arg(where));
    } else {
        // A CHECK constraint refuses the one statement; the transaction goes on, as it does
        // when a real server refuses a value.
        exec(QStringLiteral("alter table PontosHistorico add constraint Recusa check (not (%1))")
                 .arg(where));
    }
}

void TestDatabase::allowPostings()
{
    exec(!m_refusalIsTrigger ? QStringLiteral("alter table PontosHistorico drop constraint Recusa")
                             : QStringLiteral("drop trigger Recusa"));
}

void TestDatabase::endSession(QSqlDatabase connection)
{
    if (!isServer()) {
        connection.close();
        return;
    }
    // The T-SQL server's session number is its PostgreSQL backend's process id.
    QSqlQuery q = forwardOnly(connection);
    QVERIFY2(q.exec(QStringLiteral("select @@spid")) && q.next(), qPrintable(q.lastError().text()));
    const int spid = q.value(0).toInt();
    q.finish();
    QString dir = qEnvironmentVariable("VELMORA_TEST_TSQL_DIR");
    if (dir.isEmpty())
        dir = QDir::tempPath() + QStringLiteral("/velmora-tsql");
    QProcess psql;
    psql.start(QStringLiteral("runuser"),
               {QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"),
                QStringLiteral("env"), QStringLiteral("LD_LIBRARY_PATH=") + dir + "/babelfish/lib",
                dir + "/babelfish/bin/psql", QStringLiteral("-h"), dir, QStringLiteral("-p"),
                qEnvironmentVariable("TSQL_PG_PORT", QStringLiteral("5433")), QStringLiteral("-U"),
                QStringLiteral("postgres"), QStringLiteral("-d"), QStringLiteral("babelfish_db"),
                QStringLiteral("-qAt"), QStringLiteral("-c"),
                QStringLiteral("select pg_terminate_backend(%1)").arg(spid)});
    QVERIFY2(psql.waitForFinished(30000), "psql did not end");
    const QString out = QString::fromLocal8Bit(psql.readAllStandardOutput()).trimmed();
    QVERIFY2(psql.exitCode() == 0 && out == QLatin1String("t"),
             qPrintable(QString::fromLocal8Bit(psql.readAllStandardError()) + out));
}

int TestDatabase::historyRowsSeenFromOutside() const
{
    const QString name = m_connection + QStringLiteral("-reader");
    int count = -1;
    {
        QSqlDatabase reader;
        if (isServer()) {
            reader = openServer(name);
        } else {
            reader = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            reader.setDatabaseName(m_path);
            reader.open();
        }
        QSqlQuery q = forwardOnly(reader);
        if (q.exec(isServer() ? QStringLiteral("select count(*) from PontosHistorico with (nolock)")
                              : QStringLiteral("select count(*) from PontosHistorico")) &&
            q.next())
            count = q.value(0).toInt();
        q.finish();
        reader.close();
    }
    QSqlDatabase::removeDatabase(name);
    return count;
}
