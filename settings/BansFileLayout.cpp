#include "BansFileLayout.h"

#include "AtomicFile.h"
#include "Codepage1252.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_set>
#include <sys/stat.h>

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

// The blanks the settings accessor drops around lines, names and values.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1A';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

struct NameHash {
    size_t operator()(std::string_view name) const
    {
        size_t hash = 14695981039346656037ull;
        for (const char c : name)
            hash = (hash ^ static_cast<unsigned char>(asciiLower(c))) * 1099511628211ull;
        return hash;
    }
};

struct SameName {
    bool operator()(std::string_view a, std::string_view b) const { return sameName(a, b); }
};

// The lines of a file: ended by CR, LF or CR LF, each cut at its first NUL
// and without the blanks around it.
class Lines
{
public:
    explicit Lines(std::string_view text) : m_text(text) {}
    bool next(std::string_view *line)
    {
        if (m_at >= m_text.size())
            return false;
        size_t end = m_text.find_first_of("\r\n", m_at);
        if (end == std::string_view::npos)
            end = m_text.size();
        const std::string_view whole = m_text.substr(m_at, end - m_at);
        m_at = end;
        if (m_at < m_text.size())
            m_at += (m_text[m_at] == '\r' && m_at + 1 < m_text.size() && m_text[m_at + 1] == '\n') ? 2 : 1;
        *line = trimmed(whole.substr(0, whole.find('\0')));
        return true;
    }

private:
    std::string_view m_text;
    size_t m_at = 0;
};

void takeExpiry(Entry &entry, std::string_view text)
{
    if (text.empty())
        return;
    entry.expires = timeFromText(text);
    entry.expiresUnreadable = !entry.expires;
    if (entry.expiresUnreadable)
        entry.expiresText = std::string(text);
}

} // namespace

std::string pathBeside(const std::string &usersIni)
{
    const size_t slash = usersIni.rfind('/');
    return slash == std::string::npos ? std::string(FileName) : usersIni.substr(0, slash + 1) + FileName;
}

std::vector<Entry> parse(std::string_view fileBytes, size_t maxEntries, bool *tooMany)
{
    const Codepage1252::DecodedFile file = Codepage1252::decodeFile(fileBytes);
    std::vector<Entry> entries;
    // The lines before the first heading make a section of the empty name,
    // so a heading "[]" names no section of its own.
    std::unordered_set<std::string_view, NameHash, SameName> seen{std::string_view()};
    bool inSection = false, haveReason = false, haveExpires = false;
    Lines lines(file.text);
    std::string_view line;
    while (lines.next(&line)) {
        const size_t close = line.rfind(']');
        if (!line.empty() && line.front() == '[' && close != std::string_view::npos) {
            const std::string_view name = trimmed(line.substr(1, close - 1));
            inSection = seen.insert(name).second;
            if (inSection && entries.size() == maxEntries) {
                if (tooMany)
                    *tooMany = true;
                return {};
            }
            if (inSection)
                entries.push_back(Entry{std::string(name), {}, std::nullopt, false, {}});
            haveReason = haveExpires = false;
            continue;
        }
        if (!inSection || line.empty())
            continue;
        // A line without "=" is a key without a value.
        const size_t equals = line.find('=');
        const std::string_view key = trimmed(line.substr(0, equals));
        const std::string_view value = equals == std::string_view::npos ? std::string_view() : trimmed(line.substr(equals + 1));
        // The first line of a key counts, as the accessor reads it.
        if (!haveReason && sameName(key, ReasonKey)) {
            entries.back().reason = std::string(value);
            haveReason = true;
        } else if (!haveExpires && sameName(key, ExpiresKey)) {
            takeExpiry(entries.back(), value);
            haveExpires = true;
        }
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
        else if (entry.expiresUnreadable)
            text += std::string(ExpiresKey) + "=" + oneLine(entry.expiresText) + "\r\n";
        text += "\r\n";
    }
    return text;
}

ReadResult read(const std::string &path)
{
    const AtomicFile::ReadResult file = AtomicFile::readAll(path, MaxFileBytes);
    switch (file.status) {
    case AtomicFile::ReadStatus::Ok:
        break;
    case AtomicFile::ReadStatus::Missing:
        return {FileStatus::Missing, {}, {}};
    case AtomicFile::ReadStatus::Failed: {
        const bool tooLarge = file.failure == AtomicFile::ReadFailure::TooLarge;
        return {tooLarge ? FileStatus::TooLarge : FileStatus::Unreadable, {}, file.failureText(MaxFileBytes)};
    }
    }
    bool tooMany = false;
    std::vector<Entry> entries = parse(file.bytes, MaxEntries, &tooMany);
    if (tooMany)
        return {FileStatus::TooLarge, {}, "more than " + std::to_string(MaxEntries) + " sections"};
    return {FileStatus::Ok, std::move(entries), {}};
}

bool write(const std::string &path, const std::vector<Entry> &entries, const std::string &groupOf)
{
    struct stat accounts {};
    const gid_t group = ::stat(groupOf.c_str(), &accounts) == 0 ? accounts.st_gid : gid_t(-1);
    return AtomicFile::replaceContents(path, serialize(entries), NewFileMode, group);
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
