#pragma once

#include "AccountsLock.h"
#include "INIFiles.h"

#include <chrono>
#include <string>

// The configuration tool's start-up module.
namespace ConfigFiles {

// The tool's whole state outside its window: the two settings accessors,
// bound once at start-up and kept for the run. One per run, passed by
// reference, so a test can make a fresh one.
struct Context {
    INIFiles UsersIni;
    INIFiles ServerIni;
    // How long a change to the accounts waits for another writer of them.
    std::chrono::milliseconds accountsLockWait = AccountsLock::DefaultWait;
};

// The path of `fileName` in `directory`: one "/" between the two, none added
// when the directory already ends in one (the root directory).
std::string settingsFilePath(const std::string &directory, const std::string &fileName);

// Binds UsersIni to "user.ini" and ServerIni to "VentoroServer.ini" in the
// settings directory; a user.ini the tool makes is never readable by
// others. Touches neither file.
void bindSettingsFiles(Context &context, const std::string &settingsDirectory);

} // namespace ConfigFiles
