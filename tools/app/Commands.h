#pragma once

#include "CommandLine.h"

// The commands of ventoro. Each takes the program's arguments with the
// command's own name left out, prints to the console and gives the
// program's exit status.
namespace Commands {

// status [--json]: the server on this machine, through its control socket.
int status(const QStringList &arguments, CommandLine::Console &io);
// kick SERVERID: removes a player from the server on this machine.
int kick(const QStringList &arguments, CommandLine::Console &io);
// accounts list | add PILOTID PASSWORD NAME | delete PILOTID [--dir DIR]:
// user.ini of a settings directory, by default the build's (the package's
// /etc/ventoro) or the one ventoro lives in.
int accounts(const QStringList &arguments, CommandLine::Console &io);
// ban PILOTID|ADDRESS[/PREFIX] [--for DURATION] [--reason TEXT] [--dir DIR],
// unban PILOTID|ADDRESS[/PREFIX] [--dir DIR], bans [--dir DIR]: bans.ini
// beside user.ini; a change is applied by the server on this machine at
// once when one runs.
int ban(const QStringList &arguments, CommandLine::Console &io);
int unban(const QStringList &arguments, CommandLine::Console &io);
int bans(const QStringList &arguments, CommandLine::Console &io);
// reload: the server on this machine reopens its log and takes in its
// live settings and the bans again, as on SIGHUP.
int reload(const QStringList &arguments, CommandLine::Console &io);
// probe HOST [--port 1500] [--reply-port 1501] --id N --password N
// --handle TEXT [--stay SECONDS]: logs on like a client (see ProbeCommand).
int probe(const QStringList &arguments, CommandLine::Console &io);

} // namespace Commands
