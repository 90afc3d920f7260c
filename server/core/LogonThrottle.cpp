#include "LogonThrottle.h"

LogonThrottle::Verdict LogonThrottle::beforePassword(const Endpoint &source, qint32 pilotId, qint64 now)
{
    const Endpoint unit = source.throttleUnit();
    if (const std::optional<qint64> until = m_byAddress.blockedUntil(unit, now))
        return {Block::Address, *until};
    if (const std::optional<qint64> until = m_wrongByPilotId.blockedUntil(pilotId, now)) {
        const Endpoint *lastAccepted = m_lastAcceptedFrom.object(pilotId);
        if (!lastAccepted || *lastAccepted != unit)
            return {Block::PilotId, *until};
    }
    return {};
}

LogonThrottle::Verdict LogonThrottle::logonRate(qint32 pilotId, qint64 now)
{
    if (const std::optional<qint64> until = m_acceptedByPilotId.blockedUntil(pilotId, now))
        return {Block::LogonRate, *until};
    return {};
}

void LogonThrottle::recordRejection(const Endpoint &source, qint64 now)
{
    m_byAddress.record(source.throttleUnit(), now);
}

void LogonThrottle::recordWrongPassword(const Endpoint &source, qint32 pilotId, qint64 now)
{
    recordRejection(source, now);
    m_wrongByPilotId.record(pilotId, now);
}

void LogonThrottle::recordAccepted(const Endpoint &source, qint32 pilotId, qint64 now)
{
    m_acceptedByPilotId.record(pilotId, now);
    m_lastAcceptedFrom.insert(pilotId, new Endpoint(source.throttleUnit()));
}

bool LogonThrottle::answerDue(const Endpoint &source, qint64 now)
{
    return m_byAddress.answerDue(source.throttleUnit(), now);
}
