#pragma once

#include "Codepage1252.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// A settings file held in memory: sections of "key=value" lines.
//
// Parsing never fails: any byte string gives a document. Lines end at CR, LF
// or CR LF; a line is cut at its first NUL; blanks (space, tab, form feed,
// vertical tab, ^Z) around a line are ignored. A line that starts with "["
// and holds a "]" opens a section whose name is the text up to the last "]",
// trimmed. Any other non-blank line is a key line: the name up to the first
// "=" and the value after it, both trimmed; a line without "=" is a key that
// has no value. Keys before the first heading belong to a nameless section.
// Blank lines are kept so that a rewritten file keeps its paragraphs.
//
// Section and key names are matched ignoring ASCII letter case and the blanks
// around the name asked for; the first match counts.
//
// A file that starts with a UTF-8 or UTF-16 byte-order mark is converted to
// code page 1252 on reading and back to its own encoding on writing.
class ProfileDocument
{
public:
    static ProfileDocument parse(std::string_view bytes);

    // The whole file, every line ending in CR LF.
    std::string serialize() const;

    // The value of `key` in `section`; empty when the section or key is
    // missing or the key line has no "=".
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

    // The name of every section that has a heading, in file order, each
    // name once (as it first stands) however often it occurs.
    std::vector<std::string> sectionNames() const;

    // Stores `value` (its leading blanks dropped). An existing key keeps its
    // place and spelling; a missing key is added after the last key line of
    // its section; a missing section is added at the end. Returns false when
    // the key already held exactly this value, so nothing needs writing.
    bool setValue(std::string_view section, std::string_view key, std::string_view value);

    // A section name or value as a written file gives it back when it is
    // read again: without the blanks at both ends. A document built in
    // memory stores names as written; storing them like this instead makes
    // it what writing the file and reading it back would make.
    static std::string_view asReadBack(std::string_view text);

private:
    struct Entry {
        std::string key;
        std::optional<std::string> value;
        bool blank = false;
    };

    struct Section {
        std::string name;
        bool hasHeading = false;
        std::vector<Entry> entries;
    };

    void parseText(std::string_view text);
    void appendSection(Section section);
    const Section *findSection(std::string_view name) const;
    Section *findSection(std::string_view name);

    Codepage1252::FileEncoding m_encoding = Codepage1252::FileEncoding::Ansi;
    std::vector<Section> m_sections;
    // The first section of each name, by its ASCII-lower-case form, so that
    // a file of thousands of sections is not searched from the top for each.
    std::unordered_map<std::string, size_t> m_firstSection;
};
