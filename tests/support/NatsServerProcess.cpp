#include "NatsServerProcess.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

namespace {
constexpr int PollSliceMs = 20;
constexpr int KillWaitMs = 5000;
} // namespace

QString NatsServerProcess::findBinary(const QString &preferred)
{
    const QFileInfo given(preferred);
    if (given.isFile() && given.isExecutable())
        return given.absoluteFilePath();
    const QString name = QStringLiteral("nats-server");
    const QString onPath = QStandardPaths::findExecutable(name);
    return onPath.isEmpty() ? QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin")}) : onPath;
}

NatsServerProcess::NatsServerProcess(const QString &binary, quint16 clientPort)
    : m_binary(binary), m_port(clientPort)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

NatsServerProcess::~NatsServerProcess()
{
    kill();
}

void NatsServerProcess::setCluster(quint16 clusterPort, quint16 otherClusterPort)
{
    m_clusterPort = clusterPort;
    m_otherClusterPort = otherClusterPort;
}

bool NatsServerProcess::start(int timeoutMs)
{
    if (m_binary.isEmpty() || isRunning())
        return false;
    QStringList arguments{QStringLiteral("-a"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port)};
    if (m_clusterPort) {
        arguments << QStringLiteral("--cluster_name") << QStringLiteral("ventoro-test")
                  << QStringLiteral("--cluster") << QStringLiteral("nats://127.0.0.1:") + QString::number(m_clusterPort)
                  << QStringLiteral("--routes") << QStringLiteral("nats://127.0.0.1:") + QString::number(m_otherClusterPort);
    }
    m_runStart = output().size();
    m_process.start(m_binary, arguments, QIODevice::ReadOnly);
    return m_process.waitForStarted(KillWaitMs) && waitForOutput("Server is ready", m_runStart, timeoutMs);
}

bool NatsServerProcess::waitForRoute(int timeoutMs)
{
    return waitForOutput("Route connection created", m_runStart, timeoutMs);
}

void NatsServerProcess::kill()
{
    if (!isRunning())
        return;
    m_process.kill();
    m_process.waitForFinished(KillWaitMs);
    output();
}

QByteArray NatsServerProcess::output()
{
    if (m_process.isOpen())
        m_output += m_process.readAll();
    return m_output;
}

bool NatsServerProcess::waitForOutput(const QByteArray &text, qsizetype from, int timeoutMs)
{
    QDeadlineTimer deadline(qMax(0, timeoutMs));
    for (;;) {
        if (output().indexOf(text, from) >= 0)
            return true;
        if (!isRunning() || deadline.hasExpired())
            return false;
        m_process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), PollSliceMs)));
    }
}
