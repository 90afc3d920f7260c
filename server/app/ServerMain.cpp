#include "ServerMain.h"

#include "CheckpointKeeper.h"
#include "DebugScreen.h"
#include "OperatorMessage.h"
#include "RelayService.h"
#include "RuntimeDirectory.h"
#include "ServerReload.h"
#include "ServiceManager.h"
#include "SignalWatcher.h"
#include "ServerOptionChecks.h"
#include "SingleInstance.h"
#include "StartupDirectories.h"
#include "StartupOptions.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ServerMain {
namespace {

const char kAlreadyRunning[] =
    "Ventoro Server module is already running, cannot run program twice on same machine. If you have debugging "
    "disabled you will have no visible sign of the Server as running. It runs entirely in the background of the "
    "machine. Try CTRL-ALT-DEL to start the task manager to review if the program is running in the background";

const char kUsage[] =
    "Usage: VentoroServer [--settings-dir DIR] [--log-dir DIR]\n"
    "The relay server for flight-simulator pilots (see man VentoroServer).\n"
    "  --settings-dir DIR  where VentoroServer.ini, user.ini and bans.ini are (default: %s)\n"
    "  --log-dir DIR       where log.txt is written (default: %s)\n"
    "  --help, --version\n";

void warn(const QString &text)
{
    std::fprintf(stderr, "VentoroServer: %s\n", qPrintable(text));
    std::fflush(stderr);
}

// The toolkit's message handler is process-wide by its nature; this keeps
// the one that was installed before ours.
QtMessageHandler g_toolkitHandler = nullptr;

// With no XDG_RUNTIME_DIR (a plain SSH session) a window system notes on
// every start that it falls back to a directory of its own. The fallback
// works, and the note only hides what the operator needs to read.
void withoutRuntimeDirNote(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    if (g_toolkitHandler)
        g_toolkitHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// Whether a window could be seen: a window system other than the off-screen
// ones is asked for, or a display is named.
bool displayAvailable()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty())
        return !platform.startsWith("offscreen") && !platform.startsWith("minimal");
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// The application for a run with a window. With a display named but not
// reachable it falls back to drawing off screen instead of aborting.
std::unique_ptr<QCoreApplication> windowApplication(int &argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        g_toolkitHandler = qInstallMessageHandler(withoutRuntimeDirNote);
    return std::make_unique<QApplication>(argc, argv);
}

std::unique_ptr<QCoreApplication> application(bool windowed, int &argc, char *argv[])
{
    auto app = windowed ? windowApplication(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VentoroServer"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VENTORO_VERSION));
    return app;
}

// The directory that holds the program file, known before any application
// object exists.
QString programDirectory(const char *argv0)
{
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString program = self.exists() ? self.canonicalFilePath() : QFile::decodeName(argv0);
    return QFileInfo(program).absolutePath();
}

// The command line less the options read here, for the application
// object: a window system takes its own ("-platform offscreen").
struct ApplicationArguments {
    std::vector<std::string> texts;
    std::vector<char *> pointers;
    int argc = 0;

    explicit ApplicationArguments(std::vector<std::string> arguments) : texts(std::move(arguments))
    {
        for (std::string &text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        argc = int(texts.size());
    }
};

// Answers --help and --version, and refuses a wrong command line; gives
// the exit status when the program ends here.
std::optional<int> answerCommandLine(const StartupDirectories::Request &request, const char *argv0)
{
    if (!request.error.empty()) {
        std::fprintf(stderr, "VentoroServer: %s\n\n", request.error.c_str());
        std::fprintf(stderr, kUsage, "the program directory", "the working directory");
        return ExitUsage;
    }
    if (request.version) {
        std::printf("VentoroServer %s\n", VENTORO_VERSION);
        return 0;
    }
    if (!request.help)
        return std::nullopt;
    const StartupDirectories::Directories defaults =
        StartupDirectories::resolve({}, QFile::encodeName(programDirectory(argv0)).toStdString(), ".");
    std::printf(kUsage, defaults.settings.c_str(),
                defaults.log == "." ? "the working directory" : defaults.log.c_str());
    return 0;
}

// What helps on Linux after the fixed text for a second copy: which
// process holds the lock and how to stop it or run another server beside it.
QString secondCopyHelp(const QString &lockPath)
{
    const qint64 pid = SingleInstance::holderProcessId(lockPath);
    const QString holder = pid > 0 ? QStringLiteral("The running copy is process %1 (%2); stop it with \"kill %1\" "
                                                    "(\"sudo systemctl stop ventoro\" for the service)")
                                         .arg(QString::number(pid), lockPath)
                                   : QStringLiteral("The running copy holds %1").arg(lockPath);
    return holder + QStringLiteral(", or run a second server beside it with VENTORO_INSTANCE=NAME and other ports in "
                                   "a settings directory of its own (--settings-dir DIR).");
}

// A ConnectPort or ClientConnectPort the server cannot take is said before
// the bind failure it leads to.
void warnAboutPorts(const INIFiles &serverIni)
{
    QString error;
    if (!StartupOptions::readPorts(serverIni, &error))
        warn(error + QStringLiteral(" in %1; the server cannot listen")
                         .arg(QString::fromStdString(serverIni.FileName())));
}

// What helps on Linux after the fixed text for a failed bind: the address,
// port, setting and file, and where to look.
QString bindHelp(const INIFiles &serverIni, const QString &errorText)
{
    QString unused;
    const std::optional<StartupOptions::Ports> ports = StartupOptions::readPorts(serverIni, &unused);
    const QString file = QString::fromStdString(serverIni.FileName());
    if (!ports)
        return QStringLiteral("Set \"ConnectPort\" and \"ClientConnectPort\" in %1 to port numbers from 1 to 65535.")
            .arg(file);
    const QString port = QString::number(ports->localPort);
    return QStringLiteral("UDP port %1 on every address of this machine (\"ConnectPort\" in %2) could not be had: %3. "
                          "\"ss -ulpn 'sport = :%1'\" shows which program holds it; stop that program, or set "
                          "another ConnectPort.")
        .arg(port, file, errorText);
}

// "log.txt" in the log directory, appended to. Unbuffered: every line
// goes to the file as it is written, and a line that cannot be written (a
// full disk) is dropped rather than kept in memory.
std::unique_ptr<QFile> openLogFile(const QString &path)
{
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        warn(QStringLiteral("cannot open %1 for appending (%2)").arg(path, file->errorString()));
        return nullptr;
    }
    return file;
}

// A log that cannot be opened leaves logging off for the run.
void openLog(ServerContext &context, const QString &path)
{
    context.log.setWriteFailureHandler([path](const QString &reason) {
        warn(QStringLiteral("cannot write to %1 (%2); the log is incomplete from here on").arg(path, reason));
    });
    std::unique_ptr<QFile> file = openLogFile(path);
    if (!file) {
        warn(QStringLiteral("logging is off for this run"));
        context.DebugOn = false;
        return;
    }
    context.log.open(std::move(file));
    context.log.setReopener([path] { return openLogFile(path); });
    const QString now = context.clock.timeOfDay().toString(QStringLiteral("hh:mm:ss"));
    for (const QString &line : StartupOptions::banner(now, context.DebugLowLevelOn))
        context.log.WriteLog(line);
}

// Tells the operator why the socket could not be bound: a box over the
// screen when there is one to see, else a log line and standard error.
void bindFailed(ServerContext &context, const QString &errorText, bool screenShown)
{
    const QString help = bindHelp(context.ServerIni, errorText);
    if (screenShown && OperatorMessage::hasScreen()) {
        OperatorMessage::show(QStringLiteral("Couldn't Bind to port. Server closing"), true, help);
        return;
    }
    const QString event = QStringLiteral("Error binding to Adapter and port ") + errorText;
    if (context.ordinaryLinesOn())
        context.logEvent(event);
    OperatorMessage::show(QStringLiteral("Couldn't Bind to port. Server closing\n")
                              + context.clock.timeOfDay().toString(QStringLiteral("hh:mm:ss - ")) + event,
                          false, help);
}

// A sky that cannot be joined leaves the server running alone, saying why.
void joinSky(RelayService &service, DebugScreen *screen, const RegistryCheckpoint::SkyRun &previous)
{
    ServerContext &context = service.context();
    const SkyOptions::Options sky = SkyOptions::read(context.ServerIni);
    QStringList problems = sky.warnings;
    QString error;
    if (sky.on() && !service.joinSky(sky, previous, &error))
        problems.append(QStringLiteral("The sky \"") + sky.name + QStringLiteral("\" cannot be joined: ") + error
                        + QStringLiteral("; the server runs alone"));
    if (screen && sky.on() && problems.isEmpty())
        screen->showSky(QStringLiteral("Sky \"") + sky.name + QStringLiteral("\", node ") + QString::number(sky.node));
    for (const QString &problem : problems) {
        warn(problem);
        if (context.ordinaryLinesOn())
            context.logEvent(problem);
    }
}

// With "KeepPilotsOnRestart": the registry the previous run left, when it
// fits the socket just bound, and its checkpoint kept from now on.
std::unique_ptr<CheckpointKeeper> keepPilots(RelayService &service, const QString &stateDirectory,
                                             const QString &instance)
{
    ServerContext &context = service.context();
    const RegistryCheckpoint::Setup setup{service.endpoint().localPort(), context.ClientConnectPort,
                                          context.ReplyToSourcePort};
    auto keeper = std::make_unique<CheckpointKeeper>(
        context, CheckpointKeeper::filePath(CheckpointKeeper::stateDirectory(stateDirectory), instance), setup);
    keeper->restoreAtStart(QDateTime::currentMSecsSinceEpoch());
    keeper->start();
    return keeper;
}

} // namespace

int run(int argc, char *argv[])
{
    const StartupDirectories::Request request = StartupDirectories::parse(argc, argv, true, true);
    if (const std::optional<int> status = answerCommandLine(request, argv[0]))
        return *status;
    const StartupDirectories::Directories directories = StartupDirectories::resolve(
        request, QFile::encodeName(programDirectory(argv[0])).toStdString(),
        QFile::encodeName(QDir::currentPath()).toStdString());
    ApplicationArguments arguments(request.passOn);

    // One copy per machine and user; VENTORO_INSTANCE names another lock,
    // so that a second server on other ports (or a test run) can live beside
    // it. Nothing else is touched before the lock is held.
    const QString instance = RuntimeDirectory::instanceName();
    if (!RuntimeDirectory::isValidInstanceName(instance)) {
        warn(QStringLiteral("VENTORO_INSTANCE=\"%1\" cannot name a server: use letters, digits, \".\", \"_\" and \"-\"")
                 .arg(instance));
        return ExitRefused;
    }
    QString error;
    const QString runtimeDirectory = RuntimeDirectory::prepareForServer(&error);
    if (runtimeDirectory.isEmpty()) {
        warn(error);
        return ExitRefused;
    }
    SingleInstance instanceLock;
    if (!instanceLock.tryAcquire(RuntimeDirectory::lockPath(runtimeDirectory, instance))) {
        if (!instanceLock.errorText().isEmpty()) {
            warn(instanceLock.errorText());
            return ExitRefused;
        }
        const auto app = application(displayAvailable(), arguments.argc, arguments.pointers.data());
        OperatorMessage::show(QLatin1String(kAlreadyRunning), true,
                              secondCopyHelp(RuntimeDirectory::lockPath(runtimeDirectory, instance)));
        return ExitRefused;
    }

    // The sockets a previous run left in the service manager's store; any
    // not taken below are closed when the run ends.
    ServiceManager::StoredSockets storedSockets;

    const StartupOptions::Paths paths =
        StartupOptions::settingsPaths(QFile::decodeName(QByteArray::fromStdString(directories.settings)));
    INIFiles serverIni;
    serverIni.FileName(paths.serverIni.toStdString());
    const StartupOptions::Options options = StartupOptions::read(serverIni);
    const StartupOptions::HttpOptions http = StartupOptions::readHttp(serverIni);
    const bool windowed = options.ShowScreen && displayAvailable();
    const auto app = application(windowed, arguments.argc, arguments.pointers.data());

    RelayService service({serverIni, paths.usersIni, options});
    ServerContext &context = service.context();
    for (const QString &warning : options.warnings)
        warn(warning);

    // Before anything is written to the log, so that a write beyond the file
    // size limit fails instead of killing the process.
    SignalWatcher processSignals;
    QObject::connect(&processSignals, &SignalWatcher::reloadRequested, &service, [&service] { service.reload(); });

    for (const QString &warning : http.warnings)
        warn(warning);
    // Bans outlive runs: a server that cannot take in its bans.ini does not
    // start, rather than let in everyone the operator shut out.
    QStringList banWarnings;
    if (!ServerReload::loadAtStart(context, &error, &banWarnings)) {
        warn(error + QStringLiteral("; the server does not start without its bans (fix the file, or remove it "
                                    "for none)"));
        return ExitBansUnreadable;
    }
    for (const QString &warning : banWarnings)
        warn(warning);
    const QString logPath = QFile::decodeName(
        QByteArray::fromStdString(StartupDirectories::filePath(directories.log, "log.txt")));
    if (context.DebugOn)
        openLog(context, logPath);

    // Closing the screen and SIGTERM or SIGINT end the run alike. A stop may
    // come in a yield of a handler (an operator's request that removes
    // players sends, and every send lets events run): the event loop ends
    // once that handler has returned, and the service closes after it.
    const auto stop = [] { QCoreApplication::quit(); };
    std::unique_ptr<DebugScreen> screen;
    if (windowed) {
        screen = std::make_unique<DebugScreen>(service);
        QObject::connect(screen.get(), &DebugScreen::closing, &service, stop);
        screen->show();
    }

    // Stop requests are watched before the socket is bound: one that comes
    // as soon as the server listens still ends it in order.
    QObject::connect(&processSignals, &SignalWatcher::stopRequested, &service, stop);
    warnAboutPorts(context.ServerIni);
    if (!service.startListening(&error, storedSockets.take("udp"))) {
        bindFailed(context, error, screen && screen->isVisible());
        return ExitBindFailed;
    }
    const std::unique_ptr<CheckpointKeeper> checkpoint =
        options.KeepPilotsOnRestart ? keepPilots(service, programDirectory(argv[0]), instance) : nullptr;
    joinSky(service, screen.get(), checkpoint ? checkpoint->restoredSkyRun() : RegistryCheckpoint::SkyRun{});
    service.startOperatorAccess(RuntimeDirectory::controlPath(runtimeDirectory, instance), instance, logPath);
    service.startStatusPage(http, storedSockets.take("http"));
    ServiceManager::notifyReady();

    const int status = QCoreApplication::exec();
    ServiceManager::notifyStopping();
    if (checkpoint)
        checkpoint->writeNow(QDateTime::currentMSecsSinceEpoch());
    service.stopListening();
    return status;
}

} // namespace ServerMain
