#include "BansFileLayout.h"

#include "AtomicFile.h"
#include "ProfileDocument.h"

#include <chrono>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace BansFileLayout {
namespace {

// Digits only, exactly `count` of them.
std::optional<int> digits(std::string_view text, size_t at, size_t count)
{
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::string oneLine(const std::string &text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

} // namespace

std::string pathBeside(const std::string &usersIni)
{
    const size_t slash = usersIni.rfind('/');
    return slash == std::string::npos ? std::string(FileName) : usersIni.substr(0, slash + 1) + FileName;
}

std::vector<Entry> parse(std::string_view fileBytes)
{
    const ProfileDocument document = ProfileDocument::parse(fileBytes);
    std::vector<Entry> entries;
    for (const std::string &name : document.sectionNames()) {
        Entry entry;
        entry.target = name;
        entry.reason = document.value(name, ReasonKey).value_or(std::string());
        const std::string expires(
            ProfileDocument::asReadBack(document.value(name, ExpiresKey).value_or(std::string())));
        if (!expires.empty()) {
            entry.expires = timeFromText(expires);
            entry.expiresUnreadable = !entry.expires;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string serialize(const std::vector<Entry> &entries)
{
    std::string text;
    for (const Entry &entry : entries) {
        text += "[" + oneLine(entry.target) + "]\r\n";
        text += std::string(ReasonKey) + "=" + oneLine(entry.reason) + "\r\n";
        if (entry.expires)
            text += std::string(ExpiresKey) + "=" + timeText(*entry.expires) + "\r\n";
        text += "\r\n";
    }
    return text;
}

ReadResult read(const std::string &path)
{
    const AtomicFile::ReadResult file = AtomicFile::readAll(path);
    switch (file.status) {
    case AtomicFile::ReadStatus::Ok:
        return {FileStatus::Ok, parse(file.bytes)};
    case AtomicFile::ReadStatus::Missing:
        return {FileStatus::Missing, {}};
    case AtomicFile::ReadStatus::Failed:
        break;
    }
    return {FileStatus::Unreadable, {}};
}

bool write(const std::string &path, const std::vector<Entry> &entries, const std::string &groupOf)
{
    struct stat before {};
    const bool existed = ::stat(path.c_str(), &before) == 0;
    if (!AtomicFile::replaceContents(path, serialize(entries), NewFileMode))
        return false;
    struct stat accounts {};
    if (!existed && ::stat(groupOf.c_str(), &accounts) == 0) {
        // Only the owner of a new file, or root, may change its group; the
        // file is complete and private either way.
        [[maybe_unused]] const int ignored = ::chown(path.c_str(), uid_t(-1), accounts.st_gid);
    }
    return true;
}

std::string timeText(std::int64_t secondsSince1970)
{
    using namespace std::chrono;
    const sys_seconds time{seconds{secondsSince1970}};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{time - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(date.year()), unsigned(date.month()),
                  unsigned(date.day()), int(clock.hours().count()), int(clock.minutes().count()),
                  int(clock.seconds().count()));
    return text;
}

std::optional<std::int64_t> timeFromText(std::string_view text)
{
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':'
        || text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    const auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    const auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!y || !mo || !d || !h || !mi || !s || *h > 23 || *mi > 59 || *s > 59)
        return std::nullopt;
    using namespace std::chrono;
    const year_month_day date{year{*y}, month{unsigned(*mo)}, day{unsigned(*d)}};
    if (!date.ok())
        return std::nullopt;
    return sys_days{date}.time_since_epoch().count() * std::int64_t(86400) + *h * 3600 + *mi * 60 + *s;
}

} // namespace BansFileLayout
