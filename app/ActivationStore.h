// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <memory>

class QSettings;

/// The per-user activation flag: key "chkActivar" in section "frmVelmora" under the
/// executable's name. On Windows this is the registry key earlier versions used,
/// HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<executable>\frmVelmora.
class ActivationStore
{
public:
    /// `applicationName` is the executable's base name. `fileOverride`, when set, is an INI
    /// file used instead of the user's store (tests, and VELMORA_SETTINGS_FILE).
    explicit ActivationStore(QString applicationName, QString fileOverride = {});

    /// The stored check box value, 0 when absent. A value that is not 0, 1 or 2 reads as 0:
    /// a damaged store must not keep the program from starting.
    int read() const;
    /// Stores the value as decimal text; false when the store could not be written.
    bool write(int value) const;

    static QString defaultFileOverride();

private:
    /// The store: the override file, or the user's own.
    std::unique_ptr<QSettings> open() const;

    QString m_application;
    QString m_file;
};
