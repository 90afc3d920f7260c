#pragma once

// Times the configuration tool's account deletion on a large user.ini in a
// temporary directory: the file is read once, rebuilt in memory and
// replaced in one step. Prints one line per figure.
namespace AccountsBench {

struct Settings {
    int accounts = 5000;
};

int run(const Settings &settings);

} // namespace AccountsBench
