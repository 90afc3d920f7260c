#include "StartupDirectories.h"

#include <string_view>

namespace StartupDirectories {
namespace {

// The value of `--name=VALUE` or `--name VALUE` at argv[*i]; nullptr when
// argv[*i] is not that option. A missing value is the empty text.
const char *optionValue(std::string_view name, int argc, const char *const argv[], int *i, bool *matched)
{
    const std::string_view argument = argv[*i];
    *matched = false;
    if (argument == name) {
        *matched = true;
        return *i + 1 < argc ? argv[++*i] : "";
    }
    if (argument.size() > name.size() && argument.substr(0, name.size()) == name && argument[name.size()] == '=') {
        *matched = true;
        return argv[*i] + name.size() + 1;
    }
    return nullptr;
}

std::string withoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string absolute(const std::string &path, const std::string &workingDirectory)
{
    if (!path.empty() && path.front() == '/')
        return withoutTrailingSlash(path);
    if (path == "." || path == "./")
        return withoutTrailingSlash(workingDirectory);
    return withoutTrailingSlash(filePath(workingDirectory, path));
}

} // namespace

Request parse(int argc, const char *const argv[], bool withLog, bool ownOptionsOnly)
{
    Request request;
    if (argc > 0)
        request.passOn.emplace_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        bool matched = false;
        if (const char *value = optionValue(SettingsOption, argc, argv, &i, &matched); matched) {
            request.settingsDirectory = value;
            if (request.settingsDirectory.empty())
                request.error = std::string(SettingsOption) + " needs a directory";
        } else if (const char *log = withLog ? optionValue(LogOption, argc, argv, &i, &matched) : nullptr; matched) {
            request.logDirectory = log;
            if (request.logDirectory.empty())
                request.error = std::string(LogOption) + " needs a directory";
        } else if (argument == "--help" || argument == "-h") {
            request.help = true;
        } else if (argument == "--version") {
            request.version = true;
        } else if (ownOptionsOnly && argument.substr(0, 2) == "--") {
            request.error = "unknown option " + std::string(argument);
        } else {
            request.passOn.emplace_back(argument);
        }
    }
    return request;
}

std::string defaultSettingsDirectory(const std::string &programDirectory)
{
    const std::string configured = VENTORO_SETTINGS_DIR;
    return configured.empty() ? withoutTrailingSlash(programDirectory) : configured;
}

Directories resolve(const Request &request, const std::string &programDirectory, const std::string &workingDirectory)
{
    const std::string configuredLog = VENTORO_LOG_DIR;
    Directories directories;
    directories.settings = request.settingsDirectory.empty() ? defaultSettingsDirectory(programDirectory)
                                                             : absolute(request.settingsDirectory, workingDirectory);
    if (!request.logDirectory.empty())
        directories.log = absolute(request.logDirectory, workingDirectory);
    else
        directories.log = configuredLog.empty() ? withoutTrailingSlash(workingDirectory) : configuredLog;
    return directories;
}

std::string filePath(const std::string &directory, const std::string &fileName)
{
    if (!directory.empty() && directory.back() == '/')
        return directory + fileName;
    return directory + "/" + fileName;
}

} // namespace StartupDirectories
