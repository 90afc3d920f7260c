#include "AccountList.h"

#include "WindowText.h"

#include <algorithm>

namespace AccountList {

bool sortsBefore(const QString &a, const QString &b)
{
    const int folded = QString::compare(a, b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
}

Listing listAccounts(const INIFiles &UsersIni)
{
    const AccountsFileLayout::Result sections = AccountsFileLayout::scan(UsersIni);
    Listing listing;
    listing.status = sections.status;
    for (const std::string &name : sections.names) {
        const std::optional<std::int32_t> number = AccountsFileLayout::sectionNumber(name);
        if (!number)
            continue;
        const std::string pilotName = UsersIni.ReadINI(name, AccountsFileLayout::NameKey, "Unknown");
        listing.entries.append(Entry{fromSettingsText(pilotName) + QStringLiteral(" ID:") + fromSettingsText(name), *number});
    }
    std::stable_sort(listing.entries.begin(), listing.entries.end(),
                     [](const Entry &a, const Entry &b) { return sortsBefore(a.text, b.text); });
    return listing;
}

} // namespace AccountList
