#include "ProfileDocument.h"

#include "Codepage1252.h"

#include <algorithm>
#include <utility>

namespace {

bool isProfileSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1A';
}

std::string_view trimLeading(std::string_view s)
{
    while (!s.empty() && isProfileSpace(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view trimTrailing(std::string_view s)
{
    while (!s.empty() && isProfileSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view trim(std::string_view s)
{
    return trimTrailing(trimLeading(s));
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

std::string lowerCase(std::string_view name)
{
    std::string lower(name);
    for (char &c : lower)
        c = asciiLower(c);
    return lower;
}

// Stored names are already trimmed; the name asked for is trimmed here.
bool sameName(std::string_view stored, std::string_view asked)
{
    asked = trim(asked);
    return stored.size() == asked.size()
        && std::equal(stored.begin(), stored.end(), asked.begin(),
                      [](char a, char b) { return asciiLower(a) == asciiLower(b); });
}

} // namespace

ProfileDocument ProfileDocument::parse(std::string_view bytes)
{
    ProfileDocument doc;
    const Codepage1252::DecodedFile file = Codepage1252::decodeFile(bytes);
    doc.m_encoding = file.encoding;
    doc.parseText(file.text);
    return doc;
}

void ProfileDocument::parseText(std::string_view text)
{
    m_sections.clear();
    m_firstSection.clear();
    appendSection(Section{}); // the nameless section before any heading

    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end;
        if (pos < text.size())
            pos += (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ? 2 : 1;

        line = trim(line.substr(0, line.find('\0')));
        Section &current = m_sections.back();
        if (line.empty()) {
            current.entries.push_back(Entry{{}, std::nullopt, true});
            continue;
        }
        if (line.front() == '[') {
            const size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                appendSection(Section{std::string(trim(line.substr(1, close - 1))), true, {}});
                continue;
            }
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            current.entries.push_back(Entry{std::string(line), std::nullopt, false});
        } else {
            current.entries.push_back(Entry{std::string(trimTrailing(line.substr(0, equals))),
                                            std::string(trimLeading(line.substr(equals + 1))), false});
        }
    }
}

std::string ProfileDocument::serialize() const
{
    std::string text;
    for (const Section &section : m_sections) {
        if (section.hasHeading)
            text += "[" + section.name + "]\r\n";
        for (const Entry &entry : section.entries) {
            if (!entry.blank) {
                text += entry.key;
                if (entry.value)
                    text += "=" + *entry.value;
            }
            text += "\r\n";
        }
    }
    return Codepage1252::encodeFile(m_encoding, text);
}

void ProfileDocument::appendSection(Section section)
{
    m_firstSection.emplace(lowerCase(section.name), m_sections.size());
    m_sections.push_back(std::move(section));
}

const ProfileDocument::Section *ProfileDocument::findSection(std::string_view name) const
{
    const auto found = m_firstSection.find(lowerCase(trim(name)));
    return found == m_firstSection.end() ? nullptr : &m_sections[found->second];
}

ProfileDocument::Section *ProfileDocument::findSection(std::string_view name)
{
    return const_cast<Section *>(std::as_const(*this).findSection(name));
}

std::optional<std::string> ProfileDocument::value(std::string_view section, std::string_view key) const
{
    const Section *found = findSection(section);
    if (!found)
        return std::nullopt;
    for (const Entry &entry : found->entries) {
        if (!entry.blank && sameName(entry.key, key))
            return entry.value;
    }
    return std::nullopt;
}

std::vector<std::string> ProfileDocument::sectionNames() const
{
    std::vector<std::string> names;
    for (size_t i = 0; i < m_sections.size(); ++i) {
        // Only the first section of a name is found by its name.
        if (m_sections[i].hasHeading && m_firstSection.at(lowerCase(m_sections[i].name)) == i)
            names.push_back(m_sections[i].name);
    }
    return names;
}

std::string_view ProfileDocument::asReadBack(std::string_view text)
{
    return trim(text);
}

bool ProfileDocument::setValue(std::string_view section, std::string_view key, std::string_view value)
{
    value = trimLeading(value);
    Section *target = findSection(section);
    if (!target) {
        // A new name keeps its trailing blanks, as the platform stores it.
        appendSection(Section{std::string(trimLeading(section)), true, {}});
        target = &m_sections.back();
    }
    auto &entries = target->entries;
    for (Entry &entry : entries) {
        if (!entry.blank && sameName(entry.key, key)) {
            if (entry.value && *entry.value == value)
                return false;
            entry.value = std::string(value);
            return true;
        }
    }
    auto lastKey = std::find_if(entries.rbegin(), entries.rend(), [](const Entry &e) { return !e.blank; });
    entries.insert(lastKey.base(), Entry{std::string(trimLeading(key)), std::string(value), false});
    return true;
}
