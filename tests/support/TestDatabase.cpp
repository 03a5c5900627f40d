// SPDX-License-Identifier: MIT
#include "support/TestDatabase.h"

#include "db/Currency.h"
#include "db/Schema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

namespace {
int g_counter = 0;
}

TestDatabase::TestDatabase()
    : m_path(m_dir.filePath(QStringLiteral("velmora.db"))),
      m_connection(QStringLiteral("test-db-%1").arg(++g_counter))
{
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    database.setDatabaseName(m_path);
    QString error;
    m_valid = m_dir.isValid() && database.open() &&
              Schema::create(database, Schema::sqliteStatements(), &error);
    if (!m_valid)
        qWarning("test database: %s", qPrintable(error + database.lastError().text()));
}

TestDatabase::~TestDatabase()
{
    {
        QSqlDatabase database = QSqlDatabase::database(m_connection, false);
        database.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

ConnectionSettings TestDatabase::settings() const
{
    ConnectionSettings s;
    s.strServidor = m_path;
    s.strBaseDados = QStringLiteral("main");
    s.strModoLigacao = QStringLiteral("SQLITE");
    return s;
}

QSqlDatabase TestDatabase::db() const
{
    return QSqlDatabase::database(m_connection, false);
}

void TestDatabase::exec(const QString &sql)
{
    QSqlQuery q(db());
    if (!q.exec(sql))
        QFAIL(qPrintable(sql + QStringLiteral(": ") + q.lastError().text()));
}

void TestDatabase::addCard(const QString &cliente, const QString &numCartao)
{
    QSqlQuery q(db());
    q.prepare(QStringLiteral("insert into PontosCartoes (Cliente, NumCartao) values (?, ?)"));
    q.addBindValue(cliente);
    q.addBindValue(numCartao);
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
    QSqlQuery q(db());
    q.prepare(QStringLiteral("insert into PontosHistorico (Terceiro, CliFor, NumCartao, Tipo, "
                             "Numero, Data, Afecta, ValorIncid, Pontos, LancManual, Observa, "
                             "Utilizador, DataSys) values (?, ?, ?, 'FT', '1', ?, ?, ?, ?, 0, "
                             "'teste', '01', ?)"));
    q.addBindValue(cliente);
    q.addBindValue(cliFor);
    q.addBindValue(numCartao);
    q.addBindValue(data);
    q.addBindValue(afecta);
    q.addBindValue(pontos);
    q.addBindValue(pontos);
    q.addBindValue(data.left(10) + QStringLiteral(" 09:00:00"));
    if (!q.exec())
        QFAIL(qPrintable(q.lastError().text()));
}

static QVector<QVariantMap> rows(const QSqlDatabase &database, const QString &where)
{
    QVector<QVariantMap> out;
    QSqlQuery q(database);
    if (!q.exec(QStringLiteral("select * from PontosHistorico %1 order by Id").arg(where)))
        return out;
    while (q.next()) {
        QVariantMap row;
        const QSqlRecord r = q.record();
        for (int i = 0; i < r.count(); ++i)
            row.insert(r.fieldName(i), r.value(i));
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
