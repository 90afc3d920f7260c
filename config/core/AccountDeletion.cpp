#include "AccountDeletion.h"

#include "AtomicFile.h"
#include "SectionScan.h"

#include <QTemporaryDir>

namespace AccountDeletion {
namespace {

// The accessor reports no failed write. Every kept account's two keys must
// be in the scratch file, or a write went missing (a full disk) and the
// content would lose accounts.
bool everyKeyWritten(const INIFiles &scratch, const std::vector<KeptAccount> &kept)
{
    const char *const missing = "\x01missing";
    for (const KeptAccount &account : kept) {
        if (scratch.ReadINI(account.section, "Pwd", missing) == missing
            || scratch.ReadINI(account.section, "Name", missing) == missing)
            return false;
    }
    return true;
}

} // namespace

std::vector<KeptAccount> keptAccounts(const INIFiles &UsersIni, const std::vector<std::string> &sections,
                                      std::string_view pilotId)
{
    std::vector<KeptAccount> kept;
    for (const std::string &section : sections) {
        if (section == pilotId)
            continue;
        kept.push_back(KeptAccount{section, UsersIni.ReadINI(section, "Pwd", "Unknown"),
                                   UsersIni.ReadINI(section, "Name", "Unknown")});
    }
    return kept;
}

std::optional<std::string> rewrittenContent(const std::vector<KeptAccount> &kept)
{
    if (kept.empty())
        return std::string();
    const QTemporaryDir scratchDirectory;
    if (!scratchDirectory.isValid())
        return std::nullopt;
    INIFiles scratch;
    scratch.FileName(scratchDirectory.filePath(QStringLiteral("user.ini")).toStdString());
    for (const KeptAccount &account : kept) {
        scratch.WriteINI(account.section, "Pwd", account.Pwd);
        scratch.WriteINI(account.section, "Name", account.Name);
    }
    AtomicFile::ReadResult written = AtomicFile::readAll(scratch.FileName());
    if (written.status != AtomicFile::ReadStatus::Ok || !everyKeyWritten(scratch, kept))
        return std::nullopt;
    return std::move(written.bytes);
}

Outcome deleteAccount(const INIFiles &UsersIni, std::string_view pilotId)
{
    const SectionScan::Result sections = SectionScan::scan(UsersIni);
    if (sections.status == SectionScan::FileStatus::Missing)
        return Outcome::NoFile;
    if (sections.status == SectionScan::FileStatus::Unreadable)
        return Outcome::Unreadable;

    const std::optional<std::string> content = rewrittenContent(keptAccounts(UsersIni, sections.names, pilotId));
    if (!content || !AtomicFile::replaceContents(UsersIni.FileName(), *content))
        return Outcome::Unwritable;
    return Outcome::Rewritten;
}

} // namespace AccountDeletion
