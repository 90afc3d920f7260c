#include "ServerMain.h"

#include "OperatorAccess.h"
#include "OperatorMessage.h"
#include "ProgramSeams.h"
#include "ReceivePath.h"
#include "ServerContext.h"
#include "SignalWatcher.h"
#include "SingleInstance.h"
#include "StartupOptions.h"
#include "DebugScreen.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>

#include <cstdio>

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

void applyOptions(ServerContext &context, const StartupOptions::Options &options)
{
    for (const QString &warning : options.warnings)
        warn(warning);
    context.DebugOn = options.DebugOn;
    context.DebugLowLevelOn = options.DebugLowLevelOn;
    context.setCrashText(options.CrashText);
    context.MessageOfTheDay = options.MessageOfTheDay;
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
void openLog(ServerContext &context, const QString &path, QLabel *statusLabel)
{
    statusLabel->setText(QStringLiteral("Logging Active. Saving to log.txt"));
    context.log.setWriteFailureHandler([path](const QString &reason) {
        warn(QStringLiteral("cannot write to %1 (%2); the log is incomplete from here on").arg(path, reason));
    });
    std::unique_ptr<QFile> file = openLogFile(path);
    if (!file) {
        warn(QStringLiteral("logging is off for this run"));
        context.DebugOn = false;
        statusLabel->setText(QStringLiteral("Logging Not Active."));
        return;
    }
    context.log.open(std::move(file));
    const QString now = context.clock.timeOfDay().toString(QStringLiteral("hh:mm:ss"));
    for (const QString &line : StartupOptions::banner(now, context.DebugLowLevelOn))
        context.log.WriteLog(line);
}

// On SIGHUP: the log was moved away (or is to be); close it and go on in a
// new "log.txt" at the same path. Every line written before went to the old
// file. If the new one cannot be opened the old one stays in use.
void reopenLog(ServerContext &context, const QString &path)
{
    if (!context.log.isOpen())
        return;
    if (std::unique_ptr<QFile> file = openLogFile(path))
        context.log.open(std::move(file));
}

} // namespace

int run()
{
    // One copy per machine. VENTORO_INSTANCE names another lock, so that a
    // second server on other ports (or a test run) can live beside it.
    SingleInstance instance;
    const QString lockName = SingleInstance::nameFromEnvironment();
    if (!instance.tryAcquire(lockName)) {
        OperatorMessage::show(QLatin1String(kAlreadyRunning));
        return ExitRefused;
    }

    SystemClock clock;
    EventLoopYield yield;
    EndpointSender sender; // attached to the screen's socket once it exists
    ServerContext context(clock, sender, yield);
    context.ReceiveReady = true;

    const StartupOptions::Paths paths = StartupOptions::settingsPaths(QCoreApplication::applicationDirPath());
    context.UsersIni.FileName(paths.usersIni.toStdString());
    context.ServerIni.FileName(paths.serverIni.toStdString());

    DebugScreen screen(context);
    sender.attach(screen.endpoint(), context.counters);
    yield.attach(screen.endpoint());
    EndpointSource source(screen.endpoint());
    ReceivePath receivePath(context, source);
    QObject::connect(&screen.endpoint(), &UdpEndpoint::dataArrival, &screen,
                     [&receivePath](qint64 bytesTotal) { receivePath.onDataArrival(bytesTotal); });

    // Before anything is written to the log, so that a write beyond the file
    // size limit fails instead of killing the process.
    SignalWatcher processSignals;
    const QString logPath = QDir::current().absoluteFilePath(QStringLiteral("log.txt"));
    QObject::connect(&processSignals, &SignalWatcher::reopenRequested, &screen,
                     [&context, logPath] { reopenLog(context, logPath); });

    const StartupOptions::Options options = StartupOptions::read(context.ServerIni);
    applyOptions(context, options);
    if (context.DebugOn)
        openLog(context, logPath, screen.statusLabel());
    else
        screen.statusLabel()->setText(QStringLiteral("Logging Not Active."));

    if (options.ShowScreen)
        screen.show();

    // Stop requests are watched before the socket is bound: one that comes
    // as soon as the server listens still ends it in order.
    QObject::connect(&processSignals, &SignalWatcher::stopRequested, &screen, [&screen] {
        screen.stopListening();
        QCoreApplication::quit();
    });
    if (!screen.startListening())
        return ExitBindFailed;
    OperatorAccess operatorAccess(context, screen.endpoint(), lockName);
    operatorAccess.start();
    operatorAccess.printSummary(stdout);

    const int status = QApplication::exec();
    screen.stopListening();
    return status;
}

} // namespace ServerMain
