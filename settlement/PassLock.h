// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <memory>

class DbConnection;
class QLockFile;

/// Keeps two Velmora passes, on this machine or any other, from settling one database at once.
/// It is taken right after the pass's connection opens and held until the pass ends.
/// - SQL Server: an application lock of the pass's own session (sp_getapplock, exclusive, no
///   wait), which the dialect takes (Dialect::takePassLock()). It belongs to the database,
///   whatever name the server was reached by, and the server frees it when the session ends,
///   however the pass ends.
/// - SQLite, which keeps no such lock: a lock file beside the database file, "<file>.velmora-lock",
/// which every process
///   that opens the file sees, whoever runs it, by whatever path: it is named from the file's
///   canonical path, so it sits beside the file that symbolic links lead to. (A hard link is
///   another name of the file that no path tells.) A lock left by a process that died is taken
///   over.
class PassLock
{
public:
    enum class Result {
        Taken,  ///< this pass now holds the database
        Busy,   ///< a live pass elsewhere holds it
        Failed, ///< the lock could not be taken or tested; the reason is in `error`
    };

    /// The lock of the database that `connection` is open on.
    explicit PassLock(const DbConnection &connection);
    ~PassLock();
    PassLock(const PassLock &) = delete;
    PassLock &operator=(const PassLock &) = delete;

    Result tryLock(QString *error);
    /// Gives the lock back; the connection must still be open for the server's lock.
    void unlock();

    /// Where the lock of a SQLite database file lives: beside the file that the path leads to,
    /// symbolic links and "." and ".." resolved.
    static QString lockFilePath(const QString &databaseFile);

private:
    Result tryLockFile(QString *error);

    const DbConnection &m_connection;
    std::unique_ptr<QLockFile> m_file;
    bool m_serverLocked = false;
};
