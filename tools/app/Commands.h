#pragma once

#include "CommandLine.h"

// The four commands of ventoro. Each takes the program's arguments with the
// command's own name left out, prints to the console and gives the
// program's exit status.
namespace Commands {

// status [--json]: the server on this machine, through its control socket.
int status(const QStringList &arguments, CommandLine::Console &io);
// kick SERVERID: removes a player from the server on this machine.
int kick(const QStringList &arguments, CommandLine::Console &io);
// accounts list | add PILOTID PASSWORD NAME | delete PILOTID [--dir DIR]:
// user.ini of a program directory, by default the one ventoro lives in.
int accounts(const QStringList &arguments, CommandLine::Console &io);
// probe HOST [--port 1500] [--reply-port 1501] --id N --password N
// --handle TEXT [--stay SECONDS]: logs on like a client (see ProbeCommand).
int probe(const QStringList &arguments, CommandLine::Console &io);

} // namespace Commands
