#pragma once

#include "ControlSocket.h"
#include "OperatorCommands.h"
#include "StartupOptions.h"

#include <QString>

#include <cstdio>
#include <memory>

class HttpDocumentServer;
class ServerContext;
class UdpEndpoint;

// What the operator of a running server has beside its window: a summary of
// the run on standard output once the socket is bound, and the control
// socket that answers `ventoro status`, `kick`, `reload` and the bans
// commands; and, when the settings ask for it, the HTTP status page: "/" for
// people, "/status.json" for scripts and "/metrics" for Prometheus, all made
// from the status for the public (no addresses).
class OperatorAccess
{
public:
    // The context and endpoint must outlive this object; `reload` is what a
    // "reload" request runs.
    OperatorAccess(ServerContext &context, UdpEndpoint &endpoint, const QString &instanceName,
                   OperatorCommands::Reload reload);
    ~OperatorAccess();

    // Opens the control socket at `path`. When it cannot be opened the
    // server runs on without it, and says so on standard error.
    void start(const QString &path);

    // Ports, where the log goes, how many accounts user.ini holds (with a
    // hint when it holds none) and how to reach the control socket.
    void printSummary(std::FILE *out) const;

    // Starts the HTTP status page where `http` says, and says where on
    // `out`; nothing when its port is 0. When it cannot listen the server
    // runs on without it, and says so on standard error. What the page
    // refuses is summed up on standard error, one line a minute at most.
    void startStatusPage(const StartupOptions::HttpOptions &http, std::FILE *out);

private:
    OperatorCommands::RunFacts facts() const;

    ServerContext &m_context;
    UdpEndpoint &m_endpoint;
    QString m_instanceName;
    OperatorCommands::Reload m_reload;
    qint64 m_startedAt = 0;
    ControlSocket m_control;
    std::unique_ptr<HttpDocumentServer> m_http;
};
