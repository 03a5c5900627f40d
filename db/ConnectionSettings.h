// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

/// What the mode setting asks for.
enum class ConnectionMode {
    SqlLogin,   ///< "SQL": a SQL Server login
    Integrated, ///< "WIN": the integrated security of the account that runs Velmora
    Sqlite,     ///< "SQLITE": the embedded database, the server setting being its file
    Unknown,    ///< any other text: the connection is refused, naming the mode
};

/// The five connection settings, as the command line gives them.
struct ConnectionSettings
{
    QString strServidor;    ///< server: SQL Server instance, or the SQLite file
    QString strBaseDados;   ///< database name
    QString strUtilizador;  ///< SQL login
    QString strPassword;    ///< password of that login
    QString strModoLigacao; ///< "SQL", "WIN" or "SQLITE"

    /// The mode setting as it is kept once the settings are read: a blank one is "SQL", any
    /// other is upper-cased. Blanks around a word stay, so " SQL" is no known mode.
    static QString normalisedMode(const QString &mode);
    /// What the mode setting asks for, read as normalisedMode() gives it.
    ConnectionMode mode() const;

    /// A setting without the blanks (U+0020 only) at either end; tabs, CR and LF stay.
    static QString trimBlanks(const QString &setting);
    /// True when the setting holds nothing but blanks.
    static bool isBlank(const QString &setting) { return trimBlanks(setting).isEmpty(); }
};

/// How a connection is opened, beyond its five settings. Chosen once, where a program starts;
/// what the environment says is read there (fromEnvironment), never below.
struct ConnectionOptions
{
    int loginSeconds = 30;   ///< opening the connection
    int commandSeconds = 60; ///< each statement
    bool readOnly = false;   ///< SQLite opened read-only: a preview, a forecast
    /// The ODBC driver for SQL Server, as the connection string names it.
    QString odbcDriver = defaultOdbcDriver();
    /// SQL Server's encryption, as VELMORA_ENCRYPT names it: "off", "request", "require" or
    /// "strict"; empty sends nothing, and the driver's default holds.
    QString encrypt;
    /// VELMORA_TRUST_SERVER_CERTIFICATE: "yes" or "no"; empty sends nothing.
    QString trustServerCertificate;
    /// VELMORA_HOST_NAME_IN_CERTIFICATE: the name the server's certificate must carry.
    QString hostNameInCertificate;
    /// VELMORA_CLOCK: whose clock a pass runs by on SQL Server, "server" (or empty) or
    /// "machine". SQLite, on this machine, runs by the machine's.
    QString clock;
    bool machineClock() const;

    /// The platform's own driver for SQL Server: Microsoft's on Windows, FreeTDS elsewhere.
    static QString defaultOdbcDriver();
    /// The options with VELMORA_ODBC_DRIVER, when set, as the ODBC driver, and the encryption
    /// that VELMORA_ENCRYPT, VELMORA_TRUST_SERVER_CERTIFICATE and
    /// VELMORA_HOST_NAME_IN_CERTIFICATE ask for, and the clock of VELMORA_CLOCK, as they are
    /// written (ConnectionString checks them).
    static ConnectionOptions fromEnvironment();
};
