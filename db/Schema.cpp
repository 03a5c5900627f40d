// SPDX-License-Identifier: MIT
#include "db/Schema.h"

#include "db/DbConnection.h"

#include <QSqlQuery>

namespace Schema {

QStringList sqliteStatements()
{
    return {
        QStringLiteral("create table PontosCartoes ("
                       "Cliente text not null, "
                       "NumCartao text not null, "
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
                       "ValorIncid numeric, "
                       "Pontos numeric not null, "
                       "LancManual integer, "
                       "Observa text, "
                       "Utilizador text, "
                       "DataSys text)"),
        // The card list reads in NumCartao order; the sums look up one card's rows of one
        // direction up to a date, which this index answers alone: Pontos rides along at its
        // end, so no table row is read.
        QStringLiteral(
            "create index PontosCartoes_NumCartao on PontosCartoes (NumCartao, Cliente)"),
        QStringLiteral("create index PontosHistorico_Cartao on PontosHistorico "
                       "(NumCartao, Terceiro, CliFor, Afecta, Data, Pontos)"),
    };
}

QStringList sqlServerStatements()
{
    return {
        QStringLiteral("create table PontosCartoes ("
                       "Cliente varchar(20) not null, "
                       "NumCartao varchar(30) not null, "
                       "Nome nvarchar(100) null)"),
        QStringLiteral("create table PontosHistorico ("
                       "Id int identity(1,1) primary key, "
                       "Terceiro varchar(20) not null, "
                       "CliFor char(1) not null, "
                       "NumCartao varchar(30) not null, "
                       "Tipo varchar(10) null, "
                       "Numero varchar(20) null, "
                       "Data datetime not null, "
                       "Afecta char(1) not null, "
                       "ValorIncid money null, "
                       "Pontos money not null, "
                       "LancManual smallint null, "
                       "Observa nvarchar(255) null, "
                       "Utilizador varchar(10) null, "
                       "DataSys datetime null)"),
        QStringLiteral(
            "create index PontosCartoes_NumCartao on PontosCartoes (NumCartao, Cliente)"),
        QStringLiteral("create index PontosHistorico_Cartao on PontosHistorico "
                       "(NumCartao, Terceiro, CliFor, Afecta, Data) include (Pontos)"),
    };
}

bool create(const QSqlDatabase &database, const QStringList &statements, QString *error)
{
    QSqlQuery query(database);
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            *error = DbConnection::describe(query.lastError());
            return false;
        }
    }
    return true;
}

} // namespace Schema
