#pragma once

#include "INIFiles.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <sys/types.h>

// Where the pilot accounts stand in user.ini and how they are found. The
// server looks an account up by its section and keys; the configuration tool
// and the command line list, count and rewrite the accounts; all go by this
// one layout.
//
// Finding the accounts without the accessor: listing, counting and deleting
// need every section name, in file order. A line ends at CR, LF or CR LF. A
// line that holds a "[" and, after its first "[", a "]" is a heading,
// wherever the brackets stand on the line: the section name is the text
// strictly between the first "[" and the first "]", exactly as it stands,
// blanks included. So a key line whose value holds both brackets
// ("Name=Bob [7]") also names a section, "7"; that is why a saved name may
// hold neither bracket. A line whose first "]" comes before its first "[" is
// not a heading. A name that occurs twice is listed twice.
//
// A file that starts with a UTF-8 or UTF-16 byte-order mark is read in that
// encoding and its names are given in code page 1252, as the accessor
// expects them.
namespace AccountsFileLayout {

inline constexpr char FileName[] = "user.ini";
inline constexpr char PwdKey[] = "Pwd";
inline constexpr char NameKey[] = "Name";

// The most a newly made user.ini may be opened by: its owner reads and
// writes it, its group (the server's) reads it, nobody else may, whatever
// the writer's umask. An existing file keeps its own mode.
inline constexpr mode_t NewFileMode = 0640;

enum class FileStatus { Ok, Missing, Unreadable };

struct Result {
    FileStatus status = FileStatus::Unreadable;
    std::vector<std::string> names;
};

// The section name a line stands for, if it is a heading.
std::optional<std::string> headingName(std::string_view line);

// Every section name in `fileBytes`, in file order.
std::vector<std::string> sectionNames(std::string_view fileBytes);

// Reads the file bound to `UsersIni` afresh and scans it. A missing file has
// no sections; an unreadable one (no permission, not a regular file, too
// large) has none either and says so.
Result scan(const INIFiles &UsersIni);

// A section name as a pilot ID: optional blanks, an optional sign and
// decimal digits (leading zeros allowed), optional blanks, within the range
// of a 32-bit signed number. Anything else is not a pilot ID, and the
// section is no account that can be listed.
std::optional<std::int32_t> sectionNumber(std::string_view name);

struct Count {
    FileStatus status = FileStatus::Unreadable;
    std::size_t accounts = 0;
};

// How many accounts the tool's list shows: the scanned sections whose name
// is a pilot ID.
Count countAccounts(const INIFiles &UsersIni);

} // namespace AccountsFileLayout
