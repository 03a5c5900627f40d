// SPDX-License-Identifier: MIT
#include "db/ConnectionString.h"

#include <QUrl>
#include <QUrlQuery>

namespace ConnectionString {

QString odbcDriver()
{
    const QString fromEnv = qEnvironmentVariable("VELMORA_ODBC_DRIVER");
    if (!fromEnv.isEmpty())
        return fromEnv;
#ifdef Q_OS_WIN
    return QStringLiteral("SQL Server");
#else
    return QStringLiteral("FreeTDS");
#endif
}

bool isFreeTds(const QString &driver)
{
    return driver.contains(QLatin1String("tds"), Qt::CaseInsensitive);
}

QString quoteValue(const QString &value, const QString &driver, bool *ok)
{
    *ok = true;
    if (value.contains(QChar(0))) {
        *ok = false;
        return {};
    }
    const bool needsBraces = value.contains(QLatin1Char(';')) || value.contains(QLatin1Char('=')) ||
                             value.contains(QLatin1Char('{')) || value.contains(QLatin1Char('}')) ||
                             value.startsWith(QLatin1Char(' ')) || value.endsWith(QLatin1Char(' '));
    if (!needsBraces)
        return value;
    if (isFreeTds(driver)) {
        // FreeTDS reads a braced value up to the first "};" and keeps "}}" as it stands, so
        // only a value that holds "};" has no quoted form.
        if (value.contains(QLatin1String("};"))) {
            *ok = false;
            return {};
        }
        return QLatin1Char('{') + value + QLatin1Char('}');
    }
    QString escaped = value;
    escaped.replace(QLatin1Char('}'), QLatin1String("}}"));
    return QLatin1Char('{') + escaped + QLatin1Char('}');
}

namespace {

// "host,port" is how SQL Server users name a port; FreeTDS wants it as its own keyword.
void splitServer(const QString &server, QString *host, QString *port)
{
    const qsizetype comma = server.lastIndexOf(QLatin1Char(','));
    if (comma > 0) {
        bool numeric = false;
        server.mid(comma + 1).trimmed().toUInt(&numeric);
        if (numeric) {
            *host = server.left(comma);
            *port = server.mid(comma + 1).trimmed();
            return;
        }
    }
    *host = server;
    port->clear();
}

ConnectionTarget odbc(const QString &mode, const QString &server, const QString &database,
                      const QString &login, const QString &password, const Timeouts &timeouts,
                      const QString &driver)
{
    ConnectionTarget target;
    target.backend = ConnectionTarget::Backend::Odbc;
    target.driverName = QStringLiteral("QODBC");
    target.connectOptions = QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(timeouts.loginSeconds);
    const bool sqlLogin = mode == QLatin1String("SQL");
    const bool integrated = mode == QLatin1String("WIN");
    if (!sqlLogin && !integrated)
        return target; // an empty connection string: the open fails with the driver's words

    QString text;
    auto add = [&](const char *keyword, const QString &value, const char *what) {
        bool ok = false;
        const QString quoted = quoteValue(value, driver, &ok);
        if (!ok && target.refusal.isEmpty()) {
            target.refusal = QStringLiteral("o valor de %1 contém caracteres que o controlador "
                                            "ODBC %2 não aceita")
                                 .arg(QLatin1String(what), driver);
        }
        text += QLatin1String(keyword) + QLatin1Char('=') + quoted + QLatin1Char(';');
    };
    QString host;
    QString port;
    splitServer(server, &host, &port);
    add("Driver", driver, "Driver");
    add("Server", host, "Servidor");
    if (!port.isEmpty())
        add("Port", port, "Servidor");
    add("Database", database, "Base de Dados");
    if (sqlLogin) {
        add("UID", login, "Utilizador");
        add("PWD", password, "Password");
    } else {
        text += QLatin1String("Trusted_Connection=Yes;");
    }
    if (isFreeTds(driver)) {
        text += QLatin1String("ClientCharset=UTF-8;");
        text += QStringLiteral("Timeout=%1;").arg(timeouts.commandSeconds);
    }
    if (target.refusal.isEmpty())
        target.databaseName = text;
    return target;
}

ConnectionTarget sqlite(const QString &file, const Timeouts &timeouts, bool readOnly)
{
    ConnectionTarget target;
    target.backend = ConnectionTarget::Backend::Sqlite;
    target.driverName = QStringLiteral("QSQLITE");
    // A URI with mode=rw (or ro) opens an existing file only: a mistyped path must fail, not
    // leave an empty database behind.
    QUrl url = QUrl::fromLocalFile(file);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("mode"),
                       readOnly ? QStringLiteral("ro") : QStringLiteral("rw"));
    url.setQuery(query);
    target.databaseName = url.toString(QUrl::FullyEncoded);
    target.connectOptions = QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1")
                                .arg(timeouts.commandSeconds * 1000);
    if (readOnly)
        target.connectOptions += QLatin1String(";QSQLITE_OPEN_READONLY");
    return target;
}

} // namespace

ConnectionTarget build(const QString &mode, const QString &server, const QString &database,
                       const QString &login, const QString &password, const Timeouts &timeouts,
                       bool readOnly, const QString &driver)
{
    if (mode == QLatin1String("SQLITE"))
        return sqlite(server, timeouts, readOnly);
    return odbc(mode, server, database, login, password, timeouts, driver);
}

QString masked(const QString &connectionString)
{
    QString out;
    qsizetype i = 0;
    while (i < connectionString.size()) {
        qsizetype eq = connectionString.indexOf(QLatin1Char('='), i);
        if (eq < 0) {
            out += connectionString.mid(i);
            break;
        }
        const QString key = connectionString.mid(i, eq - i);
        qsizetype end = 0;
        if (eq + 1 < connectionString.size() && connectionString.at(eq + 1) == QLatin1Char('{')) {
            end = connectionString.indexOf(QLatin1String("};"), eq + 1);
            end = end < 0 ? connectionString.size() : end + 1;
        } else {
            end = connectionString.indexOf(QLatin1Char(';'), eq + 1);
            if (end < 0)
                end = connectionString.size();
        }
        const bool secret = key.trimmed().compare(QLatin1String("PWD"), Qt::CaseInsensitive) == 0;
        out += key + QLatin1Char('=') +
               (secret ? QStringLiteral("***") : connectionString.mid(eq + 1, end - eq - 1));
        if (end < connectionString.size())
            out += QLatin1Char(';');
        i = end + 1;
    }
    return out;
}

} // namespace ConnectionString
