// VentoroConfig: the operator's editor for the server's settings files.
#include "ConfigFiles.h"
#include "ConfigWindow.h"
#include "StartupDirectories.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const char kUsage[] = "Usage: VentoroConfig [--settings-dir DIR]\n"
                      "The configuration tool of the Ventoro server (see man VentoroConfig).\n"
                      "  --settings-dir DIR  where VentoroServer.ini and user.ini are (default: %s)\n"
                      "  --help, --version\n";

std::string programDirectory(const char *argv0)
{
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString program = self.exists() ? self.canonicalFilePath() : QFile::decodeName(argv0);
    return QFile::encodeName(QFileInfo(program).absolutePath()).toStdString();
}

// Answers --help and --version and refuses a wrong command line; gives the
// exit status when the program ends here.
std::optional<int> answerCommandLine(const StartupDirectories::Request &request, const std::string &settings)
{
    if (!request.error.empty()) {
        std::fprintf(stderr, "VentoroConfig: %s\n\n", request.error.c_str());
        std::fprintf(stderr, kUsage, settings.c_str());
        return 64;
    }
    if (request.version) {
        std::printf("VentoroConfig %s\n", VENTORO_VERSION);
        return 0;
    }
    if (request.help) {
        std::printf(kUsage, settings.c_str());
        return 0;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    const StartupDirectories::Request request = StartupDirectories::parse(argc, argv, false, false);
    const std::string settings =
        StartupDirectories::resolve(request, programDirectory(argv[0]), QFile::encodeName(QDir::currentPath()).toStdString())
            .settings;
    if (const std::optional<int> status = answerCommandLine(request, settings))
        return *status;
    // The tool is a window and nothing else: without a display, say so
    // rather than let the platform abort.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "VentoroConfig needs a display: set DISPLAY, or edit VentoroServer.ini and user.ini "
                             "in %s by hand (ventoro accounts edits the accounts).\n", settings.c_str());
        return 1;
    }
    std::vector<std::string> texts = request.passOn;
    std::vector<char *> pointers;
    for (std::string &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    int applicationArgc = int(texts.size());
    QApplication app(applicationArgc, pointers.data());
    // Whatever the window system did not take is not for this program.
    if (QApplication::arguments().size() > 1) {
        std::fprintf(stderr, "VentoroConfig: unknown argument %s\n\n", qPrintable(QApplication::arguments().at(1)));
        std::fprintf(stderr, kUsage, settings.c_str());
        return 64;
    }
    ConfigFiles::Context context;
    ConfigFiles::bindSettingsFiles(context, settings);
    ConfigWindow window(context);
    window.show();
    return app.exec();
}
