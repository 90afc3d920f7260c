#pragma once

// Fakes for the server core's seams, and one fresh server run per test:
// a clock that only moves when told, a sender that records every datagram,
// a yield that can run scripted events (a timer tick, a close notification)
// in the middle of a send loop, and a log kept in memory.
#include "Packet.h"
#include "Seams.h"
#include "ServerContext.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class FakeClock : public Clock
{
public:
    QTime timeOfDay() const override { return m_time; }
    qint64 monotonicSeconds() const override { return m_seconds; }
    qint64 wallSeconds() const override { return m_seconds + WallOffset; }
    qint64 arrivalClockNowNs() const override { return arrivalNowNs; }
    qint64 arrivalNowNs = 0; // the kernel's clock as received datagrams are stamped; 0: unknown
    void advance(qint64 seconds) { m_seconds += seconds; }
    void setTimeOfDay(QTime time) { m_time = time; }
    // The wall clock runs with the monotonic one, from 2027-01-15T08:00:00Z.
    static constexpr qint64 WallOffset = 1800000000 - 100000;

private:
    QTime m_time{9, 5, 7};
    qint64 m_seconds = 100000;
};

struct SentRecord {
    QString ip;  // the destination's address as text
    Endpoint to; // the whole destination
    QByteArray bytes;
    Sender::WhenFull whenFull = Sender::WhenFull::WaitForRoom;
    Packet packet() const { return Packet::fromDatagram(bytes); }
};

class RecordingSender : public Sender
{
public:
    bool send(const Endpoint &to, const Packet &record, WhenFull whenFull) override;
    QList<SentRecord> sent;
};

class ScriptedYield : public Yield
{
public:
    void yield() override;
    int count = 0;
    // Runs inside the yield with the yield's number (from 1).
    std::function<void(int)> onYield;

private:
    bool m_running = false;
};

class CoreHarness
{
public:
    explicit CoreHarness(bool debugOn = true, bool lowLevelOn = true);

    FakeClock clock;
    RecordingSender sender;
    ScriptedYield yield;
    std::unique_ptr<ServerContext> context;

    ServerContext &ctx() { return *context; }
    void addAccount(qint32 pilotID, const QByteArray &password, const QByteArray &name = {});
    // From "a.b.c.d", "a.b.c.d:port" or "[v6]:port" (an address alone
    // sends from port 0).
    void receive(const QByteArray &datagram, const QString &source);
    // Logs on a pilot with a fresh account; returns its player.
    PlayerPtr logOn(const QString &handle, const QString &source);
    // Logs the handles on in order from 127.0.0.2, 127.0.0.3, ... (server
    // IDs 1, 2, ...), each from port 40000, then forgets what that sent and
    // logged.
    QList<PlayerPtr> logOnAll(const QStringList &handles);
    QStringList logLines() const;
    void clearRecords();

private:
    QTemporaryDir m_dir;
    QByteArray m_log;
    class QBuffer *m_logBuffer = nullptr; // owned by the context's log
    qint32 m_nextPilot = 100;
};

// The endpoint written as text: "a.b.c.d", "a.b.c.d:port" or "[v6]:port";
// the unspecified endpoint when the text is none of these.
Endpoint endpointOf(const QString &text);

// Client records, built byte by byte as a client would.
namespace ClientRecords {
QByteArray logonRequest(qint32 pilotID, qint32 password, const QString &handle);
QByteArray keepAlive(qint32 senderID);
// A flight record whose bytes after the header are a recognisable pattern.
QByteArray flightRecord(qint32 type, qint32 senderID, char fill = 'x');
} // namespace ClientRecords

// Golden bytes, written from the record tables independently of the codec.
namespace Golden {
void putInt32(QByteArray &bytes, int offset, qint32 value);
void putText(QByteArray &bytes, int offset, int chars, const QString &text);
QByteArray record(qint32 packetClass, qint32 type, qint32 senderID = 0);
QByteArray playerNotice(qint32 type, qint32 playerID, const QString &handle);
} // namespace Golden
