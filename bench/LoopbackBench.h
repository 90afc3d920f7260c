#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Starts the real server in a throw-away program directory on free ports
// (logging off), or the yardstick relay, logs `pilots` clients on from
// 127.0.0.2 upwards, and has each send flight data at `rate` records a
// second for `seconds`, with a keep-alive every two seconds. Every relayed
// record carries its send time, so the driver measures throughput, loss and
// latency; the relay's CPU time comes from /proc. The relay and the driver
// can each be pinned to one CPU. Sends only to 127.0.0.1 and ends the
// process it started.
namespace LoopbackBench {

// CPU time (user + system) a process has used, or with `thread` that one
// thread of it, in microseconds; 0 when /proc does not say.
double cpuMicroseconds(qint64 pid, qint64 thread = 0);

// A stream socket connected to the control socket of the server named
// `instance`, found where `ventoro` looks; -1 when none answers.
int connectToControlSocket(const QString &instance);

struct Settings {
    QString serverBinary;
    QString yardstickBinary;
    enum class Relay { Server, Yardstick, GsoYardstick };
    Relay relay = Relay::Server;
    int pilots = 20;
    int rate = 20;
    int seconds = 5;
    int relayCpu = -1;  // -1: not pinned
    int driverCpu = -1;
    int httpPort = 0;   // the server's HttpPort (its status page); 0: off
    QByteArray accountsFile; // the server's user.ini; empty: accounts 1..N
};

struct Result {
    bool ok = false;
    qint64 expected = 0;
    qint64 delivered = 0;
    double relaysPerSecond = 0;
    double lossPercent = 0;
    double latePercent = 0; // of the delivered relays, later than 100 ms
    double p50us = 0;
    double p99us = 0;
    double maxUs = 0;
    double cpuUsPerRelay = 0; // the relay's user + system time per delivered relay
    qint64 keepAlivesSent = 0;
    qint64 keepAliveEchoes = 0;
    double residentAtStartMB = 0;
    double residentAtEndMB = 0;
    // The load generator's own CPU time over the flight, as a share of the
    // wall time (of the one CPU it is pinned to), and the datagrams its
    // pilots' sockets dropped for want of room: near 100% or any drop means
    // the load generator, not the relay, may be the limit.
    double driverCpuPercent = 0;
    qint64 driverDrops = 0;
};

// The server, in a throw-away program directory on free ports with logging
// off and accounts for pilots 1..accounts, or a yardstick; pinned to the
// relay CPU when one is set. What it writes on stderr goes to this
// process's stderr. Ended when this is destroyed.
class RelayProcess
{
public:
    RelayProcess(const Settings &settings, int accounts);
    ~RelayProcess();
    RelayProcess(const RelayProcess &) = delete;
    RelayProcess &operator=(const RelayProcess &) = delete;

    bool started() const { return m_started; }
    QString programDirectory() const { return m_dir.path(); }
    qint64 processId() const { return m_process.processId(); }
    QString instance() const { return m_instance; } // its VENTORO_INSTANCE
    quint16 serverPort() const { return m_serverPort; }
    quint16 replyPort() const { return m_replyPort; }
    // The relay's CPU time so far (user + system) and its resident size.
    double cpuMicroseconds() const;
    double residentMegabytes() const;

private:
    QTemporaryDir m_dir;
    QString m_instance;
    QProcess m_process;
    quint16 m_serverPort;
    quint16 m_replyPort;
    bool m_started = false;
};

// Pins the calling process to a CPU (-1: leaves it as it is).
void pinTo(int cpu);
// Picks the relay's and the load generator's CPUs: the first two this
// process may use; both stay -1 when there are fewer.
void chooseCpus(Settings *base);
const char *relayName(Settings::Relay relay);
Result run(const Settings &settings);
void print(const Settings &settings, const Result &result);

} // namespace LoopbackBench
