#include "SkyBench.h"

#include "BenchRecords.h"
#include "LoadDriver.h"
#include "SkyLoad.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace SkyBench {
namespace {

constexpr int WaitMs = 10000;
const QByteArray SkyName("bench");

// A process of the run, pinned to `cpu` (-1: not pinned), ended with it.
class Child
{
public:
    ~Child()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
    bool start(QString program, QStringList arguments, int cpu, const QProcessEnvironment &environment)
    {
        if (cpu >= 0) {
            arguments = QStringList{QStringLiteral("-c"), QString::number(cpu), program} + arguments;
            program = QStringLiteral("taskset");
        }
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // A bench killed outright takes the broker and the nodes with it.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(program, arguments);
        return m_process.waitForStarted(WaitMs);
    }
    // Waits until it says `text`; false when it ends or WaitMs pass first.
    bool waitForOutput(const QByteArray &text)
    {
        QDeadlineTimer deadline(WaitMs);
        while (!(m_output += m_process.readAll()).contains(text)) {
            if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(50);
        }
        return true;
    }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_output;
};

// One status request on the control socket of `instance`; empty when none
// answers within WaitMs.
QJsonObject status(const QString &instance)
{
    const int fd = LoopbackBench::connectToControlSocket(instance);
    QByteArray answer;
    if (fd >= 0 && ::write(fd, "status\n", 7) == 7) {
        QDeadlineTimer deadline(WaitMs);
        pollfd ready{fd, POLLIN, 0};
        while (!answer.contains('\n') && ::poll(&ready, 1, int(deadline.remainingTime())) > 0) {
            char bytes[4096];
            const ssize_t got = ::read(fd, bytes, sizeof bytes);
            if (got <= 0)
                break;
            answer.append(bytes, qsizetype(got));
        }
    }
    if (fd >= 0)
        ::close(fd);
    return QJsonDocument::fromJson(answer.left(answer.indexOf('\n'))).object();
}

// A server of the sky in a throw-away program directory, logging off.
struct Node {
    QTemporaryDir dir;
    QString instance;
    quint16 port = 0;
    Child child;

    bool start(const Settings &settings, int number, quint16 replyPort, quint16 natsPort)
    {
        instance = QStringLiteral("ventoro-skybench-%1-%2").arg(QString::number(QCoreApplication::applicationPid()), QString::number(number));
        port = LoadDriver::freePort("0.0.0.0");
        const QString program = dir.filePath(QStringLiteral("VentoroServer"));
        QFile ini(dir.filePath(QStringLiteral("VentoroServer.ini")));
        QFile users(dir.filePath(QStringLiteral("user.ini")));
        if (!QFile::copy(settings.base.serverBinary, program) || !ini.open(QIODevice::WriteOnly)
            || !users.open(QIODevice::WriteOnly) || users.write(BenchRecords::accounts(settings.base.pilots)) < 0)
            return false;
        ini.write("[General]\r\nDebug=0\r\nShowScreen=0\r\nConnectPort=" + QByteArray::number(port)
                  + "\r\nClientConnectPort=" + QByteArray::number(replyPort) + "\r\nSkyUrl=nats://127.0.0.1:"
                  + QByteArray::number(natsPort) + "\r\nSkyNode=" + QByteArray::number(number) + "\r\nSkyName=" + SkyName + "\r\n");
        ini.close();
        users.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("VENTORO_INSTANCE"), instance);
        child.process().setWorkingDirectory(dir.path());
        return child.start(program, {}, settings.base.relayCpu, environment);
    }
    QJsonObject sky() { return status(instance).value(QLatin1String("sky")).toObject(); }
    int players() { return int(status(instance).value(QLatin1String("players")).toArray().size()); }
    double cpu() { return LoopbackBench::cpuMicroseconds(child.process().processId()); }
    // The server's own thread: the rest is the NATS client's.
    double mainThreadCpu()
    {
        return LoopbackBench::cpuMicroseconds(child.process().processId(), child.process().processId());
    }
};

// True once every node lists every pilot, its own and the others'.
bool waitForWholeSky(std::vector<std::unique_ptr<Node>> &nodes, int pilots)
{
    QDeadlineTimer deadline(WaitMs);
    for (;;) {
        bool all = true;
        for (const auto &node : nodes)
            all = all && node->players() == pilots;
        if (all || deadline.hasExpired())
            return all;
        ::usleep(100'000);
    }
}

void printDelivery(const char *name, const SkyLoad::Delivery &delivery)
{
    std::printf("sky: %-10s %lld of %lld relays received (loss %.2f%%), latency p50 %.0f us, p99 %.0f us, max %.0f us\n",
                name, static_cast<long long>(delivery.latencies.count()), static_cast<long long>(delivery.expected),
                delivery.lossPercent(), double(delivery.latencies.percentileNs(0.5)) / 1e3,
                double(delivery.latencies.percentileNs(0.99)) / 1e3, double(delivery.latencies.percentileNs(1.0)) / 1e3);
}

struct NodeFigures {
    double cpuUs = 0;
    double mainThreadCpuUs = 0;
    qint64 messagesOut = 0;
    qint64 recordsOut = 0;
    qint64 datagramsReceived = 0;
};

NodeFigures figuresOf(Node &node)
{
    const QJsonObject status = SkyBench::status(node.instance);
    const QJsonObject sky = status.value(QLatin1String("sky")).toObject();
    return {node.cpu(), node.mainThreadCpu(), sky.value(QLatin1String("messagesOut")).toInteger(),
            sky.value(QLatin1String("recordsOut")).toInteger(),
            status.value(QLatin1String("counters")).toObject().value(QLatin1String("datagramsReceived")).toInteger()};
}

} // namespace

namespace {

quint16 freeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

struct SkyFigures {
    bool ok = false;
    double cpuUsPerRecord[2] = {0, 0};
};

void printNode(int number, const NodeFigures &before, const NodeFigures &after, qint64 received, SkyFigures &figures)
{
    const qint64 messages = after.messagesOut - before.messagesOut;
    const qint64 records = after.recordsOut - before.recordsOut;
    const qint64 datagrams = after.datagramsReceived - before.datagramsReceived;
    const double cpu = after.cpuUs - before.cpuUs;
    const double mainCpu = after.mainThreadCpuUs - before.mainThreadCpuUs;
    figures.cpuUsPerRecord[number - 1] = received > 0 ? cpu / double(received) : 0;
    std::printf("sky: node %d published %lld NATS messages (presence included) for %lld records from %lld datagrams "
                "received (%.3f messages per record, %.3f per datagram)\n",
                number, static_cast<long long>(messages), static_cast<long long>(records), static_cast<long long>(datagrams),
                records > 0 ? double(messages) / double(records) : 0.0, datagrams > 0 ? double(messages) / double(datagrams) : 0.0);
    std::printf("sky: node %d used %.2f us CPU per record sent to its pilots (%lld sent), %.0f%% of it on the server's "
                "own thread, the rest on the NATS client's\n", number, figures.cpuUsPerRecord[number - 1],
                static_cast<long long>(received), cpu > 0 ? 100.0 * mainCpu / cpu : 0.0);
}

SkyFigures flySky(const Settings &settings)
{
    const LoopbackBench::Settings &base = settings.base;
    SkyFigures figures;
    Child nats;
    const quint16 natsPort = freeTcpPort();
    if (!nats.start(settings.natsServer, {QStringLiteral("-a"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                          QString::number(natsPort)}, base.relayCpu, QProcessEnvironment::systemEnvironment())
        || !nats.waitForOutput("Server is ready")) {
        std::fprintf(stderr, "sky: %s did not start\n", qPrintable(settings.natsServer));
        return figures;
    }
    const quint16 replyPort = LoadDriver::freePort("127.0.0.2");
    std::vector<std::unique_ptr<Node>> nodes;
    for (int number = 1; number <= 2; ++number) {
        nodes.push_back(std::make_unique<Node>());
        if (!nodes.back()->start(settings, number, replyPort, natsPort)) {
            std::fprintf(stderr, "sky: node %d did not start\n", number);
            return figures;
        }
    }
    SkyLoad load({nodes[0]->port, nodes[1]->port}, base.rate);
    if (!load.addPilots(base.pilots, replyPort) || !load.logOn() || !waitForWholeSky(nodes, base.pilots)) {
        std::fprintf(stderr, "sky: the pilots were not all logged on and seen by both nodes within the time\n");
        return figures;
    }
    load.sendAircraftDetails();
    load.fly(0, 300'000'000);
    const qint64 dropsBefore = load.receiveDrops();
    const NodeFigures before[2] = {figuresOf(*nodes[0]), figuresOf(*nodes[1])};
    load.fly(qint64(base.seconds) * 1'000'000'000, 1'000'000'000);
    const NodeFigures after[2] = {figuresOf(*nodes[0]), figuresOf(*nodes[1])};
    std::printf("sky: 2 nodes x %d pilots x %d Hz for %d s over one nats-server%s\n", base.pilots / 2, base.rate,
                base.seconds, base.relayCpu >= 0 ? " (nodes and broker on one CPU, the load generator on another)" : "");
    printDelivery("same-node", load.sameNode());
    printDelivery("cross-node", load.crossNode());
    for (int k = 0; k < 2; ++k)
        printNode(k + 1, before[k], after[k], load.receivedOnNode(k), figures);
    std::printf("sky: the pilots' sockets dropped %lld datagrams\n", static_cast<long long>(load.receiveDrops() - dropsBefore));
    figures.ok = true;
    return figures;
}

// The nats-server given when it is an executable file, else one on PATH or
// in /usr/sbin; empty when there is none.
QString natsServerBinary(const QString &given)
{
    if (QFileInfo(given).isFile() && QFileInfo(given).isExecutable())
        return given;
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("nats-server"));
    return onPath.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("nats-server"), {QStringLiteral("/usr/sbin")})
                            : onPath;
}

} // namespace

int run(const Settings &given)
{
    Settings settings = given;
    settings.natsServer = natsServerBinary(given.natsServer);
    if (settings.natsServer.isEmpty()) {
        std::fprintf(stderr, "sky: no nats-server (give --nats PATH, or `make test-tools`)\n");
        return 1;
    }
    LoopbackBench::pinTo(settings.base.driverCpu);
    const SkyFigures sky = flySky(settings);
    if (!sky.ok)
        return 1;
    LoopbackBench::Settings lone = settings.base;
    lone.relay = LoopbackBench::Settings::Relay::Server;
    const LoopbackBench::Result alone = LoopbackBench::run(lone);
    if (!alone.ok)
        return 1;
    std::printf("sky: a lone server with %d pilots: %.2f us CPU per record sent (loss %.2f%%, p50 %.0f us, p99 %.0f us); "
                "node 1 %.2fx, node 2 %.2fx of it\n",
                lone.pilots, alone.cpuUsPerRelay, alone.lossPercent, alone.p50us, alone.p99us,
                alone.cpuUsPerRelay > 0 ? sky.cpuUsPerRecord[0] / alone.cpuUsPerRelay : 0.0,
                alone.cpuUsPerRelay > 0 ? sky.cpuUsPerRecord[1] / alone.cpuUsPerRelay : 0.0);
    return 0;
}

} // namespace SkyBench
