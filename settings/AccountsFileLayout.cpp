#include "AccountsFileLayout.h"

#include "AtomicFile.h"
#include "Codepage1252.h"
#include "TextConversions.h"

#include <algorithm>
#include <limits>

namespace AccountsFileLayout {

std::optional<std::string> headingName(std::string_view line)
{
    const size_t open = line.find('[');
    const size_t close = line.find(']');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    return std::string(line.substr(open + 1, close - open - 1));
}

std::vector<std::string> sectionNames(std::string_view fileBytes)
{
    // A file with a byte-order mark is read as the accessor reads it.
    const std::string text = Codepage1252::decodeFile(fileBytes).text;
    const std::string_view rest(text);
    std::vector<std::string> names;
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = rest.size();
        if (auto name = headingName(rest.substr(start, end - start)))
            names.push_back(std::move(*name));
        // CR LF leaves an empty line between the two, which names nothing.
        start = end + 1;
    }
    return names;
}

Result scan(const INIFiles &UsersIni)
{
    const AtomicFile::ReadResult file = AtomicFile::readAll(UsersIni.FileName());
    switch (file.status) {
    case AtomicFile::ReadStatus::Ok:
        return Result{FileStatus::Ok, sectionNames(file.bytes)};
    case AtomicFile::ReadStatus::Missing:
        return Result{FileStatus::Missing, {}};
    case AtomicFile::ReadStatus::Failed:
        break;
    }
    return Result{FileStatus::Unreadable, {}};
}

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

Count countAccounts(const INIFiles &UsersIni)
{
    const Result sections = scan(UsersIni);
    const auto accounts = std::count_if(sections.names.begin(), sections.names.end(),
                                        [](const std::string &name) { return sectionNumber(name).has_value(); });
    return Count{sections.status, std::size_t(accounts)};
}

} // namespace AccountsFileLayout
