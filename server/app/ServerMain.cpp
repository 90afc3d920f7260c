#include "ServerMain.h"

#include "DebugScreen.h"
#include "OperatorMessage.h"
#include "RelayService.h"
#include "RuntimeDirectory.h"
#include "ServerReload.h"
#include "SignalWatcher.h"
#include "SingleInstance.h"
#include "StartupOptions.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <memory>

namespace ServerMain {
namespace {

const char kAlreadyRunning[] =
    "Ventoro Server module is already running, cannot run program twice on same machine. If you have debugging "
    "disabled you will have no visible sign of the Server as running. It runs entirely in the background of the "
    "machine. Try CTRL-ALT-DEL to start the task manager to review if the program is running in the background";

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

// "log.txt" in the working directory, appended to. Unbuffered: every line
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

void applyOptions(ServerContext &context, const StartupOptions::Options &options)
{
    for (const QString &warning : options.warnings)
        warn(warning);
    context.DebugOn = options.DebugOn;
    context.DebugLowLevelOn = options.DebugLowLevelOn;
    context.ReplyToSourcePort = options.ReplyToSourcePort;
    context.setCrashText(options.CrashText);
    context.MessageOfTheDay = options.MessageOfTheDay;
    context.MaxPilots = options.MaxPilots;
    context.restartOnlyAtStart = StartupOptions::readRestartOnly(context.ServerIni);
}

// Tells the operator why the socket could not be bound: a box over the
// screen when there is one to see, else a log line and standard error.
void bindFailed(ServerContext &context, const QString &errorText, bool screenShown)
{
    if (screenShown && OperatorMessage::hasScreen()) {
        OperatorMessage::show(QStringLiteral("Couldn't Bind to port. Server closing"));
        return;
    }
    const QString event = QStringLiteral("Error binding to Adapter and port ") + errorText;
    if (context.ordinaryLinesOn())
        context.logEvent(event);
    OperatorMessage::show(QStringLiteral("Couldn't Bind to port. Server closing\n")
                              + context.clock.timeOfDay().toString(QStringLiteral("hh:mm:ss - ")) + event,
                          false);
}

} // namespace

int run(int argc, char *argv[])
{
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
        const auto app = application(displayAvailable(), argc, argv);
        OperatorMessage::show(QLatin1String(kAlreadyRunning));
        return ExitRefused;
    }

    const StartupOptions::Paths paths = StartupOptions::settingsPaths(programDirectory(argv[0]));
    INIFiles serverIni;
    serverIni.FileName(paths.serverIni.toStdString());
    const StartupOptions::Options options = StartupOptions::read(serverIni);
    const StartupOptions::HttpOptions http = StartupOptions::readHttp(serverIni);
    const bool windowed = options.ShowScreen && displayAvailable();
    const auto app = application(windowed, argc, argv);

    RelayService service;
    ServerContext &context = service.context();
    context.ReceiveReady = true;
    context.UsersIni.FileName(paths.usersIni.toStdString());
    context.ServerIni = serverIni;

    // Before anything is written to the log, so that a write beyond the file
    // size limit fails instead of killing the process.
    SignalWatcher processSignals;
    QObject::connect(&processSignals, &SignalWatcher::reloadRequested, &service, [&service] { service.reload(); });

    applyOptions(context, options);
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
    if (context.DebugOn)
        openLog(context, QDir::current().absoluteFilePath(QStringLiteral("log.txt")));

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
    if (!service.startListening(&error)) {
        bindFailed(context, error, screen && screen->isVisible());
        return ExitBindFailed;
    }
    service.startOperatorAccess(RuntimeDirectory::controlPath(runtimeDirectory, instance), instance);
    service.startStatusPage(http);

    const int status = QCoreApplication::exec();
    service.stopListening();
    return status;
}

} // namespace ServerMain
