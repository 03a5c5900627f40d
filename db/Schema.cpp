// SPDX-License-Identifier: MIT
#include "db/Schema.h"

#include "db/DbConnection.h"

#include <QSqlQuery>

namespace Schema {

QStringList sqliteStatements(const QString &amountType)
{
    return {
        // The scheme's own software fills the cards; nothing keeps it from leaving a value NULL.
        QStringLiteral("create table PontosCartoes ("
                       "Cliente text, "
                       "NumCartao text, "
                       "Nome text)"),
        QStringLiteral("create table PontosHistorico ("
                       "Id integer primary key, "
                       "Terceiro text not null, "
                       "CliFor text not null, "
                       "NumCartao text not null, "
                       "Tipo text, "
                       "Numero text, "
                       "Data text not null, "
                       "Afecta text not null, "
                       "ValorIncid %1, "
                       "Pontos %1 not null, "
                       "LancManual integer, "
                       "Observa text, "
                       "Utilizador text, "
                       "DataSys text)")
            .arg(amountType),
        // The card list reads in NumCartao order; the sums look up one card's rows of one
        // direction up to a date, which this index answers alone: Pontos rides along at its
        // end, so no table row is read.
        QStringLiteral(
            "create index PontosCartoes_NumCartao on PontosCartoes (NumCartao, Cliente)"),
        QStringLiteral("create index PontosHistorico_Cartao on PontosHistorico "
                       "(NumCartao, Terceiro, CliFor, Afecta, Data, Pontos)"),
    };
}

QStringList sqlServerStatements(const QString &textType, const QString &amountType)
{
    return {
        QStringLiteral("create table PontosCartoes ("
                       "Cliente %1(20) null, "
                       "NumCartao %1(30) null, "
                       "Nome nvarchar(100) null)")
            .arg(textType),
        QStringLiteral("create table PontosHistorico ("
                       "Id int identity(1,1) primary key, "
                       "Terceiro %1(20) not null, "
                       "CliFor char(1) not null, "
                       "NumCartao %1(30) not null, "
                       "Tipo %1(10) null, "
                       "Numero %1(20) null, "
                       "Data datetime not null, "
                       "Afecta char(1) not null, "
                       "ValorIncid %2 null, "
                       "Pontos %2 not null, "
                       "LancManual smallint null, "
                       "Observa nvarchar(255) null, "
                       "Utilizador %1(10) null, "
                       "DataSys datetime null)")
            .arg(textType, amountType),
        QStringLiteral(
            "create index PontosCartoes_NumCartao on PontosCartoes (NumCartao, Cliente)"),
        QStringLiteral("create index PontosHistorico_Cartao on PontosHistorico "
                       "(NumCartao, Terceiro, CliFor, Afecta, Data) include (Pontos)"),
    };
}

QStringList sqlServerDropStatements()
{
    QStringList statements;
    for (const char *table : {"PontosHistorico", "PontosCartoes"})
        statements << QStringLiteral("if object_id('%1','U') is not null drop table %1")
                          .arg(QLatin1String(table));
    return statements;
}

bool create(const QSqlDatabase &database, const QStringList &statements, QString *error)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            *error = DbConnection::describe(query.lastError());
            return false;
        }
    }
    return true;
}

} // namespace Schema
