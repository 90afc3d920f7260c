#pragma once

#include "INIFiles.h"
#include "SectionScan.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

// What the accounts list shows: one entry per section of user.ini.
namespace AccountList {

// One entry: its text, "Name ID:section" (Name read with the default
// "Unknown"), and the section name as a number, which links the entry to
// its account.
struct Entry {
    QString text;
    std::int32_t number = 0;
};

struct Listing {
    SectionScan::FileStatus status = SectionScan::FileStatus::Unreadable;
    QList<Entry> entries;
};

// A section name as a pilot ID: optional blanks, an optional sign and
// decimal digits (leading zeros allowed), optional blanks, within the range
// of a 32-bit signed number. Anything else is not a pilot ID.
std::optional<std::int32_t> sectionNumber(std::string_view name);

// Whether entry text `a` sorts before `b`: by text, ignoring letter case,
// then by exact text.
bool sortsBefore(const QString &a, const QString &b);

// Scans user.ini and builds the entries, sorted by text; entries with equal
// text keep their file order. A section whose name is not a pilot ID is left
// out, since no entry could lead back to it (it is still kept when another
// account is deleted). A missing or unreadable file gives no entries.
Listing listAccounts(const INIFiles &UsersIni);

} // namespace AccountList
