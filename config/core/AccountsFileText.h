#pragma once

#include "AccountsLock.h"

#include <QString>

// What the configuration tool and the command line say when user.ini cannot
// be read, written or locked. Each names the file and, where a change was
// asked for, that the file is unchanged.
namespace AccountsFileText {

QString unreadable();
QString unwritten();

// Why a writer that did not get the accounts lock changed nothing: another
// writer kept it for the whole wait, or the lock file (named in the text)
// could not be opened.
QString lockRefused(const AccountsLock &lock);

} // namespace AccountsFileText
