#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <sys/types.h>

// Where the bans stand in bans.ini, the file beside user.ini that the
// server reads at start-up and on reload and that `ventoro ban` and `unban`
// rewrite. One section per ban, named by what is banned: a pilot ID
// ("1234") or an address, with the length of its network prefix for a
// network ("192.0.2.7", "198.51.100.0/24", "2001:db8::/32"). Its keys:
//
//   Reason=text      why, one line, for the operator (may be empty)
//   Expires=time     when the ban ends, in UTC as 2026-12-07T10:00:00Z;
//                    missing or empty: never
//
// Expiries are wall-clock times because bans outlive the server's runs.
// Which section names are pilot IDs or addresses is decided where the
// bans are used; here they are text as the file holds it.
//
// Limits, so that a file can neither pin the server's memory nor its time:
// at most MaxFileBytes and MaxEntries sections. A larger file is refused
// whole, never taken in part.
namespace BansFileLayout {

inline constexpr char FileName[] = "bans.ini";
inline constexpr char ReasonKey[] = "Reason";
inline constexpr char ExpiresKey[] = "Expires";

// Reasons may name people: the owner writes the file, its group (the
// server's) reads it, nobody else may, whatever the writer's umask.
inline constexpr mode_t NewFileMode = 0640;

inline constexpr size_t MaxEntries = 500000;
inline constexpr size_t MaxFileBytes = 64 * 1024 * 1024;

struct Entry {
    std::string target;
    std::string reason;
    std::optional<std::int64_t> expires; // seconds since 1970 UTC; none: never
    // The file held an Expires text that is no such time. Such a ban is
    // kept without an end rather than dropped, and the text is written back
    // as it stood: a typing error in the file must not let a banned pilot
    // in, nor be turned into a ban for good behind the operator's back.
    bool expiresUnreadable = false;
    std::string expiresText; // as the file held it, when unreadable
};

enum class FileStatus { Ok, Missing, Unreadable, TooLarge };

struct ReadResult {
    FileStatus status = FileStatus::Unreadable;
    std::vector<Entry> entries;
    // Why the file could not be taken ("not a regular file", "more than
    // 500000 sections"), for the operator.
    std::string problem;
};

// bans.ini in the directory of `usersIni`.
std::string pathBeside(const std::string &usersIni);

// Every section with a heading, in file order; a name that occurs again
// (in any letter case) counts once, with the values of its first section.
// Lines, blanks, names and encodings are read as the settings accessor
// reads them. Nothing, with `tooMany` set, when there are more than
// `maxEntries` sections.
std::vector<Entry> parse(std::string_view fileBytes, size_t maxEntries = MaxEntries, bool *tooMany = nullptr);

// The file for `entries`, in their order, lines ended by CR LF. A reason is
// written up to its first line break.
std::string serialize(const std::vector<Entry> &entries);

// A missing file holds no bans; one that cannot be read (no permission, not
// a regular file) or that is beyond the limits says so. Never waits on what
// stands at the path (see AtomicFile::readAll).
ReadResult read(const std::string &path);

// Replaces the file in one step (see AtomicFile::replaceContents, which
// follows no link another user could have put there). A new file gets
// NewFileMode and, where the writer may give it, the group of `groupOf`
// (user.ini), which is the group the server reads the accounts with, before
// it is in place. False, with the file as it was, when it cannot be written.
bool write(const std::string &path, const std::vector<Entry> &entries, const std::string &groupOf);

// "2026-12-07T10:00:00Z" for seconds since 1970, and back; a text in any
// other form gives nothing.
std::string timeText(std::int64_t secondsSince1970);
std::optional<std::int64_t> timeFromText(std::string_view text);

} // namespace BansFileLayout
