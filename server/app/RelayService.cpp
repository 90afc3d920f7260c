#include "RelayService.h"

#include "HeartbeatSweep.h"
#include "SkyHandling.h"
#include "SkyLink.h"
#include "ServiceManager.h"
#include "StartupOptions.h"

#include <QRandomGenerator>

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
    connect(&m_sweepTimer, &QTimer::timeout, this, [this] {
        HeartbeatSweep::onSweepTick(m_context);
        SkyHandling::flushIfIdle(m_context);
    });
    connect(&m_endpoint, &UdpEndpoint::closed, this, [this] { HeartbeatSweep::onSocketClosed(m_context); });
    connect(&m_endpoint, &UdpEndpoint::dataArrival, this, [this] { m_receivePath.onDataArrival(); });
    m_sweepTimer.start();
}

RelayService::RelayService(const RelaySettings &settings, QObject *parent) : RelayService(parent)
{
    const StartupOptions::Options &options = settings.options;
    m_context.ServerIni = settings.serverIni;
    m_context.UsersIni.FileName(settings.usersIni.toStdString());
    m_context.DebugOn = options.DebugOn;
    m_context.DebugLowLevelOn = options.DebugLowLevelOn;
    m_context.ReplyToSourcePort = options.ReplyToSourcePort;
    m_context.setCrashText(options.CrashText);
    m_context.MessageOfTheDay = options.MessageOfTheDay;
    m_context.MaxPilots = options.MaxPilots;
    m_context.restartOnlyAtStart = StartupOptions::readRestartOnly(m_context.ServerIni);
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
    m_skyTimer.stop();
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

bool RelayService::joinSky(const SkyOptions::Options &sky, const RegistryCheckpoint::SkyRun &previous,
                           QString *errorText)
{
    m_skyLink = std::make_unique<SkyLink>(m_skyInbox, [this] {
        QMetaObject::invokeMethod(this, [this] { m_receivePath.onDataArrival(); }, Qt::QueuedConnection);
    });
    const bool resumed = previous.node == sky.node && previous.runId != 0;
    const quint64 runId = resumed ? previous.runId : QRandomGenerator::system()->generate64();
    const qint64 startedAtMs = resumed ? previous.startedAtMs : m_clock.wallMs();
    auto state = std::make_unique<SkyState>(sky.node, sky.name, runId, startedAtMs, *m_skyLink);
    const SkyConnection connection{sky.url, QStringLiteral("VentoroServer node ") + QString::number(sky.node),
                                   sky.credentials, sky.caFile};
    const QByteArray subjects = state->subject(">");
    m_context.joinSky(std::move(state));
    if (m_context.ordinaryLinesOn())
        m_context.logEvent(QStringLiteral("Joining the sky \"") + sky.name + QStringLiteral("\" as node ")
                           + QString::number(sky.node) + QStringLiteral(" at ") + SkyOptions::redactedUrl(sky.url));
    if (!m_skyLink->start(connection, subjects, errorText)) {
        m_context.sky->left = true;
        m_context.sky->leftReason = *errorText;
        return false;
    }
    m_receivePath.setSkyInbox(&m_skyInbox);
    m_skyTimer.setInterval(500);
    connect(&m_skyTimer, &QTimer::timeout, this, [this] {
        SkyHandling::onTick(m_context);
        m_receivePath.raiseRefused();
    });
    m_skyTimer.start();
    return true;
}
