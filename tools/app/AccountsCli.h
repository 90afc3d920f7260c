#pragma once

#include "CommandLine.h"

// ventoro accounts list | add PILOTID PASSWORD NAME | delete PILOTID
// [--dir DIR]: the accounts in user.ini of a program directory, by
// default the one this program lives in.
namespace AccountsCli {

int run(const QStringList &arguments, CommandLine::Console &io);

} // namespace AccountsCli
