#include "ServerContext.h"

#include "Records.h"

ServerContext::ServerContext(Clock &clock, Sender &sender, Yield &yield)
    : clock(clock), sender(sender), yielder(yield)
{
}

void ServerContext::setCrashText(const QString &crashMessage)
{
    CrashNotice = Records::crashNoticeWithText(crashMessage);
}

void ServerContext::logEvent(const QString &event)
{
    log.WriteLog(clock.timeOfDay().toString(QStringLiteral("hh:mm:ss")) + QStringLiteral(" - ") + event);
}
