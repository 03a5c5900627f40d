// SPDX-License-Identifier: MIT
#include "settlement/ClockCheck.h"

#include "db/ConnectionSettings.h"
#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "settlement/Clock.h"
#include "settlement/PassReport.h"
#include "settlement/PassRun.h"

#include <QSqlQuery>

namespace ClockCheck {

namespace {

// A value of the history as a moment: a date-time from ODBC, ISO text from SQLite.
QDateTime momentOf(const QVariant &value)
{
    if (value.isNull())
        return {};
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime();
    if (value.typeId() == QMetaType::QDate)
        return value.toDate().startOfDay();
    const QString text = value.toString().trimmed();
    QDateTime moment = QDateTime::fromString(text, Qt::ISODate);
    if (!moment.isValid())
        moment = QDateTime::fromString(text.left(19), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!moment.isValid())
        moment = QDate::fromString(text.left(10), Qt::ISODate).startOfDay();
    return moment;
}

struct Adjustment
{
    qint64 id = 0;
    QDate data; ///< invalid when there is none
    QDateTime dataSys;
};

// The latest Data of the rows like `pattern`, read whole, where the history has no Id.
Adjustment latest(const DbConnection &connection, const QString &pattern, const QString &failure)
{
    QVariant value;
    QString error;
    QSqlQuery query;
    if (!connection.prepare(query, connection.dialect().latestNoteDateSql(), &error) ||
        !connection.readOneValue(query, {pattern}, failure, &value, &error))
        PassRun::fail(error.isEmpty() ? failure : error);
    Adjustment row;
    row.data = momentOf(value).date();
    return row;
}

Adjustment newest(const DbConnection &connection, const QString &pattern)
{
    QSqlQuery query;
    QString error;
    if (!connection.prepare(query, connection.dialect().newestNoteSql(), &error) ||
        !connection.exec(query, {pattern}, &error)) {
        PassRun::failIfLost(connection);
        return latest(connection, pattern, error);
    }
    Adjustment row;
    if (connection.next(query, &error)) {
        row.id = query.value(0).toLongLong();
        row.data = momentOf(query.value(1)).date();
        row.dataSys = momentOf(query.value(2));
    }
    if (!error.isEmpty() || !connection.finish(query, &error))
        PassRun::fail(error);
    return row;
}

QString day(const QDate &date)
{
    return date.toString(QStringLiteral("dd-MM-yyyy"));
}

[[noreturn]] void failBehind(const DbConnection &connection, const QDateTime &now,
                             const Adjustment &row, const QDate &resumes)
{
    const QString posted = row.dataSys.isValid()
                               ? QStringLiteral(", gravado a ") + PassReport::timestamp(row.dataSys)
                               : QString();
    const QString id = row.id > 0 ? QStringLiteral("Id %1, ").arg(row.id) : QString();
    PassRun::fail(QStringLiteral("a base de dados %1 já tem um ajuste automático de uma "
                                 "verificação mais adiantada do que esta (%2): %3datado de "
                                 "%4%5. O relógio está atrasado em relação ao dessa verificação; "
                                 "nada foi gravado, e as verificações retomam quando a data "
                                 "chegar a %6.")
                      .arg(connection.databaseName(), PassReport::timestamp(now), id, day(row.data),
                           posted, day(resumes)));
}

} // namespace

void followServer(PassClock &clock, const DbConnection &connection,
                  const ConnectionOptions &options)
{
    clock.setOffsetMs(0);
    const QString sql = connection.dialect().serverTimeSql();
    if (sql.isEmpty() || options.machineClock())
        return;
    const QDateTime before = clock.machine().now();
    QVariant value;
    QString error;
    if (!connection.readOneValue(sql, QStringLiteral("o servidor não deu a sua hora"), &value,
                                 &error))
        PassRun::fail(error);
    const QDateTime after = clock.machine().now();
    const QDateTime server = momentOf(value);
    if (!server.isValid())
        PassRun::fail(
            QStringLiteral("o servidor deu uma hora que não se lê: %1").arg(value.toString()));
    // The server read its clock somewhere between the two readings of the machine's.
    const QDateTime read = before.addMSecs(before.msecsTo(after) / 2);
    clock.setOffsetMs(read.msecsTo(QDateTime(server.date(), server.time(), read.timeSpec())));
}

void failIfBehind(const DbConnection &connection, const QDateTime &now, const QDate &cutoff)
{
    const QDate today = now.date();
    const Adjustment lift = newest(connection, PassReport::negativeBalanceNotePattern());
    if (lift.data.isValid() && lift.data > today)
        failBehind(connection, now, lift, lift.data);
    const Adjustment lapse = newest(connection, PassReport::oldBalanceNotePattern());
    if (lapse.data.isValid() && lapse.data > cutoff)
        failBehind(connection, now, lapse, lapse.data.addYears(1));
}

} // namespace ClockCheck
