// SPDX-License-Identifier: MIT
#include "cli/SettingsSource.h"

#include "db/ConnectionSettings.h"

#include <QFile>
#include <QStringDecoder>

#include <cstdio>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A settings line is a few hundred bytes: anything much larger is the wrong file, and standard
// input fed from an endless source must not be read forever.
constexpr qint64 kMaxBytes = qint64{64} * 1024;

const QLatin1String kStdin("-");

QString nameOf(const QString &path)
{
    return path == kStdin ? QStringLiteral("as definições da entrada padrão")
                          : QStringLiteral("o ficheiro de definições %1").arg(path);
}

#ifdef Q_OS_UNIX
QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

/// Opens `path` and checks the mode of the file it opened, not of whatever the path names a
/// moment later.
bool openPrivateFile(const QString &path, QFile &file, QString *error)
{
    int fd = -1;
    do {
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        *error =
            QStringLiteral("não foi possível abrir %1: %2").arg(nameOf(path), systemError(code));
        return false;
    }
    struct stat st = {};
    QString refusal;
    if (::fstat(fd, &st) != 0)
        refusal = systemError(errno);
    else if (S_ISDIR(st.st_mode))
        refusal = systemError(EISDIR);
    if (!refusal.isEmpty()) {
        ::close(fd);
        *error = QStringLiteral("não foi possível ler %1: %2").arg(nameOf(path), refusal);
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        ::close(fd);
        *error =
            QStringLiteral("%1 tem o modo %2: outros utilizadores podem lê-lo ou alterá-lo, "
                           "e guarda uma palavra-passe. Restrinja-o ao dono (chmod 600).")
                .arg(nameOf(path), QString::number(st.st_mode & 07777, 8).rightJustified(4, u'0'));
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error =
            QStringLiteral("não foi possível ler %1: %2").arg(nameOf(path), file.errorString());
        return false;
    }
    return true;
}
#else
// Windows keeps access in the file's ACL, which the folder it sits in grants; there are no mode
// bits to check.
bool openPrivateFile(const QString &path, QFile &file, QString *error)
{
    file.setFileName(path);
    if (file.open(QIODevice::ReadOnly))
        return true;
    *error = QStringLiteral("não foi possível abrir %1: %2").arg(nameOf(path), file.errorString());
    return false;
}
#endif

// What was read, then why not, as every reader here returns them.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool readLine(const QString &path, QString *line, QString *error)
{
    QByteArray content(kMaxBytes + 1, Qt::Uninitialized);
    qint64 size = 0;
    if (path == kStdin) {
        // Read as the C library has it: a pipe from another program is no file that QFile can
        // take over on every platform. In binary mode, so that CR LF arrives as written.
#ifdef Q_OS_WIN
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        while (size < content.size()) {
            const size_t n =
                std::fread(content.data() + size, 1, size_t(content.size() - size), stdin);
            size += qint64(n);
            if (n == 0)
                break;
        }
        if (std::ferror(stdin)) {
            *error = QStringLiteral("não foi possível ler %1").arg(nameOf(path));
            return false;
        }
    } else {
        QFile file;
        if (!openPrivateFile(path, file, error))
            return false;
        while (size < content.size()) {
            const qint64 n = file.read(content.data() + size, content.size() - size);
            if (n < 0) {
                *error = QStringLiteral("não foi possível ler %1: %2")
                             .arg(nameOf(path), file.errorString());
                return false;
            }
            if (n == 0)
                break;
            size += n;
        }
    }
    if (size > kMaxBytes) {
        *error =
            QStringLiteral("%1 é demasiado grande para uma linha de definições").arg(nameOf(path));
        return false;
    }
    content.truncate(size);

    // Editors end the line with a newline; Windows ones with CR LF. The password may end in any
    // other character, blanks included, so nothing more is taken off.
    if (content.endsWith('\n')) {
        content.chop(1);
        if (content.endsWith('\r'))
            content.chop(1);
    }
    if (content.contains('\n')) {
        *error = QStringLiteral("%1 deve ter uma só linha").arg(nameOf(path));
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    *line = utf8.decode(content);
    if (utf8.hasError()) {
        line->clear();
        *error = QStringLiteral("%1 não é texto UTF-8").arg(nameOf(path));
        return false;
    }
    return true;
}

} // namespace

namespace SettingsSource {

bool settingsLine(const QStringList &settingsOptions, const QStringList &positional, QString *line,
                  QString *error)
{
    line->clear();
    if (settingsOptions.isEmpty()) {
        // The shell may split the line over several arguments; it is one string.
        *line = positional.join(QLatin1Char(' '));
        return true;
    }
    if (settingsOptions.size() > 1) {
        *error = QStringLiteral("--settings só pode ser indicado uma vez");
        return false;
    }
    if (!positional.isEmpty()) {
        *error = QStringLiteral("indique as definições como argumento ou com --settings, não com "
                                "os dois");
        return false;
    }
    return readLine(settingsOptions.first(), line, error);
}

QString unexpectedTail(const QString &line)
{
    const qsizetype last = line.lastIndexOf(QLatin1Char(';'));
    const QString tail = line.mid(last + 1);
    if (ConnectionSettings::isBlank(tail))
        return {};
    // The fourth field, the password, is the text after the third ";"; what follows it may be
    // a piece of the password too, moved by a ";" in it.
    const qsizetype separators = line.count(QLatin1Char(';'));
    if (separators == 3)
        return QStringLiteral("texto inesperado no fim das definições, no lugar da palavra-passe "
                              "(não se mostra); cada campo termina em \";\"");
    if (separators > 3)
        return QStringLiteral("texto inesperado no fim das definições, depois do %1.º campo "
                              "(não se mostra); cada campo termina em \";\"")
            .arg(separators);
    return QStringLiteral("texto inesperado no fim das definições: \"%1\"; cada campo termina "
                          "em \";\"")
        .arg(ConnectionSettings::trimBlanks(tail));
}

} // namespace SettingsSource
