#pragma once

#include "ControlSocket.h"
#include "OperatorCommands.h"
#include "StartupOptions.h"

#include <QString>

#include <cstdio>
#include <memory>

class ArrivalQueue;
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
    // The context, endpoint and arrival queue must outlive this object;
    // `reloads` are what "reload" and "reload bans" run.
    OperatorAccess(ServerContext &context, UdpEndpoint &endpoint, const ArrivalQueue &arrivals,
                   const QString &instanceName, OperatorCommands::Reloads reloads);
    ~OperatorAccess();

    // Opens the control socket at `path`. When it cannot be opened the
    // server runs on without it, and says so on standard error.
    void start(const QString &path);

    // Stops taking requests; those in hand still complete. Safe inside a
    // request's handler, which is why nothing is deleted here.
    void stop();

    // Ports, where the log goes (`logPath`), how many accounts user.ini
    // holds (with a hint when it holds none) and how to reach the control
    // socket.
    void printSummary(std::FILE *out, const QString &logPath) const;

    // Starts the HTTP status page where `http` says, and says where on
    // `out`; nothing when its port is 0. When it cannot listen the server
    // runs on without it, and says so on standard error. What the page
    // refuses is summed up on standard error, one line a minute at most.
    // `storedSocket`, when not -1, is the listening socket the previous run
    // left in the service manager's store: taken when it fits, else closed.
    void startStatusPage(const StartupOptions::HttpOptions &http, std::FILE *out, int storedSocket = -1);

private:
    static bool listenForStatus(HttpDocumentServer &server, const StartupOptions::HttpOptions &http, int storedSocket,
                                QString *error);
    OperatorCommands::RunFacts facts() const;

    ServerContext &m_context;
    UdpEndpoint &m_endpoint;
    const ArrivalQueue &m_arrivals;
    QString m_instanceName;
    OperatorCommands::Reloads m_reloads;
    qint64 m_startedAt = 0;
    ControlSocket m_control;
    std::unique_ptr<HttpDocumentServer> m_http;
};
