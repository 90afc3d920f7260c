// The settings accessor on any file: the file's bytes come from the input,
// then reads and writes with any section, key and value bytes. A value
// written must read back as the accessor promises (readBackOf), the values
// of every other key read before must be unchanged, and the file must read
// the same after it is parsed and written again.
#include "Codepage1252.h"
#include "FuzzFiles.h"
#include "INIFiles.h"
#include "ProfileDocument.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <map>
#include <utility>

namespace {

constexpr int MaxSteps = 16;

std::string cutAtLineEnd(const std::string &text)
{
    return text.substr(0, text.find_first_of(std::string_view("\r\n\0", 3)));
}

std::string lowerTrimmed(const std::string &text)
{
    std::string name(ProfileDocument::asReadBack(cutAtLineEnd(text)));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c);
    });
    return name;
}

// Names the file format can hold: a key line is "key=value", so a key with
// "=" in it, or one that looks like a heading, cannot come back; an empty
// name means the keys before the first heading.
bool storableNames(const std::string &section, const std::string &key)
{
    const std::string s = lowerTrimmed(section);
    const std::string k = lowerTrimmed(key);
    return !s.empty() && !k.empty() && k.find('=') == std::string::npos && k.front() != '['
        && s.find(']') == std::string::npos;
}

// A file with a byte-order mark holds Unicode text: what code page 1252
// cannot hold comes back as "?".
std::string asStoredIn(Codepage1252::FileEncoding encoding, const std::string &text)
{
    const std::string cut(text.c_str());
    if (encoding == Codepage1252::FileEncoding::Ansi)
        return cut;
    return Codepage1252::fromUnicode(Codepage1252::toUnicode(cut));
}

bool storedAsIs(Codepage1252::FileEncoding encoding, const std::string &text)
{
    return asStoredIn(encoding, text) == text.c_str();
}

using Name = std::pair<std::string, std::string>;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    INIFiles accessor;
    const std::string original = input.ConsumeRandomLengthString(4096);
    accessor.FileName(FuzzFiles::writeScratchFile("settings.ini", original));
    const Codepage1252::FileEncoding encoding = Codepage1252::decodeFile(original).encoding;

    std::map<Name, std::string> seen; // by lower-case trimmed names
    for (int step = 0; step < MaxSteps && input.remaining_bytes() > 0; ++step) {
        const std::string section = input.ConsumeRandomLengthString(40);
        const std::string key = input.ConsumeRandomLengthString(40);
        const Name name{lowerTrimmed(section), lowerTrimmed(key)};
        if (input.ConsumeBool()) {
            const std::string value = accessor.ReadINI(section, key, "\x01missing");
            if (value.size() > 127)
                FuzzFiles::fail("a value longer than 127 characters", value);
            if (storableNames(section, key) && storedAsIs(encoding, section) && storedAsIs(encoding, key)
                && cutAtLineEnd(section) == section && cutAtLineEnd(key) == key)
                seen[name] = value;
            continue;
        }
        const std::string value = input.ConsumeRandomLengthString(300);
        accessor.WriteINI(section, key, value);
        if (!storableNames(section, key) || !storedAsIs(encoding, section) || !storedAsIs(encoding, key)) {
            seen.clear(); // a name the file cannot hold as such may stand for any of them
            continue;
        }
        // A name written is one line too: it ends at its first line break.
        const std::string readBack = accessor.ReadINI(cutAtLineEnd(section), cutAtLineEnd(key), "\x01missing");
        if (readBack != INIFiles::readBackOf(asStoredIn(encoding, value)))
            FuzzFiles::fail("a written value does not read back as written", readBack);
        for (const auto &[other, before] : seen) {
            if (other != name && accessor.ReadINI(other.first, other.second, "\x01missing") != before)
                FuzzFiles::fail("a write changed another key", other.first + "/" + other.second);
        }
        seen[name] = readBack;
    }

    const std::string file = FuzzFiles::readFile(accessor.FileName());
    const std::string once = ProfileDocument::parse(file).serialize();
    if (ProfileDocument::parse(once).serialize() != once)
        FuzzFiles::fail("the file does not read the same once written again");
    return 0;
}
