#include "ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace ServiceManager {
namespace {

void closeIfOpen(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

StoredSockets::StoredSockets()
{
    char **names = nullptr;
    // Also marks every descriptor close-on-exec and clears LISTEN_*.
    const int count = sd_listen_fds_with_names(1, &names);
    for (int i = 0; i < count; ++i) {
        int fd = SD_LISTEN_FDS_START + i;
        const char *name = names ? names[i] : nullptr;
        // One of each name is kept; a second (a store that somehow holds
        // two) and any other is closed.
        int *slot = nullptr;
        if (name && std::strcmp(name, "udp") == 0)
            slot = &m_udp;
        else if (name && std::strcmp(name, "http") == 0)
            slot = &m_http;
        if (slot && *slot < 0)
            *slot = fd;
        else
            closeIfOpen(fd);
    }
    if (names) {
        for (int i = 0; i < count; ++i)
            std::free(names[i]);
        std::free(names);
    }
}

StoredSockets::~StoredSockets()
{
    closeIfOpen(m_udp);
    closeIfOpen(m_http);
}

int StoredSockets::take(const char *name)
{
    int *slot = std::strcmp(name, "udp") == 0 ? &m_udp : std::strcmp(name, "http") == 0 ? &m_http : nullptr;
    if (!slot)
        return -1;
    const int fd = *slot;
    *slot = -1;
    return fd;
}

bool present()
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

void notifyReady()
{
    if (present())
        sd_notify(0, "READY=1");
}

void notifyStopping()
{
    if (present())
        sd_notify(0, "STOPPING=1");
}

void forgetSocket(const char *name)
{
    if (!present())
        return;
    const QByteArray remove = QByteArrayLiteral("FDSTOREREMOVE=1\nFDNAME=") + name;
    sd_notify(0, remove.constData());
}

bool storeSocket(int fd, const char *name)
{
    if (!present() || fd < 0)
        return false;
    forgetSocket(name);
    const QByteArray store = QByteArrayLiteral("FDSTORE=1\nFDNAME=") + name;
    return sd_pid_notify_with_fds(0, 0, store.constData(), &fd, 1) > 0;
}

} // namespace ServiceManager
