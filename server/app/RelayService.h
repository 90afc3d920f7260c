#pragma once

#include "OperatorAccess.h"
#include "ProgramSeams.h"
#include "ReceivePath.h"
#include "ServerReload.h"
#include "ServerContext.h"
#include "RegistryCheckpoint.h"
#include "SkyOptions.h"
#include "UdpEndpoint.h"

#include <QObject>
#include <QTimer>

#include <memory>

// The running relay, without a window: the run's state with the real clock,
// socket and event loop behind its seams, the UDP endpoint, the heartbeat
// sweep timer, the receive path and the operator's control socket. The
// debug screen, when it is shown, is only a view of it. One per program
// run; everything it owns goes with it.
// What a run is made with: its settings files and the options read from
// VentoroServer.ini at start-up.
struct RelaySettings {
    INIFiles serverIni;
    QString usersIni;
    StartupOptions::Options options;
};

class RelayService : public QObject
{
    Q_OBJECT

public:
    // The sweep timer runs from here on; it finds no players until the
    // socket is bound. Made without settings, the run has the defaults and
    // no settings files until a caller names them.
    explicit RelayService(QObject *parent = nullptr);
    explicit RelayService(const RelaySettings &settings, QObject *parent = nullptr);
    ~RelayService() override;

    ServerContext &context() { return m_context; }
    const ServerContext &context() const { return m_context; }
    UdpEndpoint &endpoint() { return m_endpoint; }
    ArrivalQueue &arrivals() { return m_arrivals; }
    QTimer &sweepTimer() { return m_sweepTimer; }

    // Binds the socket to the settings' ports, or takes `storedSocket` (not
    // -1: the socket the previous run left in the service manager's store;
    // closed when it does not fit). False, with the reason in errorText,
    // when a port setting is no port number or the system refuses the
    // bind; the service is then stopped.
    bool startListening(QString *errorText, int storedSocket = -1);
    // Whether the socket is the previous run's.
    bool tookStoredSocket() const { return m_tookStoredSocket; }

    // Stops the sweep, closes the control socket and the UDP socket. Safe to
    // call more than once, and from inside any handler (a yield may run it):
    // what a handler works for is only closed here, and goes with the
    // service itself.
    void stopListening();

    // Opens the control socket at `path` for the `ventoro` commands; the
    // server runs on without one, saying so on standard error, when it
    // cannot be opened. Then prints the run's summary on standard output.
    void startOperatorAccess(const QString &controlPath, const QString &instanceName, const QString &logPath);

    // What SIGHUP and `ventoro reload` do (ServerReload::Reloader), with
    // the restart-only settings that changed and every warning also on
    // standard error once the new bans are in force; then `done`, if any.
    void reload(ServerReload::Reloader::ReloadDone done = {});

    // Joins the sky `sky` names (the server keeps its own pilots whatever
    // the sky does): what the sky delivers is handled as a second source of
    // arrivals, and a timer keeps up presence and the silence limits. False,
    // with the reason, when the NATS client cannot use the options; the
    // server then runs alone.
    // `previous` is the run a checkpoint restored: on the same node it is
    // taken up again, so the other nodes keep this one's pilots.
    bool joinSky(const SkyOptions::Options &sky, const RegistryCheckpoint::SkyRun &previous, QString *errorText);

    // Starts the HTTP status page where `http` says (nothing when its port
    // is 0), once operator access has started; see OperatorAccess.
    void startStatusPage(const StartupOptions::HttpOptions &http, int storedSocket = -1);

private:
    SystemClock m_clock;
    EventLoopYield m_yield;
    EndpointSender m_sender;
    ServerContext m_context;
    ArrivalQueue m_arrivals;
    UdpEndpoint m_endpoint{m_arrivals};
    QTimer m_sweepTimer;
    ReceivePath m_receivePath;
    std::unique_ptr<OperatorAccess> m_operatorAccess;
    ServerReload::Reloader m_reloader{m_context};
    bool m_tookStoredSocket = false;

    bool bindOrAdopt(quint16 localPort, int storedSocket, QString *errorText);
    SkyInbox m_skyInbox;
    QTimer m_skyTimer;
    // Last: its client threads stop before anything they wake goes.
    std::unique_ptr<class SkyLink> m_skyLink;
};
