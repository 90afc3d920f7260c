#pragma once

#include <QString>

// The server's side of the service manager's protocol (systemd), when the
// server runs as a service; every call does nothing otherwise. It tells
// the manager when the server is ready and when it stops, and keeps the
// bound sockets in the manager's store across a restart, so that pilots'
// datagrams wait in the socket's queue instead of being refused while
// the server restarts.
namespace ServiceManager {

// The sockets handed back at start-up by name ("udp", "http"), each
// closed on exec, or -1. The caller owns each descriptor it takes; what
// is still held when this object goes is closed, as is every descriptor
// handed over under another name.
class StoredSockets
{
public:
    // Takes what the manager handed over (LISTEN_FDS), and clears that
    // from the environment so nothing started later sees it.
    StoredSockets();
    ~StoredSockets();
    StoredSockets(const StoredSockets &) = delete;
    StoredSockets &operator=(const StoredSockets &) = delete;

    // The descriptor stored under `name`, handed to the caller, or -1.
    int take(const char *name);

private:
    int m_udp = -1;
    int m_http = -1;
};

// Whether a manager waits for these notices (NOTIFY_SOCKET is set).
bool present();

// "READY=1": the server listens. Sent once.
void notifyReady();
// "STOPPING=1": the server is closing.
void notifyStopping();

// Drops what the manager's store holds under `name` (a socket that no
// longer fits the settings, which would otherwise keep its port taken).
void forgetSocket(const char *name);

// Puts `fd` into the manager's store under `name`, replacing what was
// stored under that name. False when there is no manager or it refused;
// the server runs on either way.
bool storeSocket(int fd, const char *name);

} // namespace ServiceManager
