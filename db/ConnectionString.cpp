// SPDX-License-Identifier: MIT
#include "db/ConnectionString.h"

#include <QDir>
#include <QUrl>
#include <QUrlQuery>

namespace ConnectionString {

QString odbcDriver()
{
    QString fromEnv = qEnvironmentVariable("VELMORA_ODBC_DRIVER");
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

// "host,port" is how SQL Server users name a port; FreeTDS wants it as its own keyword. A bare
// host is a default instance, on 1433: with its protocol version pinned, FreeTDS would
// otherwise try port 0. A named instance ("host\\INSTANCE") gets no port, so that FreeTDS asks
// the SQL Server Browser on the host for it.
void splitServer(const QString &server, QString *host, QString *port)
{
    *host = server;
    port->clear();
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
    if (!server.contains(QLatin1Char('\\')))
        *port = QStringLiteral("1433");
}

ConnectionTarget odbc(const QString &mode, const QString &server, const QString &database,
                      const QString &login, const QString &password, const Timeouts &timeouts,
                      const QString &driver)
{
    ConnectionTarget target;
    target.backend = ConnectionTarget::Backend::Odbc;
    target.driverName = QStringLiteral("QODBC");
    // The connection's own timeout bounds what no statement carries, the commit above all, on
    // the drivers that honour it (Microsoft's); FreeTDS bounds it with Timeout= below.
    target.connectOptions =
        QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2")
            .arg(timeouts.loginSeconds)
            .arg(timeouts.commandSeconds);
    const bool sqlLogin = mode == QLatin1String("SQL");
    const bool integrated = mode == QLatin1String("WIN");
    if (!sqlLogin && !integrated)
        return target; // an empty connection string: the open fails with the driver's words

    QString text;
    auto add = [&](const char *keyword, const QString &value, const char *what) {
        bool ok = false;
        const QString quoted = quoteValue(value, driver, &ok);
        if (target.refusal.isEmpty()) {
            if (!ok) {
                target.refusal = QStringLiteral("o valor de %1 contém caracteres que o "
                                                "controlador ODBC %2 não aceita")
                                     .arg(QLatin1String(what), driver);
            } else if (value.contains(QLatin1String(".dsn"), Qt::CaseInsensitive)) {
                // Qt's ODBC driver takes any connection string holding ".dsn" for the name of
                // a file DSN, and the open then fails with a misleading message.
                target.refusal = QStringLiteral("o valor de %1 contém \".dsn\", que o Qt lê "
                                                "como nome de um ficheiro DSN")
                                     .arg(QLatin1String(what));
            }
        }
        text += QLatin1String(keyword) + QLatin1Char('=') + quoted + QLatin1Char(';');
    };
    const bool freeTds = isFreeTds(driver);
    QString host = server;
    QString port;
    // FreeTDS takes the port as a keyword of its own; the Microsoft drivers read "host,port"
    // themselves and know no Port keyword.
    if (freeTds)
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
    text += QLatin1String("ClientCharset=UTF-8;");
    if (freeTds) {
        text += QStringLiteral("Timeout=%1;").arg(timeouts.commandSeconds);
        // FreeTDS waits as long again, once a statement's time is up, for the server to take
        // back the statement: on a network that stopped answering a statement would hold the
        // pass for twice its timeout. Each statement gets half, so that the pass gives up
        // within the command timeout.
        target.statementSeconds = (timeouts.commandSeconds + 1) / 2;
        // A pinned protocol version: left to choose, FreeTDS falls back to the Sybase protocol
        // when the server does not answer, which sends the password in clear text and, after
        // a second timeout, never returns.
        text += QLatin1String("TDS_Version=7.4;");
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
    // QUrl makes the host of a UNC path (\\host\share\...) the URI's authority, which SQLite
    // refuses or drops; an empty authority keeps the whole path for the system to resolve.
    const QString path = QDir::fromNativeSeparators(file);
    if (path.startsWith(QLatin1String("//"))) {
        target.databaseName = QLatin1String("file://") +
                              QString::fromLatin1(QUrl::toPercentEncoding(path, "/")) +
                              QLatin1Char('?') + query.toString(QUrl::FullyEncoded);
    }
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

} // namespace ConnectionString
