// SPDX-License-Identifier: MIT
#include "settlement/PassRun.h"

#include "db/Dialect.h"
#include "settlement/CardBalance.h"
#include "settlement/Clock.h"
#include "settlement/ClockCheck.h"
#include "settlement/PassHost.h"
#include "settlement/PassLock.h"
#include "settlement/PassReport.h"

#include <exception>

void PassRun::fail(const QString &description)
{
    throw Failure{description};
}

void PassRun::failIfLost(const DbConnection &connection)
{
    if (connection.isLost())
        fail(connection.lostReason());
}

qint64 PassRun::countCards(const DbConnection &connection)
{
    QString error;
    QVariant total;
    if (!connection.readOneValue(
            connection.dialect().cardCountSql(),
            QStringLiteral("a contagem dos cartões não devolveu nenhuma linha"), &total, &error))
        fail(error);
    return total.toLongLong();
}

void PassRun::failUnlessTheCardsOwn(CardBalance &balance, const DbConnection &connection,
                                    QStringView cliente, QStringView numCartao,
                                    const QString &error)
{
    failIfLost(connection);
    // The card's own movements, or the statement whatever the card (a table gone, a right
    // withdrawn): only the first is a failure of this card alone.
    QString whatever;
    if (balance.readsWithoutMovements(cliente, numCartao, &whatever))
        return;
    failIfLost(connection);
    fail(error);
}

PassRun::PassRun(const ConnectionSettings &settings, const ConnectionOptions &options,
                 PassHost &host, PassClock &clock)
    : m_settings(settings), m_options(options), m_host(host), m_clock(clock)
{
}

PassOutcome PassRun::run(ConnectionPtr &connection, std::unique_ptr<PassLock> &lock,
                         const Steps &steps) const
{
    QString description;
    m_clock.setOffsetMs(0);
    try {
        if (!LigarServidor(connection, m_settings, m_options, m_host))
            return PassOutcome::NoConnection;
        ClockCheck::followServer(m_clock, *connection, m_options);
        if (!steps.lock)
            return steps.body();
        // Before anything is read: two passes that read a card's balance before either posts
        // would both post its adjustment, and a forecast would count a pass's rows twice, or
        // not at all.
        lock = std::make_unique<PassLock>(*connection);
        QString lockError;
        switch (lock->tryLock(&lockError)) {
        case PassLock::Result::Taken:
            break;
        case PassLock::Result::Busy:
            steps.release();
            m_host.append(PassReport::putOffLine(m_clock.now()));
            m_host.caretToEnd();
            m_host.refresh();
            return PassOutcome::Busy;
        case PassLock::Result::Failed:
            fail(lockError);
        }
        return steps.body();
    } catch (const Failure &failure) {
        description = failure.description;
    } catch (const std::exception &e) {
        description = PassReport::describe(e);
    }
    (steps.failing ? steps.failing : steps.release)();
    m_host.append(PassReport::failureLine(m_clock.now(), description));
    m_host.caretToEnd();
    return PassOutcome::Failed;
}
