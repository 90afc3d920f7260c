#pragma once

#include "BanList.h"
#include "Endpoint.h"
#include "EventLog.h"
#include "INIFiles.h"
#include "LogonThrottle.h"
#include "Packet.h"
#include "Players.h"
#include "Seams.h"
#include "ServerCounters.h"
#include "StartupOptions.h"
#include "ServerOptionsLayout.h"

#include "SkyState.h"

#include <memory>

// What the operator chose: read at start-up, some taken in again on reload
// (ServerReload).
struct ServerOptions {
    bool DebugOn = false;
    bool DebugLowLevelOn = false;
    // The texts of the settings that need a restart, as they were at
    // start-up, so that a reload can name those changed since.
    StartupOptions::SettingTexts restartOnlyAtStart;
    QString MessageOfTheDay;
    int MaxPilots = 0; // 0: no limit, counting this server's own pilots
    // The crash notice sent for every crash report; only its text changes,
    // on reload.
    Packet CrashNotice;
    BanList bans;
    // Where records go: off, to ClientConnectPort of the address a pilot
    // sends from; on, to the very address and port it sends from, so that
    // pilots behind one router (one public address) each get their own.
    bool ReplyToSourcePort = false;
    quint16 ClientConnectPort = ServerOptionsLayout::DefaultClientConnectPort;
};

// What the run has made so far: the registry, the server-ID counter, the
// receive guard, the throttles, the counters and, when it is on, the sky.
struct RunState {
    qint32 LastServerID = 0;
    bool ReceiveReady = true;
    Players players;
    LogonThrottle logonThrottle;
    ServerCounters counters;
    std::unique_ptr<SkyState> sky; // null: the server is alone
};

// What the run works through: the event log, the settings accessors, and
// the clock, sender and yield behind the seams.
struct ServerServices {
    ServerServices(Clock &clock, Sender &sender, Yield &yield) : clock(clock), sender(sender), yielder(yield) {}
    EventLog log;
    INIFiles UsersIni;
    INIFiles ServerIni;
    Clock &clock;
    Sender &sender;
    Yield &yielder;
};

// The state of one server run: its options, its run state and its
// services, with the helpers every handler uses. Tests make a fresh one per
// case.
class ServerContext : public ServerOptions, public RunState, public ServerServices
{
public:
    // The context keeps references to the clock, sender and yield it is
    // given: they must outlive it.
    ServerContext(Clock &clock, Sender &sender, Yield &yield);

    // Joins a sky as `node`: server IDs are handed out from that node's
    // range from now on.
    void joinSky(std::unique_ptr<SkyState> state);
    // The largest server ID this run may hand out.
    qint32 lastServerIdAllowed() const;
    // This server's own pilots, without those of other nodes.
    int localPlayerCount() const { return players.count() - (sky ? sky->remotePlayerCount() : 0); }

    void setCrashText(const QString &crashMessage);

    // Where answers to a datagram from `source` go, and so the endpoint of a
    // pilot who logs on from there: its address at ClientConnectPort, or
    // `source` itself with ReplyToSourcePort. A record that names a player
    // counts only when this is that player's endpoint.
    Endpoint replyEndpoint(const Endpoint &source) const
    {
        return ReplyToSourcePort ? source : source.withPort(ClientConnectPort);
    }
    // An endpoint as people see it, in the log, the status and kick's
    // answer: the address alone ("a.b.c.d", the port is always
    // ClientConnectPort), or with ReplyToSourcePort address and port
    // ("a.b.c.d:port", "[v6]:port"), which tells two pilots behind one
    // router apart.
    QString endpointText(const Endpoint &endpoint) const
    {
        return ReplyToSourcePort ? endpoint.text() : endpoint.addressText();
    }

    // Whether ordinary and low-level lines are due; callers test before they
    // compose a line.
    bool ordinaryLinesOn() const { return DebugOn && log.isOpen(); }
    bool lowLevelLinesOn() const { return ordinaryLinesOn() && DebugLowLevelOn; }

    // Writes "hh:nn:ss - " and the event text.
    void logEvent(const QString &event);

    qint64 now() const { return clock.monotonicSeconds(); }
    qint64 wallNow() const { return clock.wallSeconds(); }
    void yield() { yielder.yield(); }
};

// Sets ReceiveReady to false for the life of a receive burst and back to
// true however the burst ends.
class ReceiveGuard
{
public:
    explicit ReceiveGuard(ServerContext &context) : m_context(context) { m_context.ReceiveReady = false; }
    ~ReceiveGuard() { m_context.ReceiveReady = true; }
    ReceiveGuard(const ReceiveGuard &) = delete;
    ReceiveGuard &operator=(const ReceiveGuard &) = delete;

private:
    ServerContext &m_context;
};
