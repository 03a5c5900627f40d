// SPDX-License-Identifier: MIT
#include "db/Dialect.h"

#include <QSqlQuery>

const QStringList &Dialect::historyColumns()
{
    static const QStringList columns{
        QStringLiteral("Terceiro"),   QStringLiteral("CliFor"),     QStringLiteral("NumCartao"),
        QStringLiteral("Tipo"),       QStringLiteral("Numero"),     QStringLiteral("Data"),
        QStringLiteral("Afecta"),     QStringLiteral("ValorIncid"), QStringLiteral("Pontos"),
        QStringLiteral("LancManual"), QStringLiteral("Observa"),    QStringLiteral("Utilizador"),
        QStringLiteral("DataSys")};
    return columns;
}

QString Dialect::historyColumnsSql(const QStringList &columns)
{
    return QStringLiteral("select ") + columns.join(QLatin1Char(',')) +
           QStringLiteral(" from PontosHistorico where 1=0");
}

QString Dialect::insertHistorySql(int rows) const
{
    QString sql = QStringLiteral("insert into PontosHistorico (") +
                  historyColumns().join(QLatin1Char(',')) + QStringLiteral(") values ");
    const QString row = QStringLiteral("(?,?,?,?,?,?,?,?,?,?,?,?,?)");
    sql.reserve(sql.size() + rows * (row.size() + 1));
    for (int i = 0; i < rows; ++i) {
        if (i > 0)
            sql += QLatin1Char(',');
        sql += row;
    }
    return sql;
}

QString Dialect::cardsSumsSql(int cards) const
{
    QStringList statements;
    for (int i = 0; i < cards; ++i)
        statements << plusSumSql() << minusSumSql();
    return statements.join(QLatin1Char(';'));
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

Dialect::ServerLock Dialect::takePassLock(const DbConnection &, QString *) const
{
    return ServerLock::NotKept;
}

bool Dialect::releasePassLock(const DbConnection &, QString *) const
{
    return true;
}

QString Dialect::boundRows(int rows, const QString &row, const QString &separator)
{
    QString text;
    for (int i = 0; i < rows; ++i)
        text += (i > 0 ? separator : QString()) + row.arg(i);
    return text;
}
