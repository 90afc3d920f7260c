#include "SingleInstance.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

SingleInstance::~SingleInstance()
{
    release();
}

bool SingleInstance::tryAcquire(const QString &lockPath)
{
    m_errorText.clear();
    if (m_fd >= 0)
        return true;
    const QByteArray path = QFile::encodeName(lockPath);
    // A holder that ends removes the file while it still holds the lock; a
    // copy that opened the old file just before then locks a file nobody
    // finds any more, and must try again with the new one.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            m_errorText = QStringLiteral("%1: %2").arg(lockPath, qt_error_string(errno));
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int lockError = errno;
            ::close(fd);
            if (lockError != EWOULDBLOCK)
                m_errorText = QStringLiteral("%1: %2").arg(lockPath, qt_error_string(lockError));
            return false;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::lstat(path.constData(), &named) == 0 && held.st_dev == named.st_dev
            && held.st_ino == named.st_ino) {
            const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
            if (::ftruncate(fd, 0) == 0)
                [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
            m_fd = fd;
            m_path = lockPath;
            return true;
        }
        ::close(fd);
    }
    m_errorText = QStringLiteral("%1 keeps changing").arg(lockPath);
    return false;
}

qint64 SingleInstance::holderProcessId(const QString &lockPath)
{
    const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 0;
    struct stat file {};
    char text[24] = {};
    const ssize_t got = ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) ? ::read(fd, text, sizeof text - 1) : -1;
    ::close(fd);
    if (got <= 0)
        return 0;
    bool ok = false;
    const qint64 pid = QByteArray(text, int(got)).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

void SingleInstance::release()
{
    if (m_fd < 0)
        return;
    ::unlink(QFile::encodeName(m_path).constData());
    ::close(m_fd);
    m_fd = -1;
}
