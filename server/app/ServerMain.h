#pragma once

// The server's start-up: refuse a second copy, find the settings, load the
// debug screen, read the options, open the log, show or hide the screen,
// bind the socket, then live on events until the screen is unloaded or the
// process is told to stop. Returns the process's exit status: 0 after an
// orderly end, 1 when another copy is running, 2 when the port cannot be
// bound.
namespace ServerMain {

constexpr int ExitRefused = 1;
constexpr int ExitBindFailed = 2;

int run();

} // namespace ServerMain
