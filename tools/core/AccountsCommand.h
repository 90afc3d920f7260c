#pragma once

#include <QString>

// The pilot accounts in user.ini of a settings directory, edited without a
// display by the configuration tool's own rules: the same checks, told in
// the command line's words (PILOTID, PASSWORD, NAME), decimal text without leading zeros, replacement in one step,
// one writer at a time (a change waits for the accounts lock a few seconds,
// then gives up changing nothing), and no failure shown as success.
namespace AccountsCommand {

// What a command prints and how the program ends: exit status 0 when it
// did what was asked, 1 when it was refused or failed (the reason is in
// `error`, and user.ini is as it was).
struct Result {
    int exitCode = 0;
    QString output;
    QString error;
};

// One line per account, "Name ID:pilotid", sorted as the tool's list is.
Result list(const QString &settingsDirectory);

// Adds the account, or updates the one with that pilot ID. The pilot ID
// and the password take digits only, as the tool's boxes do.
Result add(const QString &settingsDirectory, const QString &pilotId, const QString &password, const QString &name);

// Deletes the account. A pilot ID that names no account changes nothing
// and says so.
Result remove(const QString &settingsDirectory, const QString &pilotId);

} // namespace AccountsCommand
