#include "AccountDeletion.h"

#include "AccountsFileLayout.h"
#include "AtomicFile.h"
#include "ProfileDocument.h"

namespace AccountDeletion {
namespace {

// A name or value as the file holds it once written and read back: the
// accessor ends it at a NUL, and reading drops the blanks around it.
std::string_view settled(std::string_view text)
{
    return ProfileDocument::asReadBack(text.substr(0, text.find('\0')));
}

// A value as it must be written to read back as `value` does now. A value
// read from quotes in quotes ("5" from ""5"") or with blanks at its end
// (from "Ann  ") would lose them if written as it reads, so it goes back in
// one more pair of quotes. A value that was cut to the 127 characters a read
// gives and ends in a blank (a space or a tab) loses that blank even in
// quotes, since the closing quote then falls beyond the cut and the reader
// drops the last kept character in its place; one padding blank inside the
// quotes, beyond the cut, keeps it.
std::string storable(std::string_view value)
{
    const std::string plain(settled(value));
    if (INIFiles::readBackOf(plain) == value)
        return plain;
    for (const char *closing : {"\"", " \""}) {
        const std::string quoted = '"' + std::string(value) + closing;
        if (INIFiles::readBackOf(quoted) == value)
            return quoted;
    }
    return plain;
}

} // namespace

std::vector<KeptAccount> keptAccounts(const ProfileDocument &usersFile, const std::vector<std::string> &sections,
                                      std::string_view pilotId)
{
    std::vector<KeptAccount> kept;
    for (const std::string &section : sections) {
        if (section == pilotId)
            continue;
        kept.push_back(KeptAccount{section, INIFiles::readFrom(usersFile, section, AccountsFileLayout::PwdKey, "Unknown"),
                                   INIFiles::readFrom(usersFile, section, AccountsFileLayout::NameKey, "Unknown")});
    }
    return kept;
}

std::string rewrittenContent(const std::vector<KeptAccount> &kept)
{
    if (kept.empty())
        return std::string();
    // Each write through the accessor reads the file back, which settles the
    // blanks around names and values; the document is built as settled.
    ProfileDocument content = ProfileDocument::parse({});
    for (const KeptAccount &account : kept) {
        const std::string_view section = settled(account.section);
        INIFiles::writeTo(content, section, AccountsFileLayout::PwdKey, storable(account.Pwd));
        INIFiles::writeTo(content, section, AccountsFileLayout::NameKey, storable(account.Name));
    }
    return content.serialize();
}

Outcome deleteAccount(const INIFiles &UsersIni, std::string_view pilotId)
{
    const AtomicFile::ReadResult file = AtomicFile::readAll(UsersIni.FileName());
    if (file.status == AtomicFile::ReadStatus::Missing)
        return Outcome::NoFile;
    if (file.status == AtomicFile::ReadStatus::Failed)
        return Outcome::Unreadable;

    const std::vector<KeptAccount> kept =
        keptAccounts(ProfileDocument::parse(file.bytes), AccountsFileLayout::sectionNames(file.bytes), pilotId);
    if (!AtomicFile::replaceContents(UsersIni.FileName(), rewrittenContent(kept), UsersIni.newFileMode()))
        return Outcome::Unwritable;
    return Outcome::Rewritten;
}

} // namespace AccountDeletion
