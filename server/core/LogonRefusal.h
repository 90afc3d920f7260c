#pragma once

#include <QString>
#include <QTime>

// Why a logon was refused, as the log tells the operator beside the line
// "User rejected logon from ADDRESS". Made from the request and the run's
// state at the moment of refusal, and holding copies only, so it stays
// valid across the yields of the answer.
struct LogonRefusal {
    enum class Cause {
        UnknownPilot,      // no password stored for the pilot ID
        WrongPassword,
        Banned,            // `detail`: the ban's target and reason
        Full,              // `detail`: the pilot limit
        ThrottledByAddress,
        ThrottledByPilotId,
        LogonRate,         // too many accepted logons for the pilot ID
        HandleInUse,       // a player's handle differs from it only in letter case
        NoServerIdLeft,
    };

    Cause cause = Cause::WrongPassword;
    QString detail;
    // For the throttles: when the block ends, as local time of day.
    QTime until;
    // A throttled logon left without an answer (at most one a second goes
    // to a throttled address).
    bool unanswered = false;

    // Refused by a throttle, without the password being read or after it.
    bool throttled() const
    {
        return cause == Cause::ThrottledByAddress || cause == Cause::ThrottledByPilotId || cause == Cause::LogonRate;
    }

    // "Logon refused for pilot 42 as "Ann": wrong password"; the handle,
    // network text, made one line.
    QString logText(qint32 pilotId, const QString &handle) const;
};
