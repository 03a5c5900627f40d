// SPDX-License-Identifier: MIT
#include "settlement/PassLock.h"

#include "report/TextUtil.h"

#include <QCryptographicHash>
#include <QDir>

PassLock::PassLock(const ConnectionSettings &settings) : m_path(pathFor(settings)) {}

PassLock::~PassLock()
{
    unlock();
}

QString PassLock::pathFor(const ConnectionSettings &settings)
{
    QString dir = qEnvironmentVariable("VELMORA_LOCK_DIR");
    if (dir.isEmpty())
        dir = QDir::tempPath();
    // Server names are not case-sensitive; a SQLite file is named by its absolute path.
    QString server = TextUtil::trimBlanks(settings.strServidor);
    if (settings.strModoLigacao.toUpper() == QLatin1String("SQLITE"))
        server = QDir(server).absolutePath();
    else
        server = server.toLower();
    const QByteArray key =
        (server + QLatin1Char('\n') + TextUtil::trimBlanks(settings.strBaseDados).toLower())
            .toUtf8();
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex();
    return QDir(dir).filePath(
        QStringLiteral("velmora-%1.lock").arg(QString::fromLatin1(hash.left(16))));
}

bool PassLock::tryLock()
{
    if (m_file && m_file->isLocked())
        return true;
    m_file = std::make_unique<QLockFile>(m_path);
    // Only a dead owner makes a lock stale: a pass may rightly run for a long time.
    m_file->setStaleLockTime(0);
    return m_file->tryLock(0);
}

void PassLock::unlock()
{
    if (m_file && m_file->isLocked())
        m_file->unlock();
    m_file.reset();
}
