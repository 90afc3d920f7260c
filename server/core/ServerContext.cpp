#include "ServerContext.h"

#include "Records.h"

#include <limits>

ServerContext::ServerContext(Clock &clock, Sender &sender, Yield &yield)
    : ServerServices(clock, sender, yield)
{
}

void ServerContext::joinSky(std::unique_ptr<SkyState> state)
{
    sky = std::move(state);
    LastServerID = qMax(LastServerID, SkyState::firstServerId(sky->node()) - 1);
}

qint32 ServerContext::lastServerIdAllowed() const
{
    return sky ? SkyState::lastServerId(sky->node()) : std::numeric_limits<qint32>::max();
}

void ServerContext::setCrashText(const QString &crashMessage)
{
    CrashNotice = Records::crashNoticeWithText(crashMessage);
}

void ServerContext::logEvent(const QString &event)
{
    log.WriteLog(clock.timeOfDay().toString(QStringLiteral("hh:mm:ss")) + QStringLiteral(" - ") + event);
}
