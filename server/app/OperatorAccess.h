#pragma once

#include "ControlSocket.h"
#include "OperatorCommands.h"

#include <QString>

#include <cstdio>

class ServerContext;
class UdpEndpoint;

// What the operator of a running server has beside its window: a summary of
// the run on standard output once the socket is bound, and the control
// socket that answers `ventoro status`, `kick`, `reload` and the bans
// commands.
class OperatorAccess
{
public:
    // The context and endpoint must outlive this object; `reload` is what a
    // "reload" request runs.
    OperatorAccess(ServerContext &context, UdpEndpoint &endpoint, const QString &instanceName,
                   OperatorCommands::Reload reload);

    // Opens the control socket at `path`. When it cannot be opened the
    // server runs on without it, and says so on standard error.
    void start(const QString &path);

    // Ports, where the log goes, how many accounts user.ini holds (with a
    // hint when it holds none) and how to reach the control socket.
    void printSummary(std::FILE *out) const;

private:
    OperatorCommands::RunFacts facts() const;

    ServerContext &m_context;
    UdpEndpoint &m_endpoint;
    QString m_instanceName;
    OperatorCommands::Reload m_reload;
    qint64 m_startedAt = 0;
    ControlSocket m_control;
};
