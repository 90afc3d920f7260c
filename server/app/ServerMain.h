#pragma once

// The server's start-up: refuse a second copy, find the settings, read the
// options, build a window system only when the debug screen is to be shown
// on a display, open the log, bind the socket, then live on events until
// the screen is closed or the process is told to stop. The settings are
// found in the directory "--settings-dir" names and the log is written to
// the one "--log-dir" names (see StartupDirectories for the defaults).
// Returns the process's exit status: 0 after an orderly end (or --help),
// 1 when another copy is running (or the names it would be found by cannot
// be made), 2 when the port cannot be bound, 3 when bans.ini exists but
// cannot be taken in, 64 for a wrong command line.
namespace ServerMain {

constexpr int ExitRefused = 1;
constexpr int ExitBindFailed = 2;
constexpr int ExitBansUnreadable = 3;
constexpr int ExitUsage = 64;

int run(int argc, char *argv[]);

} // namespace ServerMain
