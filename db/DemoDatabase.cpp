// SPDX-License-Identifier: MIT
#include "db/DemoDatabase.h"

#include "db/DbConnection.h"
#include "db/Schema.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace DemoDatabase {

namespace {

struct Movement
{
    const char *cliente;
    const char *numCartao;
    const char *cliFor;
    const char *afecta;
    const char *pontos;
    QString data;
};

} // namespace

bool create(const QString &path, const QDate &today, QString *error)
{
    if (QFileInfo::exists(path)) {
        *error = QStringLiteral("o ficheiro %1 já existe; não é substituído").arg(path);
        return false;
    }
    const QDate cutoff = today.addYears(-1);
    const auto day = [](const QDate &d) {
        return d.toString(QStringLiteral("yyyy-MM-dd"));
    };
    const QString twoYears = day(today.addYears(-2));
    const QString lastMonth = day(today.addMonths(-1));
    const QString onCutoff = day(cutoff);
    const QString afterCutoff = day(cutoff.addDays(1));
    const QString cutoffAfternoon = onCutoff + QStringLiteral(" 15:30:00");

    const char *cards[][3] = {
        {"C001", "1001", "Saldo antigo positivo"},
        {"C002", "1002", "Saldo antigo negativo"},
        {"C003", "1003", "Pontos antigos em parte gastos: só o resto caduca"},
        {"C004", "1004", "Sem movimentos"},
        {"C005", "1005", "Saldo antigo nulo e saldo actual negativo"},
        {"C006", "1006", "Mesmo cartão, primeiro cliente"},
        {"C007", "1006", "Mesmo cartão, segundo cliente"},
        {"O'Neil", "1008", "Cliente com apóstrofo"},
        {"C009", "10'09", "Cartão com apóstrofo"},
        {"C010", "1010", "Movimento no dia limite"},
        {"C011", "1011", "Movimento no dia seguinte ao limite"},
        {"C012", "1012", "Movimento com hora no dia limite"},
        {"C013", "1013", "Pontos fraccionários: 10,5"},
        {"C014", "1014", "Pontos fraccionários: 0,5"},
        {"C015", "1015", "Pontos fraccionários: 1,5"},
        {"C016", "1016", "Pontos fraccionários: 2,5"},
        {"C017", "1017", "Só movimentos recentes"},
        {"C018", "1018", "Movimentos de fornecedor, ignorados"},
        {"C019", "1019", "Saldo antigo já regularizado"},
        {"C020", "1020", "Cliente com vários anos"},
        {"C021", "1021", "Pontos antigos todos gastos: nada caduca"},
        {"C022", "1022", "Saldo actual negativo: reposto a zero"},
    };
    const Movement movements[] = {
        {"C001", "1001", "C", "+", "100", twoYears},
        {"C001", "1001", "C", "-", "30", twoYears},
        {"C002", "1002", "C", "+", "10", twoYears},
        {"C002", "1002", "C", "-", "30", twoYears},
        {"C003", "1003", "C", "+", "100", twoYears},
        {"C003", "1003", "C", "-", "80", lastMonth},
        {"C005", "1005", "C", "+", "50", twoYears},
        {"C005", "1005", "C", "-", "50", twoYears},
        {"C005", "1005", "C", "-", "40", lastMonth},
        {"C006", "1006", "C", "+", "30", twoYears},
        {"C007", "1006", "C", "-", "15", twoYears},
        {"O'Neil", "1008", "C", "+", "25", twoYears},
        {"C009", "10'09", "C", "+", "12", twoYears},
        {"C010", "1010", "C", "+", "40", onCutoff},
        {"C011", "1011", "C", "+", "60", afterCutoff},
        {"C012", "1012", "C", "+", "5", onCutoff},
        {"C012", "1012", "C", "+", "70", cutoffAfternoon},
        {"C013", "1013", "C", "+", "10.5", twoYears},
        {"C014", "1014", "C", "+", "0.5", twoYears},
        {"C015", "1015", "C", "+", "1.5", twoYears},
        {"C016", "1016", "C", "+", "2.5", twoYears},
        {"C017", "1017", "C", "+", "45", lastMonth},
        {"C018", "1018", "F", "+", "500", twoYears},
        {"C019", "1019", "C", "+", "80", twoYears},
        {"C019", "1019", "C", "-", "80", twoYears},
        {"C020", "1020", "C", "+", "200", day(today.addYears(-3))},
        {"C020", "1020", "C", "-", "50", twoYears},
        {"C020", "1020", "C", "+", "35", lastMonth},
        {"C021", "1021", "C", "+", "60", twoYears},
        {"C021", "1021", "C", "-", "60", lastMonth},
        {"C022", "1022", "C", "+", "50", twoYears},
        {"C022", "1022", "C", "-", "80", lastMonth},
    };

    ConnectionPtr connection = std::make_unique<DbConnection>();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection->name());
        db.setDatabaseName(path);
        if (!db.open()) {
            *error = DbConnection::sqliteOpenFailure(db.lastError(), path, true);
            return false;
        }
        if (!Schema::create(db, Schema::sqliteStatements(), error))
            return false;
        db.transaction();
        QSqlQuery card(db);
        card.prepare(QStringLiteral("insert into PontosCartoes (Cliente, NumCartao, Nome) "
                                    "values (?, ?, ?)"));
        for (const auto &c : cards) {
            card.addBindValue(QString::fromUtf8(c[0]));
            card.addBindValue(QString::fromUtf8(c[1]));
            card.addBindValue(QString::fromUtf8(c[2]));
            if (!card.exec()) {
                *error = DbConnection::describe(card.lastError());
                return false;
            }
        }
        QSqlQuery row(db);
        row.prepare(QStringLiteral(
            "insert into PontosHistorico (Terceiro, CliFor, NumCartao, Tipo, Numero, Data, "
            "Afecta, ValorIncid, Pontos, LancManual, Observa, Utilizador, DataSys) "
            "values (?, ?, ?, 'FT', '1', ?, ?, ?, ?, 0, 'Demonstração', '01', ?)"));
        for (const Movement &m : movements) {
            row.addBindValue(QString::fromUtf8(m.cliente));
            row.addBindValue(QString::fromUtf8(m.cliFor));
            row.addBindValue(QString::fromUtf8(m.numCartao));
            row.addBindValue(m.data);
            row.addBindValue(QString::fromUtf8(m.afecta));
            row.addBindValue(QString::fromUtf8(m.pontos));
            row.addBindValue(QString::fromUtf8(m.pontos));
            row.addBindValue(m.data.left(10) + QStringLiteral(" 12:00:00"));
            if (!row.exec()) {
                *error = DbConnection::describe(row.lastError());
                return false;
            }
        }
        if (!db.commit()) {
            *error = DbConnection::describe(db.lastError());
            return false;
        }
    }
    return true;
}

} // namespace DemoDatabase
