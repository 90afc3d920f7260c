#include "SectionScan.h"

#include "AtomicFile.h"
#include "Codepage1252.h"

namespace SectionScan {

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

} // namespace SectionScan
