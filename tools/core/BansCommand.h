#pragma once

#include <QString>

#include <optional>

class BanTarget;

// The bans in bans.ini beside user.ini of a program directory, changed
// without a running server: each change holds the accounts lock from its
// read to its replacement (waiting a few seconds, then giving up changing
// nothing), replaces the file in one step, and drops the bans that have
// expired. Telling a running server is the caller's part.
namespace BansCommand {

// What a command prints and how the program ends: exit status 0 when it
// did what was asked, 1 when it was refused or failed (the reason is in
// `error`, and bans.ini is as it was).
struct Result {
    int exitCode = 0;
    QString output;
    QString error;
};

// Longest a ban may be given for: a hundred years.
constexpr qint64 MaxDurationSeconds = 100LL * 365 * 86400;

// "90" or "90s" seconds, "30m", "2h", "7d", "1w"; from 1 second to
// MaxDurationSeconds. Nothing for any other text.
std::optional<qint64> durationSeconds(const QString &text);

// Bans TARGET (a pilot ID, an address or a network; see BanTarget) for
// `seconds` from `now` (seconds since 1970 UTC), or for good when there
// are none, replacing any ban of the same target. The reason is one line.
// A network wider than an IPv4 /8 or an IPv6 /32, or one that holds every
// IPv4 address in its IPv6 form, is banned only with `force`; without it
// the answer says how much it would cover. bans.ini keeps at most
// BansFileLayout::MaxEntries bans.
Result ban(const QString &programDirectory, const QString &target, std::optional<qint64> seconds,
           const QString &reason, qint64 now, bool force = false);

// How much a network needs `force` for: "every IPv4 address", "33554432
// IPv4 addresses (1/128 of them all)"; empty for a target that needs none.
QString widthNeedingForce(const BanTarget &target);

// Lifts the ban of TARGET. A target with no ban changes nothing and says so.
Result unban(const QString &programDirectory, const QString &target, qint64 now);

// One line per ban in force at `now`: target, until when, reason.
Result list(const QString &programDirectory, qint64 now);

} // namespace BansCommand
