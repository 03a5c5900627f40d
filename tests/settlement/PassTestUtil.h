// SPDX-License-Identifier: MIT
#pragma once

#include "db/Currency.h"
#include "settlement/SettlementPass.h"
#include "support/RecordingHost.h"
#include "support/TestDatabase.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

// RecordingHost's clock stands at 06-12-2026 10:00:00.
inline const QString kToday = u"2026-12-06"_s;
inline const QString kCutoff = u"2025-12-06"_s;
inline const QString kStamp = u"06-12-2026 10:00:00"_s;

inline PassOutcome runPass(const TestDatabase &db, RecordingHost &host, PassOptions options = {})
{
    ConnectionSettings settings = db.settings();
    options.connection = db.connectionOptions();
    return SettlementPass(settings, host, host.manualClock, options).run();
}

/// A `strategy` column with a row for each walk, for the cases that must hold for both.
inline void addStrategyRows()
{
    QTest::addColumn<BalanceStrategy>("strategy");
    QTest::newRow("per card") << BalanceStrategy::PerCard;
    QTest::newRow("set-based") << BalanceStrategy::SetBased;
}

inline QString cardLine(const QString &numCartao, const QString &cutoff = kCutoff)
{
    return u"    Cartão nº "_s + numCartao + u" saldado até ao dia "_s + cutoff;
}

inline QString amountText(const QVariant &value)
{
    Currency amount;
    QString error;
    return Currency::fromVariant(value, &amount, &error) ? amount.toText() : error;
}

/// One column of the rows the program posted, in the order posted.
inline QStringList posted(const TestDatabase &db, const QString &column)
{
    QStringList out;
    for (const QVariantMap &row : db.postedRows())
        out << row.value(column).toString();
    return out;
}

/// Each row the program posted as "Afecta Pontos Data Observa".
inline QStringList postedSummaries(const TestDatabase &db)
{
    QStringList out;
    for (const QVariantMap &row : db.postedRows()) {
        out << QStringList{row.value(u"Afecta"_s).toString(), amountText(row.value(u"Pontos"_s)),
                           row.value(u"Data"_s).toString(), row.value(u"Observa"_s).toString()}
                   .join(u' ');
    }
    return out;
}

/// The connection of the pass that is running now.
inline QSqlDatabase passConnection()
{
    for (const QString &name : QSqlDatabase::connectionNames()) {
        if (name.startsWith(u"velmora-"_s))
            return QSqlDatabase::database(name, false);
    }
    return {};
}

/// Makes the history unusable from inside the running pass's own transaction, which rolls
/// it back.
inline bool breakHistoryOnPassConnection()
{
    QSqlQuery query(passConnection());
    query.setForwardOnly(true);
    return query.exec(TestDatabase::breakHistoryOnOwnConnectionSql());
}

/// Ends the running pass's session under it, as a lost network or a server restart would.
inline void cutPassConnection()
{
    TestDatabase::endSession(passConnection());
}

/// For one test: `action` runs once, just before the first statement of a pass that `matches`.
class BeforeStatement
{
public:
    /// Called for every statement; at a commit, `query` is null.
    using Match = std::function<bool(const QSqlQuery *query, const QVariantList &values)>;
    BeforeStatement(Match matches, std::function<void()> action)
    {
        DbConnection::setStatementObserver(
            [matches = std::move(matches), action = std::move(action),
             done = false](const QSqlQuery *query, const QVariantList &values) mutable {
                if (!done && matches(query, values)) {
                    done = true;
                    action();
                }
            });
    }
    ~BeforeStatement() { DbConnection::setStatementObserver({}); }
    BeforeStatement(const BeforeStatement &) = delete;
    BeforeStatement &operator=(const BeforeStatement &) = delete;
};

/// Whether `query`, run with `values`, posts a row for the customer `terceiro`; with `lift`,
/// its lift.
inline bool postsFor(const QSqlQuery *query, const QVariantList &values, const QString &terceiro,
                     bool lift = false)
{
    return query && query->lastQuery().startsWith(u"insert into PontosHistorico"_s) &&
           values.value(0).toString() == terceiro &&
           (!lift || values.value(10).toString().endsWith(u"era negativo"_s));
}

/// Whether `query`, run with `values`, reads a sum of the customer `terceiro`'s card.
inline bool readsFor(const QSqlQuery *query, const QVariantList &values, const QString &terceiro)
{
    return query && query->lastQuery().contains(u"sum(Pontos)"_s) &&
           values.value(0).toString() == terceiro;
}

/// A match for the `n`-th commit of a pass (1 for the first).
inline BeforeStatement::Match nthCommit(int n)
{
    return [n, commits = 0](const QSqlQuery *query, const QVariantList &) mutable {
        return !query && ++commits == n;
    };
}
