#include "INIFiles.h"

#include "AtomicFile.h"
#include "ProfileDocument.h"

#include <cstring>

namespace {

// The reader's buffer: the value, a NUL, and the rest filled with spaces.
constexpr size_t kBufferSize = 128;

// Arguments travel as C strings: nothing after a NUL reaches the file.
std::string_view asCString(const std::string &text)
{
    return std::string_view(text.c_str(), std::strlen(text.c_str()));
}

// A value, key or section name is one line of the file.
std::string_view firstLine(std::string_view text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

// Copies an entry as the platform does into a buffer of `size`: one pair of
// matching quotes around it is dropped, and it is cut to size - 1 characters.
// When the cut leaves the closing quote out, the last kept character goes.
std::string copyEntry(std::string_view entry, size_t size)
{
    bool quoted = false;
    if (entry.size() > 1 && (entry.front() == '"' || entry.front() == '\'') && entry.back() == entry.front()) {
        quoted = true;
        entry.remove_prefix(1);
    }
    std::string copied(entry.substr(0, size - 1));
    if (quoted && size >= entry.size())
        copied.pop_back();
    return copied;
}

// The caller's side: fill a buffer of spaces, put the copy and its NUL in
// front, trim spaces at both ends, then drop the NUL if it ends the text.
// Spaces that end the copied value itself therefore survive.
std::string fromBuffer(const std::string &copied)
{
    std::string buffer(kBufferSize, ' ');
    buffer.replace(0, copied.size(), copied);
    buffer[copied.size()] = '\0';
    const size_t first = buffer.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    buffer = buffer.substr(first, buffer.find_last_not_of(' ') - first + 1);
    if (!buffer.empty() && buffer.back() == '\0')
        buffer.pop_back();
    return buffer;
}

std::string_view withoutTrailingSpaces(std::string_view text)
{
    while (text.size() > 1 && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

} // namespace

std::string INIFiles::ReadINI(const IniArg &KeyTitle, const IniArg &KeyName, const IniArg &MyDefault) const
{
    const AtomicFile::ReadResult file = AtomicFile::readAll(m_fileName);
    if (file.status == AtomicFile::ReadStatus::Failed)
        return {};

    return readFrom(ProfileDocument::parse(file.bytes), KeyTitle, KeyName, MyDefault);
}

std::string INIFiles::readFrom(const ProfileDocument &document, const IniArg &KeyTitle, const IniArg &KeyName,
                               const IniArg &MyDefault)
{
    std::string entry(withoutTrailingSpaces(asCString(MyDefault.text())));
    if (const auto stored = document.value(asCString(KeyTitle.text()), asCString(KeyName.text())))
        entry = *stored;
    return fromBuffer(copyEntry(entry, kBufferSize));
}

std::string INIFiles::WriteINI(const IniArg &KeyTitle, const IniArg &KeyName, const IniArg &Value)
{
    writeEntries({IniEntry{KeyTitle, KeyName, Value}});
    return {};
}

bool INIFiles::writeEntries(const std::vector<IniEntry> &entries)
{
    const AtomicFile::ReadResult file = AtomicFile::readAll(m_fileName);
    if (file.status == AtomicFile::ReadStatus::Failed)
        return false;

    ProfileDocument document = ProfileDocument::parse(file.bytes);
    bool changed = false;
    for (const IniEntry &entry : entries)
        changed = writeTo(document, entry.KeyTitle, entry.KeyName, entry.Value) || changed;
    if ((changed || file.status == AtomicFile::ReadStatus::Missing)
        && !AtomicFile::replaceContents(m_fileName, document.serialize(), m_newFileMode))
        return false;
    return holdsEntries(entries);
}

// The file read afresh gives every entry's value back as it was stored.
bool INIFiles::holdsEntries(const std::vector<IniEntry> &entries) const
{
    const AtomicFile::ReadResult file = AtomicFile::readAll(m_fileName);
    if (file.status != AtomicFile::ReadStatus::Ok)
        return false;
    const ProfileDocument document = ProfileDocument::parse(file.bytes);
    const std::string missing = "\x01missing";
    for (const IniEntry &entry : entries) {
        const std::string section(firstLine(asCString(entry.KeyTitle.text())));
        const std::string key(firstLine(asCString(entry.KeyName.text())));
        if (readFrom(document, section, key, missing) != readBackOf(entry.Value))
            return false;
    }
    return true;
}

std::string INIFiles::readBackOf(const IniArg &Value)
{
    ProfileDocument written = ProfileDocument::parse({});
    writeTo(written, "s", "k", Value);
    return readFrom(ProfileDocument::parse(written.serialize()), "s", "k", "");
}

bool INIFiles::writeTo(ProfileDocument &document, const IniArg &KeyTitle, const IniArg &KeyName, const IniArg &Value)
{
    return document.setValue(firstLine(asCString(KeyTitle.text())), firstLine(asCString(KeyName.text())),
                             firstLine(asCString(Value.text())));
}
