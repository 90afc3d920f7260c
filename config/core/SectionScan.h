#pragma once

#include "INIFiles.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Finding the accounts in user.ini without the accessor: the listing and the
// deletion of accounts need every section name, in file order.
//
// A line ends at CR, LF or CR LF. A line that holds a "[" and, after its
// first "[", a "]" is a heading, wherever the brackets stand on the line: the
// section name is the text strictly between the first "[" and the first "]",
// exactly as it stands, blanks included. So a key line whose value holds
// both brackets ("Name=Bob [7]") also names a section, "7". A line whose
// first "]" comes before its first "[" is not a heading. A name that occurs
// twice is listed twice.
//
// A file that starts with a UTF-8 or UTF-16 byte-order mark is read in that
// encoding and its names are given in code page 1252, as the accessor
// expects them.
namespace SectionScan {

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

} // namespace SectionScan
