#include "LogonRefusal.h"

#include "LogonThrottle.h"
#include "NetworkText.h"

namespace {

QString causeText(const LogonRefusal &refusal)
{
    const QString until = refusal.until.toString(QStringLiteral("hh:mm:ss"));
    switch (refusal.cause) {
    case LogonRefusal::Cause::UnknownPilot:
        return QStringLiteral("unknown pilot");
    case LogonRefusal::Cause::WrongPassword:
        return QStringLiteral("wrong password");
    case LogonRefusal::Cause::Banned:
        return QStringLiteral("banned by ") + refusal.detail;
    case LogonRefusal::Cause::Full:
        return QStringLiteral("full (MaxPilots ") + refusal.detail + QLatin1Char(')');
    case LogonRefusal::Cause::ThrottledByAddress:
        return QStringLiteral("throttled by address until ") + until;
    case LogonRefusal::Cause::ThrottledByPilotId:
        return QStringLiteral("throttled by pilot ID until ") + until;
    case LogonRefusal::Cause::LogonRate:
        return QStringLiteral("logon rate (over ") + QString::number(LogonThrottle::MaxLogons)
            + QStringLiteral(" a minute) until ") + until;
    case LogonRefusal::Cause::HandleInUse:
        return QStringLiteral("handle in use in another letter case");
    case LogonRefusal::Cause::NoServerIdLeft:
        return QStringLiteral("no server ID left");
    }
    return QString();
}

} // namespace

QString LogonRefusal::logText(qint32 pilotId, const QString &handle) const
{
    return QStringLiteral("Logon refused for pilot ") + QString::number(pilotId) + QStringLiteral(" as \"")
        + NetworkText::oneLine(handle) + QStringLiteral("\": ") + causeText(*this)
        + (unanswered ? QStringLiteral(", not answered") : QString());
}
