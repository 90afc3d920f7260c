#pragma once

// Times the protocol core in-process, with a sender that only counts and a
// yield that does nothing: logons against a real accounts file, then flight
// data relayed among the registered players. Prints one line per figure.
namespace CoreBench {

struct Settings {
    int players = 50;
    int records = 200000;
};

int run(const Settings &settings);

} // namespace CoreBench
