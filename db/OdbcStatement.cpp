// SPDX-License-Identifier: MIT
#include "db/OdbcStatement.h"

#include <QDate>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QSqlResult>

// On Windows the ODBC headers use the SDK's types without including them.
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <vector>

namespace {

SQLHANDLE odbcHandle(const QVariant &handle)
{
    if (handle.isValid() && handle.metaType() == QMetaType::fromType<SQLHANDLE>())
        return *static_cast<const SQLHANDLE *>(handle.constData());
    return nullptr;
}

// The values of one statement, bound by ODBC itself: the buffers and lengths that the driver
// reads when the statement runs.
class OdbcValues final : public Dialect::BoundValues
{
public:
    explicit OdbcValues(qsizetype count)
    {
        m_buffers.reserve(static_cast<std::size_t>(count));
        m_lengths.reserve(static_cast<std::size_t>(count));
    }
    // Binds `bytes`, kept here, as parameter `number`.
    SQLRETURN bind(SQLHANDLE statement, SQLUSMALLINT number, SQLSMALLINT cType, SQLSMALLINT sqlType,
                   SQLULEN columnSize, QByteArray bytes, bool null = false)
    {
        m_buffers.push_back(std::move(bytes));
        QByteArray &buffer = m_buffers.back();
        m_lengths.push_back(null ? SQL_NULL_DATA : SQLLEN(buffer.size()));
        return SQLBindParameter(statement, number, SQL_PARAM_INPUT, cType, sqlType, columnSize, 0,
                                buffer.data(), SQLLEN(buffer.size()), &m_lengths.back());
    }

private:
    std::vector<QByteArray> m_buffers;
    std::vector<SQLLEN> m_lengths;
};

template <typename T> QByteArray bytesOf(const T &value)
{
    return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
}

bool isAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0x7f)
            return false;
    }
    return true;
}

// The records that a handle of `type` keeps of its last failed call.
QList<OdbcStatement::Diagnostic> records(SQLSMALLINT type, SQLHANDLE handle)
{
    QList<OdbcStatement::Diagnostic> records;
    // SQLTCHAR is the driver manager's own width: 16-bit on Windows, where Unicode is defined,
    // 8-bit on unixODBC.
    SQLTCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT record = 1;
         handle &&
         SQL_SUCCEEDED(SQLGetDiagRec(type, handle, record, state, &native, nullptr, 0, &length));
         ++record) {
        OdbcStatement::Diagnostic diagnostic;
        for (int i = 0; i < SQL_SQLSTATE_SIZE && state[i] != 0; ++i)
            diagnostic.state.append(static_cast<char>(state[i]));
        diagnostic.native = native;
        std::vector<SQLTCHAR> text(std::size_t(length) + 1);
        if (SQL_SUCCEEDED(SQLGetDiagRec(type, handle, record, state, &native, text.data(),
                                        SQLSMALLINT(text.size()), &length))) {
            length = qMin<SQLSMALLINT>(length, SQLSMALLINT(text.size() - 1));
            if constexpr (sizeof(SQLTCHAR) == sizeof(char16_t))
                diagnostic.message =
                    QString::fromUtf16(reinterpret_cast<const char16_t *>(text.data()), length);
            else
                diagnostic.message =
                    QString::fromUtf8(reinterpret_cast<const char *>(text.data()), length);
        }
        records.append(diagnostic);
    }
    return records;
}

SQLHANDLE connectionHandle(const QSqlDatabase &database)
{
    return database.isOpen() && database.driver() ? odbcHandle(database.driver()->handle())
                                                  : nullptr;
}

} // namespace

OdbcStatement::OdbcStatement(const QSqlQuery &query)
    : m_handle(query.result() ? odbcHandle(query.result()->handle()) : nullptr)
{
}

void OdbcStatement::setTimeout(int seconds) const
{
    if (!m_handle)
        return;
    // ODBC passes an integer attribute in the pointer argument.
    const auto value = static_cast<SQLULEN>(seconds);
    SQLSetStmtAttr(m_handle, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(value), // NOLINT(performance-no-int-to-ptr)
                   0);
}

bool OdbcStatement::bind(const QVariantList &values, std::unique_ptr<Dialect::BoundValues> *storage,
                         QString *error) const
{
    auto bound = std::make_unique<OdbcValues>(values.size());
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QVariant &value = values.at(i);
        const auto number = static_cast<SQLUSMALLINT>(i + 1);
        SQLRETURN r = SQL_ERROR;
        if (value.isNull()) {
            r = bound->bind(m_handle, number, SQL_C_CHAR, SQL_VARCHAR, 1, QByteArray(1, '\0'),
                            true);
        } else if (value.typeId() == QMetaType::QString) {
            const QString text = value.toString();
            const auto units = static_cast<SQLULEN>(qMax<qsizetype>(text.size(), 1));
            if (isAscii(text)) {
                r = bound->bind(m_handle, number, SQL_C_CHAR, SQL_VARCHAR, units, text.toLatin1());
            } else {
                r = bound->bind(
                    m_handle, number, SQL_C_WCHAR, SQL_WVARCHAR, units,
                    QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2));
            }
        } else if (value.typeId() == QMetaType::QDate) {
            const QDate d = value.toDate();
            DATE_STRUCT date{SQLSMALLINT(d.year()), SQLUSMALLINT(d.month()), SQLUSMALLINT(d.day())};
            r = bound->bind(m_handle, number, SQL_C_DATE, SQL_DATE, 10, bytesOf(date));
        } else if (value.typeId() == QMetaType::QDateTime) {
            const QDateTime m = value.toDateTime();
            TIMESTAMP_STRUCT moment{SQLSMALLINT(m.date().year()),
                                    SQLUSMALLINT(m.date().month()),
                                    SQLUSMALLINT(m.date().day()),
                                    SQLUSMALLINT(m.time().hour()),
                                    SQLUSMALLINT(m.time().minute()),
                                    SQLUSMALLINT(m.time().second()),
                                    0};
            r = bound->bind(m_handle, number, SQL_C_TIMESTAMP, SQL_TIMESTAMP, 19, bytesOf(moment));
        } else if (value.typeId() == QMetaType::Int) {
            r = bound->bind(m_handle, number, SQL_C_SLONG, SQL_INTEGER, 0,
                            bytesOf(SQLINTEGER(value.toInt())));
        } else if (value.typeId() == QMetaType::LongLong) {
            r = bound->bind(m_handle, number, SQL_C_SBIGINT, SQL_BIGINT, 0,
                            bytesOf(SQLBIGINT(value.toLongLong())));
        } else {
            *error = QStringLiteral("valor de tipo %1 sem ligação ODBC")
                         .arg(QString::fromLatin1(value.typeName()));
            return false;
        }
        if (!SQL_SUCCEEDED(r)) {
            *error = QStringLiteral("o controlador ODBC recusou o valor %1").arg(i + 1);
            return false;
        }
    }
    *storage = std::move(bound);
    return true;
}

QList<OdbcStatement::Diagnostic> OdbcStatement::diagnostics() const
{
    return records(SQL_HANDLE_STMT, m_handle);
}

bool OdbcStatement::timedOutOrDisconnected() const
{
    const QList<Diagnostic> failures = diagnostics();
    return std::any_of(failures.cbegin(), failures.cend(), [](const Diagnostic &record) {
        return record.state == "S1T00" || record.state == "HYT00" || record.state == "HYT01" ||
               record.state.startsWith("08");
    });
}

QList<OdbcStatement::Diagnostic> OdbcStatement::connectionDiagnostics(const QSqlDatabase &database)
{
    return records(SQL_HANDLE_DBC, connectionHandle(database));
}

bool OdbcStatement::connectionDead(const QSqlDatabase &database)
{
    SQLHANDLE connection = connectionHandle(database);
    SQLUINTEGER dead = SQL_CD_FALSE;
    return connection &&
           SQL_SUCCEEDED(
               SQLGetConnectAttr(connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
           dead == SQL_CD_TRUE;
}
