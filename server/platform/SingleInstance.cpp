#include "SingleInstance.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

SingleInstance::~SingleInstance()
{
    release();
}

QString SingleInstance::nameFromEnvironment()
{
    const QString name = qEnvironmentVariable("VENTORO_INSTANCE");
    return name.isEmpty() ? QStringLiteral("ventoro-server") : name;
}

bool SingleInstance::tryAcquire(const QString &name)
{
    m_errorText.clear();
    if (m_fd >= 0)
        return true;

    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    // An abstract address starts with a NUL byte and lives in no file system.
    const QByteArray bytes = name.toUtf8();
    const size_t room = sizeof address.sun_path - 1;
    const size_t length = qMin(size_t(bytes.size()), room);
    std::memcpy(address.sun_path + 1, bytes.constData(), length);
    const auto addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_errorText = qt_error_string(errno);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), addressLength) != 0) {
        const int bindError = errno;
        ::close(fd);
        if (bindError != EADDRINUSE)
            m_errorText = qt_error_string(bindError);
        return false;
    }
    m_fd = fd;
    return true;
}

void SingleInstance::release()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
}
