#include "LoopbackBench.h"

#include "BenchRecords.h"
#include "LoadDriver.h"
#include "Packet.h"
#include "RuntimeDirectory.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace LoopbackBench {
namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

int connectToControlSocket(const QString &instance)
{
    QString path;
    for (const QString &directory : RuntimeDirectory::clientCandidates()) {
        if (path.isEmpty() && QFile::exists(RuntimeDirectory::controlPath(directory, instance)))
            path = RuntimeDirectory::controlPath(directory, instance);
    }
    const int fd = path.isEmpty() ? -1 : ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

double cpuMicroseconds(qint64 pid, qint64 thread)
{
    QFile stat(thread ? QStringLiteral("/proc/%1/task/%2/stat").arg(QString::number(pid), QString::number(thread))
                      : QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which is in parentheses.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    const double ticks = fields[11].toDouble() + fields[12].toDouble(); // utime, stime
    return ticks * 1e6 / double(::sysconf(_SC_CLK_TCK));
}

namespace {

// This process's own CPU time (user + system), in microseconds.
double ownCpuMicroseconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double residentMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

} // namespace

RelayProcess::RelayProcess(const Settings &settings, int accounts)
    : m_instance(QStringLiteral("ventoro-bench-%1").arg(QCoreApplication::applicationPid())),
      m_serverPort(LoadDriver::freePort("0.0.0.0")), m_replyPort(LoadDriver::freePort("127.0.0.2"))
{
    QString program;
    QStringList arguments;
    if (settings.relay != Settings::Relay::Server) {
        program = settings.yardstickBinary;
        arguments = {QString::number(m_serverPort), QString::number(m_replyPort)};
        if (settings.relay == Settings::Relay::GsoYardstick)
            arguments.prepend(QStringLiteral("--gso"));
    } else {
        program = m_dir.filePath(QStringLiteral("VentoroServer"));
        if (!QFile::copy(settings.serverBinary, program)
            || !writeFile(m_dir.filePath(QStringLiteral("VentoroServer.ini")),
                          "[General]\r\nDebug=0\r\nShowScreen=0\r\nConnectPort=" + QByteArray::number(m_serverPort)
                              + "\r\nClientConnectPort=" + QByteArray::number(m_replyPort)
                              + "\r\nHttpPort=" + QByteArray::number(settings.httpPort) + "\r\n")
            || !writeFile(m_dir.filePath(QStringLiteral("user.ini")),
                          settings.accountsFile.isEmpty() ? BenchRecords::accounts(accounts) : settings.accountsFile)) {
            std::fprintf(stderr, "cannot prepare the server's program directory\n");
            return;
        }
    }
    if (settings.relayCpu >= 0) {
        arguments.prepend(program);
        arguments.prepend(QString::number(settings.relayCpu));
        arguments.prepend(QStringLiteral("-c"));
        program = QStringLiteral("taskset");
    }
    m_process.setWorkingDirectory(m_dir.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // A lock of its own, so a server already running on this machine (or a
    // test's) neither blocks the run nor is blocked by it.
    environment.insert(QStringLiteral("VENTORO_INSTANCE"), m_instance);
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000)) {
        std::fprintf(stderr, "%s did not start\n", qPrintable(program));
        return;
    }
    m_started = true;
}

RelayProcess::~RelayProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(2000);
}

double RelayProcess::cpuMicroseconds() const
{
    return LoopbackBench::cpuMicroseconds(m_process.processId());
}

double RelayProcess::residentMegabytes() const
{
    return LoopbackBench::residentMegabytes(m_process.processId());
}

void chooseCpus(Settings *base)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    QList<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu) {
        if (CPU_ISSET(cpu, &allowed))
            cpus.append(cpu);
    }
    if (cpus.size() == 2) {
        base->relayCpu = cpus[0];
        base->driverCpu = cpus[1];
    }
}

void pinTo(int cpu)
{
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

Result run(const Settings &settings)
{
    pinTo(settings.driverCpu);
    RelayProcess relay(settings, settings.pilots);
    if (!relay.started())
        return {};
    LoadDriver driver(relay.serverPort(), settings.rate);
    if (!driver.addPilots(settings.pilots, relay.replyPort())) {
        std::fprintf(stderr, "cannot bind the pilots' sockets on 127.0.x.y:%u\n", relay.replyPort());
        return {};
    }
    if (!driver.logOn(0, settings.pilots)) {
        std::fprintf(stderr, "not every pilot was logged on within 30 s\n");
        return {};
    }
    driver.sendToAll(Packet::AircraftDetails);
    driver.runFor(100'000'000);

    const double cpuAtStart = relay.cpuMicroseconds();
    const double driverCpuAtStart = ownCpuMicroseconds();
    const qint64 dropsAtStart = driver.receiveDrops();
    Result result;
    result.residentAtStartMB = relay.residentMegabytes();
    driver.clearRecords();
    const qint64 start = driver.wallNow();
    driver.setFlying(0, settings.pilots, true);
    driver.runFor(qint64(settings.seconds) * 1'000'000'000);
    const qint64 end = driver.wallNow();
    result.driverCpuPercent = (ownCpuMicroseconds() - driverCpuAtStart) / (double(end - start) / 1e3) * 100;
    driver.setFlying(0, settings.pilots, false);
    driver.runFor(1'000'000'000); // what is still on its way
    const double cpu = relay.cpuMicroseconds() - cpuAtStart;
    result.residentAtEndMB = relay.residentMegabytes();
    result.driverDrops = driver.receiveDrops() - dropsAtStart;

    const LoadDriver::Window flight = driver.window(start, end);
    result.ok = true;
    result.expected = flight.expected;
    result.delivered = flight.delivered;
    result.relaysPerSecond = flight.relaysPerSecond();
    result.lossPercent = flight.lossPercent();
    result.latePercent = flight.laterThanPercent(100'000'000);
    result.p50us = flight.percentileUs(0.5);
    result.p99us = flight.percentileUs(0.99);
    result.maxUs = flight.percentileUs(1.0);
    result.cpuUsPerRelay = flight.delivered > 0 ? cpu / double(flight.delivered) : 0;
    result.keepAlivesSent = driver.keepAlivesSent();
    result.keepAliveEchoes = driver.keepAliveEchoes();
    return result;
}

const char *relayName(Settings::Relay relay)
{
    switch (relay) {
    case Settings::Relay::Server:
        return "server";
    case Settings::Relay::Yardstick:
        return "yardstick";
    case Settings::Relay::GsoYardstick:
        return "gso-yardstick";
    }
    return "";
}

void print(const Settings &settings, const Result &result)
{
    std::printf("loopback: %s, %d pilots x %d Hz for %d s: %lld of %lld relays received (loss %.2f%%), %.0f relayed "
                "datagrams/s, %.2f%% later than 100 ms, %.2f us CPU per relay, keep-alives echoed %lld of %lld\n",
                relayName(settings.relay), settings.pilots, settings.rate, settings.seconds,
                static_cast<long long>(result.delivered),
                static_cast<long long>(result.expected), result.lossPercent, result.relaysPerSecond, result.latePercent,
                result.cpuUsPerRelay, static_cast<long long>(result.keepAliveEchoes),
                static_cast<long long>(result.keepAlivesSent));
    std::printf("loopback: relay latency p50 %.0f us, p99 %.0f us, max %.0f us; resident %.1f MB -> %.1f MB\n",
                result.p50us, result.p99us, result.maxUs, result.residentAtStartMB, result.residentAtEndMB);
    std::printf("loopback: the load generator used %.0f%% of its CPU; its pilots' sockets dropped %lld datagrams\n",
                result.driverCpuPercent, static_cast<long long>(result.driverDrops));
}

} // namespace LoopbackBench
