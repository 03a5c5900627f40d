// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

/// The five connection settings, as the command line gives them.
struct ConnectionSettings
{
    QString strServidor;    ///< server: SQL Server instance, or the SQLite file
    QString strBaseDados;   ///< database name
    QString strUtilizador;  ///< SQL login
    QString strPassword;    ///< password of that login
    QString strModoLigacao; ///< "SQL", "WIN" or "SQLITE"

    /// A setting without the blanks (U+0020 only) at either end; tabs, CR and LF stay.
    static QString trimBlanks(const QString &setting);
    /// True when the setting holds nothing but blanks.
    static bool isBlank(const QString &setting) { return trimBlanks(setting).isEmpty(); }
};
