// SPDX-License-Identifier: MIT
#include "bench/Generator.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "db/Schema.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>
#include <functional>
#include <vector>

namespace Generator {

namespace {

struct Row
{
    quint32 card;
    quint16 day; ///< days after the first day of the three years
    char afecta;
    char cliFor;
    qint32 tenths; ///< points times ten: a few movements carry half points
};

QString cliente(qint64 card)
{
    return QStringLiteral("C%1").arg(card, 7, 10, QLatin1Char('0'));
}

QString points(qint32 tenths)
{
    return tenths % 10 == 0 ? QString::number(tenths / 10)
                            : QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10);
}

qint32 amount(QRandomGenerator &rng)
{
    qint32 tenths = (1 + static_cast<qint32>(rng.bounded(200))) * 10;
    if (rng.bounded(8) == 0)
        tenths += 5;
    return tenths;
}

// Whole points, halves to even, of a balance in tenths: only the sign of the result matters.
bool roundsToZero(qint64 tenths)
{
    return tenths >= -5 && tenths <= 5;
}

class CardMaker
{
public:
    CardMaker(QRandomGenerator &rng, int rowsPerCard, int span, int cutoffDay, int settleShare)
        : m_rng(rng), m_rowsPerCard(rowsPerCard), m_span(span), m_cutoffDay(cutoffDay),
          m_settleShare(settleShare)
    {
    }

    /// Appends the card's movements to `rows`; true when its old balance needs settling.
    bool make(quint32 card, std::vector<Row> &rows)
    {
        const int count = m_rowsPerCard / 2 + static_cast<int>(m_rng.bounded(m_rowsPerCard + 1));
        // One in ten draws as it always has, so that a seed keeps giving the same scheme.
        const bool settle = m_settleShare == 10
                                ? m_rng.bounded(10) == 0
                                : static_cast<int>(m_rng.bounded(100)) < m_settleShare;
        const bool goesNegative = settle && m_rng.bounded(3) == 0;
        std::vector<int> days;
        for (int i = 0; i < std::max(count, 2); ++i)
            days.push_back(static_cast<int>(m_rng.bounded(m_span)));
        // A card to settle needs an old movement, and one that goes negative a recent one.
        if (settle)
            days.front() = static_cast<int>(m_rng.bounded(m_cutoffDay + 1));
        if (goesNegative)
            days.back() =
                m_cutoffDay + 1 + static_cast<int>(m_rng.bounded(m_span - m_cutoffDay - 1));
        std::sort(days.begin(), days.end());

        const auto firstRecent = std::upper_bound(days.begin(), days.end(), m_cutoffDay);
        const std::size_t oldCount = static_cast<std::size_t>(firstRecent - days.begin());
        qint64 oldTenths = 0;
        for (std::size_t i = 0; i < days.size(); ++i) {
            Row row{card, static_cast<quint16>(days[i]), '+', 'C', amount(m_rng)};
            const bool old = i < oldCount;
            if (old && i + 1 == oldCount) {
                // The last old movement decides the old balance: zero for most cards.
                qint64 target = 0;
                if (settle) {
                    target = (1 + static_cast<qint64>(m_rng.bounded(300))) * 10;
                    if (m_rng.bounded(5) == 0)
                        target = -target;
                }
                const qint64 needed = target - oldTenths;
                if (needed == 0) {
                    // Nothing to add: a supplier's movement, which no balance counts.
                    row.cliFor = 'F';
                } else {
                    row.afecta = needed > 0 ? '+' : '-';
                    row.tenths = static_cast<qint32>(needed > 0 ? needed : -needed);
                }
            } else if (m_rng.bounded(5) < (old ? 2 : (goesNegative ? 5 : 1))) {
                row.afecta = '-';
            }
            if (old && row.cliFor == 'C')
                oldTenths += row.afecta == '+' ? row.tenths : -row.tenths;
            rows.push_back(row);
        }
        return !roundsToZero(oldTenths);
    }

private:
    QRandomGenerator &m_rng;
    int m_rowsPerCard;
    int m_span;
    int m_cutoffDay;
    int m_settleShare;
};

bool exec(QSqlQuery &query, QString *error)
{
    if (query.exec())
        return true;
    *error = DbConnection::describe(query.lastError());
    return false;
}

/// Everything generated, before it is written anywhere.
struct Data
{
    QDate first; ///< the day that Row::day counts from
    std::vector<quint64> numbers;
    std::vector<Row> rows;
};

void generate(const Shape &shape, const QDate &today, Data &data, Summary *summary)
{
    const QDate first = today.addYears(-3).addDays(1);
    const int span = static_cast<int>(first.daysTo(today)) + 1;
    const int cutoffDay = static_cast<int>(first.daysTo(today.addYears(-1)));
    data.first = first;

    QRandomGenerator rng(shape.seed);
    CardMaker maker(rng, std::max(shape.rowsPerCard, 0), span, cutoffDay, shape.settleShare);
    // Card numbers are thirteen digits in an order unrelated to the customers'; about one in
    // two hundred is shared with the customer before, as happens when a card changes hands.
    std::vector<quint64> &numbers = data.numbers;
    std::vector<Row> &rows = data.rows;
    numbers.reserve(static_cast<std::size_t>(shape.cards));
    rows.reserve(static_cast<std::size_t>(shape.cards) *
                 static_cast<std::size_t>(std::max(shape.rowsPerCard, 2)));
    *summary = {};
    const quint64 offset = rng.generate64() % 1000000000000ULL;
    for (qint64 i = 0; i < shape.cards; ++i) {
        const bool shared = i > 0 && rng.bounded(200) == 0;
        numbers.push_back(shared ? numbers.back()
                                 : 2600000000000ULL +
                                       (static_cast<quint64>(i) * 982451653ULL + offset) %
                                           1000000000000ULL);
        if (maker.make(static_cast<quint32>(i), rows))
            ++summary->cardsToSettle;
    }
    // History grows day by day over all cards, so a card's rows lie scattered over the table.
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return a.day < b.day; });
    summary->cards = shape.cards;
    summary->rows = static_cast<qint64>(rows.size());
}

// Splits the scheme's statements: the tables first, the indexes once the rows are in.
void splitSchema(const QStringList &statements, QStringList *tables, QStringList *indexes)
{
    for (const QString &statement : statements)
        (statement.startsWith(QLatin1String("create index")) ? *indexes : *tables) << statement;
}

// Inserts `count` rows, several a statement, in one transaction: one row a round trip would
// take minutes on a server. About a hundred parameters a statement was fastest on the T-SQL
// test server, which parses each statement afresh; a statement takes at most 2100 on SQL
// Server, and SQLite at least 999.
bool bulk(const DbConnection &connection, const QString &head, const QString &one, int perRow,
          qint64 count, const std::function<void(QSqlQuery &, qint64, int)> &bind, QString *error)
{
    const qint64 perStatement = std::max(1, 100 / perRow);
    const auto statementFor = [&](qint64 rows) {
        QString sql = head;
        for (qint64 i = 0; i < rows; ++i)
            sql += (i ? QStringLiteral(",") : QString()) + one;
        return sql;
    };
    QSqlDatabase db = connection.database();
    if (!db.transaction()) {
        *error = DbConnection::describe(db.lastError());
        return false;
    }
    QSqlQuery statement;
    qint64 prepared = 0;
    for (qint64 done = 0; done < count;) {
        const qint64 rows = std::min(perStatement, count - done);
        if (rows != prepared) {
            if (!connection.prepare(statement, statementFor(rows), error))
                return false;
            prepared = rows;
        }
        int at = 0;
        for (qint64 i = done; i < done + rows; ++i, at += perRow)
            bind(statement, i, at);
        if (!exec(statement, error))
            return false;
        done += rows;
    }
    if (!db.commit()) {
        *error = DbConnection::describe(db.lastError());
        return false;
    }
    return true;
}

// The cards and their history, through the connection's own date values.
bool fill(const DbConnection &connection, const Data &data, QString *error)
{
    const Dialect &dialect = connection.dialect();
    const auto cards = static_cast<qint64>(data.numbers.size());
    return bulk(
               connection,
               QStringLiteral("insert into PontosCartoes (Cliente, NumCartao, Nome) values "),
               QStringLiteral("(?, ?, 'Cliente de ensaio')"), 2, cards,
               [&](QSqlQuery &q, qint64 i, int at) {
                   q.bindValue(at, cliente(i));
                   q.bindValue(at + 1, QString::number(data.numbers[static_cast<std::size_t>(i)]));
               },
               error) &&
           bulk(
               connection,
               QStringLiteral("insert into PontosHistorico (Terceiro, CliFor, NumCartao, Tipo, "
                              "Numero, Data, Afecta, ValorIncid, Pontos, LancManual, Observa, "
                              "Utilizador, DataSys) values "),
               QStringLiteral("(?, ?, ?, 'FT', ?, ?, ?, ?, ?, 0, 'Movimento de ensaio', '01', ?)"),
               9, static_cast<qint64>(data.rows.size()),
               [&](QSqlQuery &q, qint64 i, int at) {
                   const Row &r = data.rows[static_cast<std::size_t>(i)];
                   const QString pontos = points(r.tenths);
                   const QDate day = data.first.addDays(r.day);
                   q.bindValue(at, cliente(r.card));
                   q.bindValue(at + 1, QString(QLatin1Char(r.cliFor)));
                   q.bindValue(at + 2, QString::number(data.numbers[r.card]));
                   q.bindValue(at + 3, QString::number(i + 1));
                   q.bindValue(at + 4, dialect.dateValue(day));
                   q.bindValue(at + 5, QString(QLatin1Char(r.afecta)));
                   q.bindValue(at + 6, pontos);
                   q.bindValue(at + 7, pontos);
                   q.bindValue(at + 8, dialect.dateTimeValue(QDateTime(day, QTime(12, 0))));
               },
               error);
}

} // namespace

bool create(const QString &path, const Shape &shape, const QDate &today, Summary *summary,
            QString *error)
{
    if (QFileInfo::exists(path)) {
        *error = QStringLiteral("%1 already exists").arg(path);
        return false;
    }
    Data data;
    generate(shape, today, data, summary);

    DbConnection connection;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection.name());
    db.setDatabaseName(path);
    if (!db.open()) {
        *error = DbConnection::describe(db.lastError());
        return false;
    }
    QStringList tables;
    QStringList indexes;
    splitSchema(Schema::sqliteStatements(), &tables, &indexes);
    // Building the file is not what is measured: no journal, no syncing, indexes at the end.
    const QStringList pragmas{QStringLiteral("pragma journal_mode=off"),
                              QStringLiteral("pragma synchronous=off")};
    if (!Schema::create(db, pragmas + tables, error) || !fill(connection, data, error) ||
        !Schema::create(db, indexes, error))
        return false;
    db.close();
    return true;
}

bool execOnFile(const QString &path, const QString &statement, QString *error)
{
    DbConnection connection;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection.name());
    db.setDatabaseName(path);
    if (!db.open()) {
        *error = DbConnection::describe(db.lastError());
        return false;
    }
    const bool ok = Schema::create(db, {statement}, error);
    db.close();
    return ok;
}

bool dropOnServer(const DbConnection &connection, QString *error)
{
    return Schema::create(connection.database(), Schema::sqlServerDropStatements(), error);
}

bool createOnServer(const DbConnection &connection, const Shape &shape, const QDate &today,
                    Summary *summary, QString *error)
{
    Data data;
    generate(shape, today, data, summary);
    QStringList tables;
    QStringList indexes;
    splitSchema(Schema::sqlServerStatements(), &tables, &indexes);
    const QSqlDatabase db = connection.database();
    return dropOnServer(connection, error) && Schema::create(db, tables, error) &&
           fill(connection, data, error) && Schema::create(db, indexes, error);
}

} // namespace Generator
