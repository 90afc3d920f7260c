#include "AccountsCommand.h"

#include "AccountDeletion.h"
#include "AccountList.h"
#include "AccountSave.h"
#include "AccountsFileLayout.h"
#include "AccountsFileText.h"
#include "AccountsLock.h"
#include "ConfigFiles.h"
#include "WindowText.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <utility>

namespace AccountsCommand {
namespace {

ConfigFiles::Context boundTo(const QString &settingsDirectory)
{
    ConfigFiles::Context context;
    ConfigFiles::bindSettingsFiles(context, QFile::encodeName(QDir(settingsDirectory).absolutePath()).toStdString());
    return context;
}

Result failure(const QString &error)
{
    return {1, QString(), error};
}

bool digitsOnly(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

bool hasSection(const AccountsFileLayout::Result &scan, const std::string &name)
{
    return std::find(scan.names.begin(), scan.names.end(), name) != scan.names.end();
}

// The tool's refusals speak of its boxes; the command line's name its
// arguments.
QString inCommandLineWords(const QString &refusal)
{
    const std::pair<const char *, const char *> words[] = {
        {"Pilot ID and Password cannot be Nil", "PILOTID and PASSWORD cannot be 0"},
        {"Pilot ID and Password must be whole numbers", "PILOTID and PASSWORD must be whole numbers"},
        {"Pilot ID and Password must be at most 2147483647", "PILOTID and PASSWORD must be at most 2147483647"},
        {"Pilot ID and Password must be at least -2147483648", "PILOTID and PASSWORD must be at least -2147483648"},
        {"Pilot Name is mandatory", "NAME cannot be empty"},
        {"Pilot Name cannot contain [ or ]", "NAME cannot contain [ or ]"}};
    for (const auto &[window, commandLine] : words) {
        if (refusal == QLatin1String(window))
            return QLatin1String(commandLine);
    }
    return refusal;
}

QString where(const ConfigFiles::Context &context)
{
    return QFile::decodeName(QByteArray::fromStdString(context.UsersIni.FileName()));
}

// What a change says when it did not get the accounts lock. Each change
// holds the lock from the scan that decides what it reports to the
// replacement, so the report stays true and no other writer's change is lost.
Result lockRefused(const AccountsLock &lock, const ConfigFiles::Context &context)
{
    return failure(AccountsFileText::lockRefused(lock) + QStringLiteral(" (%1)").arg(where(context)));
}

} // namespace

Result list(const QString &settingsDirectory)
{
    const ConfigFiles::Context context = boundTo(settingsDirectory);
    const AccountList::Listing listing = AccountList::listAccounts(context.UsersIni);
    if (listing.status == AccountsFileLayout::FileStatus::Unreadable)
        return failure(AccountsFileText::unreadable() + QStringLiteral(" (%1)").arg(where(context)));
    if (listing.entries.isEmpty())
        return {0, QStringLiteral("No accounts in %1\n").arg(where(context)), QString()};
    QString text;
    for (const AccountList::Entry &entry : listing.entries)
        text += entry.text + QLatin1Char('\n');
    return {0, text, QString()};
}

Result add(const QString &settingsDirectory, const QString &pilotId, const QString &password, const QString &name)
{
    if (!digitsOnly(pilotId) || !digitsOnly(password))
        return failure(QStringLiteral("PILOTID and PASSWORD take digits only, such as 1234 567890"));
    if (std::any_of(name.begin(), name.end(), [](QChar c) { return c.category() == QChar::Other_Control; }))
        return failure(QStringLiteral("NAME must be one line of text"));
    const AccountSave::Check account = AccountSave::check(pilotId, password, name);
    if (account.refusal)
        return failure(inCommandLineWords(*account.refusal));
    ConfigFiles::Context context = boundTo(settingsDirectory);
    const AccountsLock lock(context.UsersIni.FileName(), context.accountsLockWait);
    if (!lock.held())
        return lockRefused(lock, context);
    const AccountsFileLayout::Result before = AccountsFileLayout::scan(context.UsersIni);
    if (before.status == AccountsFileLayout::FileStatus::Unreadable)
        return failure(AccountsFileText::unreadable() + QStringLiteral("; nothing was saved (%1)").arg(where(context)));
    if (!AccountSave::write(context.UsersIni, account))
        return failure(QStringLiteral("The accounts file user.ini could not be written; account %1 is not saved (%2)")
                           .arg(QString::fromStdString(account.section), where(context)));
    const bool existed = hasSection(before, account.section);
    return {0, QStringLiteral("%1 account %2 (%3) in %4\n")
                   .arg(existed ? QStringLiteral("Updated") : QStringLiteral("Added"),
                        QString::fromStdString(account.section), name, where(context)),
            QString()};
}

Result remove(const QString &settingsDirectory, const QString &pilotId)
{
    const ConfigFiles::Context context = boundTo(settingsDirectory);
    const std::string section = toSettingsText(pilotId);
    const AccountsLock lock(context.UsersIni.FileName(), context.accountsLockWait);
    if (!lock.held())
        return lockRefused(lock, context);
    const AccountsFileLayout::Result scan = AccountsFileLayout::scan(context.UsersIni);
    if (scan.status == AccountsFileLayout::FileStatus::Unreadable)
        return failure(AccountsFileText::unreadable() + QStringLiteral("; it is unchanged (%1)").arg(where(context)));
    if (!hasSection(scan, section))
        return failure(QStringLiteral("No account %1 in %2; nothing was changed").arg(pilotId, where(context)));
    switch (AccountDeletion::deleteAccount(context.UsersIni, section)) {
    case AccountDeletion::Outcome::Rewritten:
        return {0, QStringLiteral("Deleted account %1 from %2\n").arg(pilotId, where(context)), QString()};
    case AccountDeletion::Outcome::NoFile:
        return failure(QStringLiteral("There is no %1; nothing to delete").arg(where(context)));
    case AccountDeletion::Outcome::Unreadable:
        return failure(AccountsFileText::unreadable() + QStringLiteral("; it is unchanged (%1)").arg(where(context)));
    case AccountDeletion::Outcome::Unwritable:
        break;
    }
    return failure(AccountsFileText::unwritten() + QStringLiteral(" (%1)").arg(where(context)));
}

} // namespace AccountsCommand
