#pragma once

#include "Endpoint.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class ServerContext;

// A checkpoint of the player registry, so that a restart (an upgrade, a
// crash and its restart) keeps every pilot registered under the same server
// ID. Pure: it turns a run's registry into bytes and bytes back into a
// registry; where the bytes are kept, and when, is the program's business.
//
// Times cross runs as ages: the monotonic clock a heartbeat is counted on
// starts afresh with each run, so a checkpoint holds the wall time it was
// written and each player's age at that moment, and a restore ages every
// player by the gap between the write and the restore. A pilot restored
// that stays silent therefore expires when its last real keep-alive is 60
// seconds old, as it would have without the restart.
//
// The bytes are untrusted on the way back (a file another program may have
// written, cut short by a crash, or left by another version): decode()
// takes any input and gives either a checkpoint whose every field is in
// range and consistent, or the reason it gives none.
namespace RegistryCheckpoint {

// A checkpoint older than this is not restored: its players would have
// expired by now anyway, and the pilots will have logged on elsewhere.
constexpr qint64 MaxAgeMs = 60000;
// Larger files are not read; a registry of 65536 players needs well below.
constexpr qsizetype MaxBytes = 16 * 1024 * 1024;
constexpr int MaxPlayers = 65536;

// What a registry is only valid with: the ports the pilots talk to and the
// mode their endpoints were taken in.
struct Setup {
    quint16 connectPort = 0;
    quint16 clientConnectPort = 0;
    bool replyToSourcePort = false;
    friend bool operator==(const Setup &, const Setup &) = default;
};

struct PlayerState {
    QString handle;
    Endpoint endpoint;
    qint32 serverId = 0;
    qint32 pilotId = 0;
    qint64 heartbeatAgeS = 0; // since its last sign of life, when written
    qint64 loggedOnAgeS = 0;  // since its logon was accepted, when written
    bool sentPlaneType = false;
};

// The run's identity in a sky, so that a node restarted within the sky's
// silence limit comes back as the same run: the other nodes keep its pilots
// instead of replacing its roster. Node 0: no sky.
struct SkyRun {
    int node = 0;
    quint64 runId = 0;
    qint64 startedAtMs = 0;
};

struct Checkpoint {
    qint64 writtenAtMs = 0; // wall clock, milliseconds since 1970 UTC
    SkyRun sky;
    Setup setup;
    qint32 lastServerId = 0;
    QList<PlayerState> players; // in registry order
};

// The registry and server-ID counter of `context` as they stand at
// `wallNowMs`, in registry order.
Checkpoint capture(const ServerContext &context, const Setup &setup, qint64 wallNowMs);

QByteArray encode(const Checkpoint &checkpoint);

struct Decoded {
    std::optional<Checkpoint> checkpoint;
    QString problem; // why there is none, for the operator
};
Decoded decode(const QByteArray &bytes);

struct Restored {
    int players = 0;
    qint64 gapMs = 0;
    QString problem; // why nothing was restored; empty when it was
};

// Puts the checkpoint's players into the empty registry of `context` and
// keeps its server-ID counter, when the checkpoint was written for `setup`
// and at most MaxAgeMs before `wallNowMs`. Each player's heartbeat and
// logon are set back by their age and by the gap; then a player a ban in
// force covers is removed, as a reload of the bans removes it (the others
// are told, which sends and yields). Otherwise, or when the registry is not
// empty, nothing changes and `problem` says why.
Restored restore(ServerContext &context, const Checkpoint &checkpoint, const Setup &setup, qint64 wallNowMs);

} // namespace RegistryCheckpoint
