// SPDX-License-Identifier: MIT
#include "settlement/PassLock.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>

#include <iterator>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <csignal>
#endif

namespace {

// Whether a process of this machine still runs. A process that cannot be asked (another
// user's) is taken as running: only a lock whose owner is surely gone is stale.
bool processRunning(qint64 pid)
{
    if (pid <= 0)
        return false;
#ifdef Q_OS_WIN
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#else
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
#endif
}

// What a lock file that could not be taken says: Busy when a live pass holds it, Failed (the
// reason in `error`) when it cannot be read or was left by a process that has ended.
// `garbled` is set when the file reads, but holds no owner.
PassLock::Result heldLock(const QLockFile &lock, const QString &path, QString *error, bool *garbled)
{
    qint64 pid = 0;
    QString host;
    QString application;
    *garbled = false;
    if (!lock.getLockInfo(&pid, &host, &application)) {
        *error = QStringLiteral("o ficheiro de bloqueio %1 existe mas não se consegue ler")
                     .arg(QDir::toNativeSeparators(path));
        // A file that others may not read may belong to a live pass of another user.
        QFile file(path);
        *garbled = QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly);
        return PassLock::Result::Failed;
    }
    // A lock of another machine cannot be tested from here; a lock of this machine whose owner
    // has ended is stale, and one that could not be taken over is not "busy".
    if (host != QSysInfo::machineHostName() || processRunning(pid))
        return PassLock::Result::Busy;
    *error = QStringLiteral("o ficheiro de bloqueio %1 foi deixado pelo processo %2, que já "
                            "terminou, e não pôde ser removido")
                 .arg(QDir::toNativeSeparators(path))
                 .arg(pid);
    return PassLock::Result::Failed;
}

} // namespace

PassLock::PassLock(const DbConnection &connection) : m_connection(connection) {}

PassLock::~PassLock()
{
    unlock();
}

QString PassLock::lockFilePath(const QString &databaseFile)
{
    // Every name of the file (a symbolic link, a path through "..") meets the one lock beside
    // the file itself. A file that is not there has no canonical path: it is named as given.
    const QFileInfo file(databaseFile);
    const QString canonical = file.canonicalFilePath();
    return (canonical.isEmpty() ? file.absoluteFilePath() : canonical) +
           QStringLiteral(".velmora-lock");
}

PassLock::Result PassLock::tryLock(QString *error)
{
    if (m_file || m_serverLocked)
        return Result::Taken;
    switch (m_connection.dialect().takePassLock(m_connection, error)) {
    case Dialect::ServerLock::Taken:
        m_serverLocked = true;
        return Result::Taken;
    case Dialect::ServerLock::Busy:
        return Result::Busy;
    case Dialect::ServerLock::Failed:
        return Result::Failed;
    case Dialect::ServerLock::NotKept:
        break;
    }
    return tryLockFile(error);
}

PassLock::Result PassLock::tryLockFile(QString *error)
{
    const QString path = lockFilePath(m_connection.target().file);
    auto lock = std::make_unique<QLockFile>(path);
    // Only a dead owner makes a lock stale: a pass may rightly run for a long time.
    lock->setStaleLockTime(0);
    // A pass that starts with another sees the other's lock file empty for a moment, between
    // its creation and the writing of its owner, or sees it gone, or its owner just ended,
    // between the failed take and the look at it. That lasts microseconds, but a loaded
    // machine may keep the other pass off the processor for tens of milliseconds: such a lock
    // is taken or looked at again after 10, 20, 40 and 80 ms, 150 ms in all, before the pass
    // fails. What is still there then (a folder, an unreadable file) is not a passing moment.
    static constexpr unsigned long kPausesMs[] = {10, 20, 40, 80};
    for (std::size_t attempt = 0;; ++attempt) {
        if (lock->tryLock(0)) {
            m_file = std::move(lock);
            return Result::Taken;
        }
        if (lock->error() != QLockFile::LockFailedError)
            break;
        bool garbled = false;
        const Result held = heldLock(*lock, path, error, &garbled);
        if (held == Result::Busy)
            return held;
        if (attempt == std::size(kPausesMs)) {
            // A pass writes its owner as it makes the file: one that still names none after
            // the pauses was left half-written by a process that ended, and no pass holds it.
            if (garbled && lock->removeStaleLockFile() && lock->tryLock(0)) {
                m_file = std::move(lock);
                return Result::Taken;
            }
            return held;
        }
        QThread::msleep(kPausesMs[attempt]);
    }
    if (lock->error() == QLockFile::PermissionError) {
        *error = QStringLiteral("sem permissão para criar o ficheiro de bloqueio %1")
                     .arg(QDir::toNativeSeparators(path));
        return Result::Failed;
    }
    const QString folder = QFileInfo(path).absolutePath();
    *error =
        QStringLiteral("não foi possível criar o ficheiro de bloqueio %1%2")
            .arg(QDir::toNativeSeparators(path),
                 QFileInfo(folder).isDir() ? QString() : QStringLiteral(" (a pasta não existe)"));
    return Result::Failed;
}

void PassLock::unlock()
{
    if (m_serverLocked) {
        m_serverLocked = false;
        // A release that fails, or is not sent on a lost connection, is made good by the
        // server when the session ends.
        QString ignored;
        if (m_connection.isOpen())
            m_connection.dialect().releasePassLock(m_connection, &ignored);
    }
    if (m_file) {
        m_file->unlock();
        m_file.reset();
    }
}
