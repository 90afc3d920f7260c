#pragma once

#include <string>
#include <vector>

// Where a program finds its settings and accounts (VentoroServer.ini,
// user.ini, bans.ini) and where the server writes log.txt. Each comes from
// a start-up option, else from the default the build was configured with
// (the package's /etc/ventoro and /var/log/ventoro), else, in a plain
// build, from the program directory and the working directory.
namespace StartupDirectories {

inline constexpr char SettingsOption[] = "--settings-dir";
inline constexpr char LogOption[] = "--log-dir";

struct Directories {
    std::string settings; // absolute, without a trailing "/" unless it is "/"
    std::string log;      // absolute likewise
};

// What the command line asked for. `passOn` keeps the arguments that are
// not ours, in order, the program's name first: a window system takes its
// own ("-platform offscreen"). `error` is set for an option of ours without
// its directory, and for any other "--" option when `ownOptionsOnly`.
struct Request {
    std::string settingsDirectory; // empty: not given
    std::string logDirectory;      // empty: not given
    bool help = false;
    bool version = false;
    std::string error;
    std::vector<std::string> passOn;
};

// Takes "--settings-dir DIR", "--settings-dir=DIR", the same for
// "--log-dir" (only when `withLog`), "--help" ("-h") and "--version".
Request parse(int argc, const char *const argv[], bool withLog, bool ownOptionsOnly);

// The directories of a run: the requested ones made absolute against
// `workingDirectory`, else the build's defaults, else `programDirectory`
// for the settings and `workingDirectory` for the log.
Directories resolve(const Request &request, const std::string &programDirectory, const std::string &workingDirectory);

// The settings directory when no option names one.
std::string defaultSettingsDirectory(const std::string &programDirectory);

// `fileName` in `directory`, with one "/" between them.
std::string filePath(const std::string &directory, const std::string &fileName);

} // namespace StartupDirectories
