#include "AccountList.h"

#include "TextConversions.h"
#include "WindowText.h"

#include <algorithm>
#include <limits>

namespace AccountList {

std::optional<std::int32_t> sectionNumber(std::string_view name)
{
    name = trimBlanks(name);
    const bool negative = !name.empty() && name.front() == '-';
    if (!name.empty() && (name.front() == '-' || name.front() == '+'))
        name.remove_prefix(1);
    if (name.empty())
        return std::nullopt;
    const std::int64_t limit = negative ? -std::int64_t(std::numeric_limits<std::int32_t>::min())
                                        : std::int64_t(std::numeric_limits<std::int32_t>::max());
    std::int64_t value = 0;
    for (const char c : name) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit)
            return std::nullopt;
    }
    return std::int32_t(negative ? -value : value);
}

bool sortsBefore(const QString &a, const QString &b)
{
    const int folded = QString::compare(a, b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
}

Listing listAccounts(const INIFiles &UsersIni)
{
    const SectionScan::Result sections = SectionScan::scan(UsersIni);
    Listing listing;
    listing.status = sections.status;
    for (const std::string &name : sections.names) {
        const std::optional<std::int32_t> number = sectionNumber(name);
        if (!number)
            continue;
        const std::string pilotName = UsersIni.ReadINI(name, "Name", "Unknown");
        listing.entries.append(Entry{fromSettingsText(pilotName) + QStringLiteral(" ID:") + fromSettingsText(name), *number});
    }
    std::stable_sort(listing.entries.begin(), listing.entries.end(),
                     [](const Entry &a, const Entry &b) { return sortsBefore(a.text, b.text); });
    return listing;
}

} // namespace AccountList
