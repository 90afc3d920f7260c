#include "RelayService.h"

#include "HeartbeatSweep.h"
#include "ServiceManager.h"
#include "StartupOptions.h"

#include <cstdio>
#include <unistd.h>

RelayService::RelayService(QObject *parent)
    : QObject(parent), m_context(m_clock, m_sender, m_yield),
      m_receivePath(m_context, m_arrivals,
                    [this] { QMetaObject::invokeMethod(this, [this] { m_receivePath.onDataArrival(); }, Qt::QueuedConnection); })
{
    m_endpoint.setObjectName(QStringLiteral("endpoint"));
    m_sweepTimer.setObjectName(QStringLiteral("sweepTimer"));
    m_sender.attach(m_endpoint, m_context.counters);
    m_yield.attach(m_endpoint);
    m_sweepTimer.setInterval(HeartbeatSweep::TimerIntervalMs);
    connect(&m_sweepTimer, &QTimer::timeout, this, [this] { HeartbeatSweep::onSweepTick(m_context); });
    connect(&m_endpoint, &UdpEndpoint::closed, this, [this] { HeartbeatSweep::onSocketClosed(m_context); });
    connect(&m_endpoint, &UdpEndpoint::dataArrival, this, [this] { m_receivePath.onDataArrival(); });
    m_sweepTimer.start();
}

RelayService::~RelayService()
{
    stopListening();
    m_operatorAccess.reset();
}

bool RelayService::startListening(QString *errorText, int storedSocket)
{
    const std::optional<StartupOptions::Ports> ports = StartupOptions::readPorts(m_context.ServerIni, errorText);
    if (!ports && storedSocket >= 0)
        ::close(storedSocket);
    if (ports) {
        m_context.ClientConnectPort = ports->replyPort;
        if (bindOrAdopt(ports->localPort, storedSocket, errorText)) {
            if (m_context.ordinaryLinesOn())
                m_context.logEvent(QStringLiteral("Listening on ") + m_endpoint.localAddress());
            return true;
        }
    }
    stopListening();
    return false;
}

bool RelayService::bindOrAdopt(quint16 localPort, int storedSocket, QString *errorText)
{
    if (storedSocket >= 0) {
        QString why;
        m_tookStoredSocket = m_endpoint.adopt(storedSocket, localPort, &why);
        if (m_tookStoredSocket)
            return true;
        std::fprintf(stderr, "VentoroServer: the UDP socket kept from the previous run is not used (%s)\n",
                     qPrintable(why));
        ::close(storedSocket);
        // The manager's copy would keep the port taken for the bind below;
        // it drops it soon after this, so a bind that loses that race fails
        // this start only.
        ServiceManager::forgetSocket("udp");
    }
    if (!m_endpoint.bind(localPort, errorText))
        return false;
    ServiceManager::storeSocket(m_endpoint.socketDescriptor(), "udp");
    return true;
}

void RelayService::stopListening()
{
    m_sweepTimer.stop();
    if (m_operatorAccess)
        m_operatorAccess->stop();
    m_endpoint.close();
}

void RelayService::startOperatorAccess(const QString &controlPath, const QString &instanceName, const QString &logPath)
{
    OperatorCommands::Reloads reloads;
    reloads.reload = [this](ServerReload::Reloader::ReloadDone done) { reload(std::move(done)); };
    reloads.reloadBans = [this](ServerReload::Reloader::BansDone done) { m_reloader.reloadBans(std::move(done)); };
    m_operatorAccess = std::make_unique<OperatorAccess>(m_context, m_endpoint, m_arrivals, instanceName, reloads);
    m_operatorAccess->start(controlPath);
    m_operatorAccess->printSummary(stdout, logPath);
}

namespace {

void tellOperator(const ServerReload::Report &report)
{
    QStringList lines = report.warnings;
    if (!report.restartOnly.isEmpty())
        lines.append(report.logLine);
    for (const QString &line : lines)
        std::fprintf(stderr, "VentoroServer: %s\n", qPrintable(line));
    std::fflush(stderr);
}

} // namespace

void RelayService::reload(ServerReload::Reloader::ReloadDone done)
{
    m_reloader.reload([done = std::move(done)](const ServerReload::Report &report) {
        tellOperator(report);
        if (done)
            done(report);
    });
}

void RelayService::startStatusPage(const StartupOptions::HttpOptions &http, int storedSocket)
{
    if (m_operatorAccess)
        m_operatorAccess->startStatusPage(http, stdout, storedSocket);
    else if (storedSocket >= 0)
        ::close(storedSocket);
}
