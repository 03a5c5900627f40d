// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"

#include <QLockFile>
#include <QString>

#include <memory>

/// Keeps two Velmora processes on one machine from settling the same database at once.
/// The lock is a file per database in the temporary folder (VELMORA_LOCK_DIR overrides it);
/// a lock left by a process that died is taken over.
class PassLock
{
public:
    explicit PassLock(const ConnectionSettings &settings);
    ~PassLock();

    /// True when this process now holds the database's lock.
    bool tryLock();
    void unlock();
    QString path() const { return m_path; }

    static QString pathFor(const ConnectionSettings &settings);

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_file;
};
