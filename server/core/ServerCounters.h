#pragma once

#include <QtGlobal>

#include <map>

// What one server run has done, for the operator: counted as it happens,
// never reset, read by the status report.
struct ServerCounters {
    quint64 datagramsReceived = 0;  // handed to the record handling
    quint64 recordsRelayed = 0;     // records passed on to another player, one per recipient
    quint64 recordsIgnored = 0;     // unknown class or type, a SenderID not from its player's endpoint, or a sender that cannot be answered
    quint64 logonsAccepted = 0;
    quint64 logonsRejected = 0;     // throttled, banned and refused-full ones included
    quint64 logonsThrottled = 0;    // refused by the throttle: for the address, the pilot ID or the logon rate
    quint64 logonsBanned = 0;       // refused for a ban, without looking at the accounts
    quint64 logonsRefusedFull = 0;  // refused for the pilot limit, without looking at the accounts
    quint64 logonsUnanswered = 0;   // throttled ones left without LogonRejected: one a second goes to a throttled address
    quint64 staleFlightDataDropped = 0;
    quint64 playersRestored = 0;    // taken over from the previous run's checkpoint at start-up
    std::map<qint32, quint64> sendFailuresByType; // by PacketType of the record that could not be sent
};
