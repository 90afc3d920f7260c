#pragma once

// Times the registry checkpoint a server with "KeepPilotsOnRestart" keeps:
// taking the registry of N players and encoding it, writing it as the
// server does (replaced in one step, flushed to disk), and reading it back
// into an empty registry at start-up. Prints one line per figure.
namespace CheckpointBench {

int run(int players);

} // namespace CheckpointBench
