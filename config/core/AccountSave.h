#pragma once

#include "INIFiles.h"

#include <QString>

#include <optional>
#include <string>

// Saving the account shown in the editor's three boxes.
namespace AccountSave {

// What the three boxes hold, ready to be written, or why they cannot be.
struct Check {
    std::optional<QString> refusal; // the message to show; nothing is written
    std::string section;            // the Pilot ID as decimal text
    std::string Pwd;                // the Password as decimal text
    std::string Name;               // the name as typed, blanks included
};

// The Pilot ID and the Password are each taken as the number at the start
// of their text (0 when there is none). Either being 0 is refused with
// "Pilot ID and Password cannot be Nil"; a number that is not whole (only a
// hand-edited file can supply one) with "Pilot ID and Password must be
// whole numbers"; one beyond 32 bits (typed on the command line, or from a
// hand-edited file) with "... must be at most 2147483647" (or "at least
// -2147483648"). A Name that is empty or all blanks is refused with "Pilot
// Name is mandatory", and one that holds "[" or "]" with "Pilot Name cannot
// contain [ or ]": the accounts list would take it for a further account.
// Accepted numbers are stored as decimal text without leading zeros, the
// form the server looks them up in: "0042" is stored as "42".
Check check(const QString &pilotId, const QString &password, const QString &name);

// Writes "Pwd" and then "Name" into the account's section: an existing
// account is updated where it stands, a new one is added at the end. Both
// go into the file in one step; a new file gets the accessor's new-file
// mode. True only when both values read back as written; false when the file
// could not be written (it is then as it was). The caller holds the
// AccountsLock of the accounts directory across the write.
bool write(INIFiles &UsersIni, const Check &account);

} // namespace AccountSave
