#pragma once

#include "AccountsFileLayout.h"
#include "INIFiles.h"

#include <QList>
#include <QString>

#include <cstdint>

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
    AccountsFileLayout::FileStatus status = AccountsFileLayout::FileStatus::Unreadable;
    QList<Entry> entries;
};

// Whether entry text `a` sorts before `b`: by text, ignoring letter case,
// then by exact text.
bool sortsBefore(const QString &a, const QString &b);

// Scans user.ini and builds the entries, sorted by text; entries with equal
// text keep their file order. A section whose name is not a pilot ID
// (AccountsFileLayout::sectionNumber) is left out, since no entry could lead
// back to it (it is still kept when another account is deleted). A missing
// or unreadable file gives no entries.
Listing listAccounts(const INIFiles &UsersIni);

} // namespace AccountList
