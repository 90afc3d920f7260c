// The configuration tool's section scan and account deletion on any
// user.ini: every account other than the deleted one keeps its "Pwd" and
// "Name" as the accessor reads them.
#include "AccountDeletion.h"
#include "AccountsFileLayout.h"
#include "FuzzFiles.h"
#include "ProfileDocument.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <vector>

namespace {

struct Account {
    std::string section;
    std::string Pwd;
    std::string Name;
};

// A section name as the accessor matches it: cut at a NUL, without the
// blanks around it, letters in lower case.
std::string matchedName(const std::string &section)
{
    std::string name(ProfileDocument::asReadBack(std::string_view(section).substr(0, section.find('\0'))));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c);
    });
    return name;
}

std::vector<Account> accountsOtherThan(const INIFiles &UsersIni, const std::string &pilotId)
{
    std::vector<Account> accounts;
    for (const std::string &section : AccountsFileLayout::scan(UsersIni).names) {
        if (section != pilotId)
            accounts.push_back({section, UsersIni.ReadINI(section, "Pwd", "Unknown"),
                                UsersIni.ReadINI(section, "Name", "Unknown")});
    }
    return accounts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const size_t choice = input.ConsumeIntegral<uint8_t>();
    const std::string typedId = input.ConsumeRandomLengthString(8);
    INIFiles UsersIni;
    UsersIni.FileName(FuzzFiles::writeScratchFile("user.ini", input.ConsumeRemainingBytesAsString()));

    const AccountsFileLayout::Result before = AccountsFileLayout::scan(UsersIni);
    if (before.status != AccountsFileLayout::FileStatus::Ok)
        FuzzFiles::fail("a written file does not scan");
    // Mostly an account that is there, sometimes any text typed.
    const std::string pilotId = !before.names.empty() && choice % 4 != 0 ? before.names[choice % before.names.size()]
                                                                         : typedId;
    const std::vector<Account> kept = accountsOtherThan(UsersIni, pilotId);

    if (AccountDeletion::deleteAccount(UsersIni, pilotId) != AccountDeletion::Outcome::Rewritten)
        FuzzFiles::fail("a readable file was not rewritten");
    for (const Account &account : kept) {
        if (UsersIni.ReadINI(account.section, "Pwd", "Unknown") != account.Pwd
            || UsersIni.ReadINI(account.section, "Name", "Unknown") != account.Name)
            FuzzFiles::fail("an account that stays was changed", account.section);
    }
    std::vector<std::string> after = AccountsFileLayout::scan(UsersIni).names;
    std::transform(after.begin(), after.end(), after.begin(), matchedName);
    for (const Account &account : kept) {
        const std::string name = matchedName(account.section);
        if (!name.empty() && std::find(after.begin(), after.end(), name) == after.end())
            FuzzFiles::fail("an account that stays is no longer listed", account.section);
    }
    return 0;
}
