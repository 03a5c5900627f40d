// SPDX-License-Identifier: MIT
#include "db/ConnectionString.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace ConnectionString {

bool isFreeTds(const QString &driver)
{
    return driver.contains(QLatin1String("tds"), Qt::CaseInsensitive);
}

QString quoteValue(const QString &value, const ConnectionOptions &options, bool *ok)
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
    if (isFreeTds(options.odbcDriver)) {
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

// What a driver makes of the encryption keywords: FreeTDS its own, Microsoft's drivers theirs,
// "strict" and a certificate's name only from ODBC Driver 18 on.
enum class DriverKind { FreeTds, Microsoft, MicrosoftFrom18 };

DriverKind kindOf(const QString &driver)
{
    if (isFreeTds(driver))
        return DriverKind::FreeTds;
    static const QRegularExpression versioned(QStringLiteral("^ODBC Driver (\\d+) for SQL Server"),
                                              QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = versioned.match(driver.trimmed());
    return match.hasMatch() && match.captured(1).toInt() >= 18 ? DriverKind::MicrosoftFrom18
                                                               : DriverKind::Microsoft;
}

QString word(const QString &value)
{
    return value.trimmed().toLower();
}

// The keywords of the options' encryption for their driver, or the refusal that names the
// variable the driver cannot take.
struct Encryption
{
    QString keywords;
    QString refusal;
};

Encryption encryptionOf(const ConnectionOptions &options)
{
    Encryption result;
    const QString &driver = options.odbcDriver;
    const DriverKind kind = kindOf(driver);
    const QString encrypt = word(options.encrypt);
    const QString trust = word(options.trustServerCertificate);
    const auto refuse = [&](const QString &text) {
        if (result.refusal.isEmpty())
            result.refusal = text;
    };
    if (!encrypt.isEmpty()) {
        const bool known = encrypt == QLatin1String("off") || encrypt == QLatin1String("request") ||
                           encrypt == QLatin1String("require") ||
                           encrypt == QLatin1String("strict");
        if (!known) {
            refuse(QStringLiteral("VELMORA_ENCRYPT: \"%1\" não é off, request, require nem strict")
                       .arg(options.encrypt));
        } else if (encrypt == QLatin1String("strict") && kind != DriverKind::MicrosoftFrom18) {
            refuse(QStringLiteral("VELMORA_ENCRYPT: strict existe só a partir do ODBC Driver 18 "
                                  "for SQL Server; o controlador ODBC %1 não o aceita")
                       .arg(driver));
        } else if (kind == DriverKind::FreeTds) {
            result.keywords += QStringLiteral("Encryption=%1;").arg(encrypt);
        } else {
            // The Microsoft drivers know no "request": without Encrypt=yes they encrypt the
            // login, and the rest when the server demands it.
            const QString value = encrypt == QLatin1String("strict")    ? QStringLiteral("strict")
                                  : encrypt == QLatin1String("require") ? QStringLiteral("yes")
                                                                        : QStringLiteral("no");
            result.keywords += QStringLiteral("Encrypt=%1;").arg(value);
        }
    }
    if (!trust.isEmpty()) {
        if (trust != QLatin1String("yes") && trust != QLatin1String("no")) {
            refuse(QStringLiteral("VELMORA_TRUST_SERVER_CERTIFICATE: \"%1\" não é yes nem no")
                       .arg(options.trustServerCertificate));
        } else if (kind == DriverKind::FreeTds) {
            // FreeTDS checks a certificate only against the CA file of freetds.conf: "yes" is
            // what it does without one, "no" it cannot be asked for here.
            if (trust == QLatin1String("no"))
                refuse(QStringLiteral("VELMORA_TRUST_SERVER_CERTIFICATE: o controlador ODBC %1 "
                                      "só verifica o certificado com o ficheiro da autoridade "
                                      "(ca file) do freetds.conf")
                           .arg(driver));
        } else {
            result.keywords += QStringLiteral("TrustServerCertificate=%1;").arg(trust);
        }
    }
    if (!options.hostNameInCertificate.isEmpty()) {
        bool ok = false;
        const QString quoted = quoteValue(options.hostNameInCertificate, options, &ok);
        if (kind != DriverKind::MicrosoftFrom18) {
            refuse(QStringLiteral("VELMORA_HOST_NAME_IN_CERTIFICATE: o controlador ODBC %1 não "
                                  "aceita o nome do certificado (só o ODBC Driver 18 for SQL "
                                  "Server e seguintes)")
                       .arg(driver));
        } else if (!ok || options.hostNameInCertificate.contains(QLatin1String(".dsn"),
                                                                 Qt::CaseInsensitive)) {
            refuse(QStringLiteral("VELMORA_HOST_NAME_IN_CERTIFICATE contém caracteres que o "
                                  "controlador ODBC %1 não aceita")
                       .arg(driver));
        } else {
            result.keywords += QStringLiteral("HostNameInCertificate=%1;").arg(quoted);
        }
    }
    return result;
}

// "host,port" is how SQL Server users name a port; FreeTDS wants it as its own keyword. A bare
// host is a default instance, on 1433: with its protocol version pinned, FreeTDS would
// otherwise try port 0. A named instance ("host\\INSTANCE") gets no port, so that FreeTDS asks
// the SQL Server Browser on the host for it.
struct HostAndPort
{
    QString host;
    QString port; ///< empty for a named instance
};

HostAndPort splitServer(const QString &server)
{
    const qsizetype comma = server.lastIndexOf(QLatin1Char(','));
    if (comma > 0) {
        bool numeric = false;
        server.mid(comma + 1).trimmed().toUInt(&numeric);
        if (numeric)
            return {server.left(comma), server.mid(comma + 1).trimmed()};
    }
    if (!server.contains(QLatin1Char('\\')))
        return {server, QStringLiteral("1433")};
    return {server, {}};
}

ConnectionTarget odbc(const ConnectionSettings &settings, const ConnectionOptions &options)
{
    const QString &driver = options.odbcDriver;
    ConnectionTarget target;
    target.backend = ConnectionTarget::Backend::Odbc;
    target.driverName = QStringLiteral("QODBC");
    // The connection's own timeout bounds what no statement carries, the commit above all, on
    // the drivers that honour it (Microsoft's); FreeTDS bounds it with Timeout= below.
    target.connectOptions =
        QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%2")
            .arg(options.loginSeconds)
            .arg(options.commandSeconds);
    target.statementSeconds = options.commandSeconds;
    const bool sqlLogin = settings.mode() == ConnectionMode::SqlLogin;
    const bool integrated = settings.mode() == ConnectionMode::Integrated;
    if (!sqlLogin && !integrated) {
        // The mode's text is not shown: a ";" in the password moves a piece of it there.
        target.refusal = QStringLiteral("modo de ligação desconhecido no quinto campo das "
                                        "definições (SQL, WIN ou SQLITE)");
        return target;
    }

    QString text;
    auto add = [&](const char *keyword, const QString &value, const char *what) {
        bool ok = false;
        const QString quoted = quoteValue(value, options, &ok);
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
    // FreeTDS takes the port as a keyword of its own; the Microsoft drivers read "host,port"
    // themselves and know no Port keyword.
    const HostAndPort server =
        freeTds ? splitServer(settings.strServidor) : HostAndPort{settings.strServidor, {}};
    add("Driver", driver, "Driver");
    add("Server", server.host, "Servidor");
    if (!server.port.isEmpty())
        add("Port", server.port, "Servidor");
    add("Database", settings.strBaseDados, "Base de Dados");
    if (sqlLogin) {
        add("UID", settings.strUtilizador, "Utilizador");
        add("PWD", settings.strPassword, "Password");
    } else {
        text += QLatin1String("Trusted_Connection=Yes;");
    }
    text += QStringLiteral("APP=%1;").arg(QLatin1String(kApplicationName));
    const Encryption encryption = encryptionOf(options);
    if (target.refusal.isEmpty())
        target.refusal = encryption.refusal;
    text += encryption.keywords;
    text += QLatin1String("ClientCharset=UTF-8;");
    if (freeTds) {
        text += QStringLiteral("Timeout=%1;").arg(options.commandSeconds);
        // FreeTDS waits as long again, once a statement's time is up, for the server to take
        // back the statement: on a network that stopped answering a statement would hold the
        // pass for twice its timeout. Each statement gets half, so that the pass gives up
        // within the command timeout.
        target.statementSeconds = (options.commandSeconds + 1) / 2;
        // A pinned protocol version: left to choose, FreeTDS falls back to the Sybase protocol
        // when the server does not answer, which sends the password in clear text and, after
        // a second timeout, never returns.
        text += QLatin1String("TDS_Version=7.4;");
    }
    if (target.refusal.isEmpty())
        target.databaseName = text;
    return target;
}

ConnectionTarget sqlite(const QString &file, const ConnectionOptions &options)
{
    const bool readOnly = options.readOnly;
    ConnectionTarget target;
    target.backend = ConnectionTarget::Backend::Sqlite;
    target.driverName = QStringLiteral("QSQLITE");
    target.file = file;
    target.statementSeconds = options.commandSeconds;
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
                                .arg(options.commandSeconds * 1000);
    if (readOnly)
        target.connectOptions += QLatin1String(";QSQLITE_OPEN_READONLY");
    return target;
}

} // namespace

namespace {

QString clockRefusal(const ConnectionOptions &options)
{
    const QString clock = word(options.clock);
    if (clock.isEmpty() || clock == QLatin1String("server") || clock == QLatin1String("machine"))
        return {};
    return QStringLiteral("VELMORA_CLOCK: \"%1\" não é server nem machine").arg(options.clock);
}

} // namespace

QString optionsRefusal(const ConnectionSettings &settings, const ConnectionOptions &options)
{
    QString clock = clockRefusal(options);
    if (!clock.isEmpty() || settings.mode() == ConnectionMode::Sqlite)
        return clock;
    return encryptionOf(options).refusal;
}

QString encryptionHint(const ConnectionOptions &options)
{
    if (options.encrypt.isEmpty())
        return {};
    return QStringLiteral(" (pedida cifra com VELMORA_ENCRYPT=%1: o servidor pode não a "
                          "oferecer)")
        .arg(options.encrypt);
}

ConnectionTarget build(const ConnectionSettings &settings, const ConnectionOptions &options)
{
    ConnectionTarget target = settings.mode() == ConnectionMode::Sqlite
                                  ? sqlite(settings.strServidor, options)
                                  : odbc(settings, options);
    if (target.refusal.isEmpty())
        target.refusal = clockRefusal(options);
    return target;
}

} // namespace ConnectionString
