#include "SectionScan.h"

#include "AtomicFile.h"
#include "Codepage1252.h"

namespace SectionScan {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LEMark = "\xFF\xFE";
constexpr std::string_view kUtf16BEMark = "\xFE\xFF";

// The file's text in code page 1252.
std::string settingsText(std::string_view bytes)
{
    if (bytes.starts_with(kUtf8Mark))
        return Codepage1252::fromUnicode(Codepage1252::decodeUtf8(bytes.substr(kUtf8Mark.size())));
    if (bytes.starts_with(kUtf16LEMark))
        return Codepage1252::fromUnicode(Codepage1252::decodeUtf16(bytes.substr(kUtf16LEMark.size()), false));
    if (bytes.starts_with(kUtf16BEMark))
        return Codepage1252::fromUnicode(Codepage1252::decodeUtf16(bytes.substr(kUtf16BEMark.size()), true));
    return std::string(bytes);
}

} // namespace

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
    const std::string text = settingsText(fileBytes);
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
