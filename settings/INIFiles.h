#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>
#include <sys/types.h>

class ProfileDocument;

// One argument of ReadINI or WriteINI: text, or a whole number that stands
// for its decimal text (-1 becomes "-1", 1500 becomes "1500").
class IniArg
{
public:
    IniArg(const std::string &text) : m_text(text) {}
    IniArg(std::string_view text) : m_text(text) {}
    IniArg(const char *text) : m_text(text ? text : "") {}
    template<typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>, int> = 0>
    IniArg(T number) : m_text(std::to_string(number)) {}

    const std::string &text() const { return m_text; }

private:
    std::string m_text;
};

// One value to store: KeyName in section KeyTitle.
struct IniEntry {
    IniArg KeyTitle;
    IniArg KeyName;
    IniArg Value;
};

// The settings accessor: reads and writes single values of one settings
// file, named by FileName. It keeps no file open and no cache; every call
// goes to the file afresh.
//
// Texts are 8-bit byte strings. No failure reaches the caller: ReadINI gives
// the default when the file, the section or the key is missing and empty
// text when the file exists but cannot be read; WriteINI stores nothing when
// the file cannot be written. A write replaces the file in one step, so no
// reader ever sees it half written; a file marked read-only is never
// replaced. writeEntries is the checked write, for callers that must know.
class INIFiles
{
public:
    const std::string &FileName() const { return m_fileName; }
    void FileName(const std::string &path) { m_fileName = path; }

    // The permission bits a file this accessor makes gets, less the umask:
    // 0666 unless set. An existing file keeps its own.
    mode_t newFileMode() const { return m_newFileMode; }
    void setNewFileMode(mode_t mode) { m_newFileMode = mode; }

    // The value of KeyName in section KeyTitle, or MyDefault. A value that is
    // present but empty gives empty text. One pair of matching quotes around
    // the value (or the default) is removed, the result is cut to its first
    // 127 characters, and spaces at both ends are dropped.
    std::string ReadINI(const IniArg &KeyTitle, const IniArg &KeyName, const IniArg &MyDefault) const;

    // Stores Value under KeyName in section KeyTitle: replaced where it
    // stands, added at the end of its section, or in a new section at the end
    // of the file, which is created if missing (its directory is not). The
    // value's leading blanks are not stored, and a value is one line: it ends
    // at its first line break. The result is always empty text.
    std::string WriteINI(const IniArg &KeyTitle, const IniArg &KeyName, const IniArg &Value);

    // Stores every entry by WriteINI's rules, in order, in one replacement of
    // the file, then reads the file again. True when it holds every value as
    // WriteINI stores it; false when the file could not be read or replaced
    // (it is then as it was) or does not give the values back.
    bool writeEntries(const std::vector<IniEntry> &entries);

    // The same reading and writing rules on a file already held in memory,
    // for callers that take in or build a whole file at once. writeTo
    // returns whether the document changed.
    static std::string readFrom(const ProfileDocument &document, const IniArg &KeyTitle, const IniArg &KeyName,
                                const IniArg &MyDefault);
    static bool writeTo(ProfileDocument &document, const IniArg &KeyTitle, const IniArg &KeyName, const IniArg &Value);

    // What ReadINI gives back for a value that WriteINI stored: a caller
    // compares the two to tell whether a write reached the file.
    static std::string readBackOf(const IniArg &Value);

private:
    bool holdsEntries(const std::vector<IniEntry> &entries) const;

    std::string m_fileName;
    mode_t m_newFileMode = 0666;
};
