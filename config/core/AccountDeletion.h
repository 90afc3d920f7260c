#pragma once

#include "INIFiles.h"

#include <string>
#include <string_view>
#include <vector>

class ProfileDocument;

// Deleting an account rewrites user.ini with the accounts that stay.
namespace AccountDeletion {

// One account that stays: its section name and its "Pwd" and "Name", each
// read with the default "Unknown".
struct KeptAccount {
    std::string section;
    std::string Pwd;
    std::string Name;
};

// The accounts that stay when `pilotId` is deleted: every scanned section,
// in file order, whose name differs from `pilotId` (exact, case-sensitive
// comparison; every section of that very name goes). A name that occurs
// twice stays twice. Values are read from `usersFile` by the accessor's
// rules.
std::vector<KeptAccount> keptAccounts(const ProfileDocument &usersFile, const std::vector<std::string> &sections,
                                      std::string_view pilotId);

// The file that holds exactly the kept accounts: what writing "Pwd" and then
// "Name" of each, in order, into an empty file with the accessor leaves
// behind (so a section that stays twice is written twice into one place).
// It is built in memory; no accounts give empty content.
std::string rewrittenContent(const std::vector<KeptAccount> &kept);

enum class Outcome {
    Rewritten,  // user.ini now holds exactly the kept accounts
    NoFile,     // there is no user.ini: nothing to delete, nothing written
    Unreadable, // user.ini could not be read: left as it was
    Unwritable, // the new content could not be put in place: left as it was
};

// Deletes every section named `pilotId`. user.ini is read once and replaced
// in one step, so the server never sees it empty or half written, and a
// failure leaves the old file whole. A pilot ID that names no section still
// rewrites the file: comments, other keys and text outside sections are
// dropped. A file that vanished meanwhile is made again with the accessor's
// new-file mode. The caller holds the AccountsLock of the accounts directory
// across the deletion and whatever it read to decide on it, so no other
// writer's change made in between is lost.
Outcome deleteAccount(const INIFiles &UsersIni, std::string_view pilotId);

} // namespace AccountDeletion
