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

// "log.txt" in the working directory, appended to. A log that cannot be
// opened leaves logging off for the run.
void openLog(ServerContext &context, QLabel *statusLabel)
{
    statusLabel->setText(QStringLiteral("Logging Active. Saving to log.txt"));
    auto file = std::make_unique<QFile>(QDir::current().filePath(QStringLiteral("log.txt")));
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        warn(QStringLiteral("cannot open %1 for appending (%2); logging is off for this run")
                 .arg(file->fileName(), file->errorString()));
        context.DebugOn = false;
        statusLabel->setText(QStringLiteral("Logging Not Active."));
        return;
    }
    context.log.open(std::move(file));
    const QString now = context.clock.timeOfDay().toString(QStringLiteral("hh:mm:ss"));
    for (const QString &line : StartupOptions::banner(now, context.DebugLowLevelOn))
        context.log.WriteLog(line);
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

    const StartupOptions::Options options = StartupOptions::read(context.ServerIni);
    applyOptions(context, options);
    if (context.DebugOn)
        openLog(context, screen.statusLabel());
    else
        screen.statusLabel()->setText(QStringLiteral("Logging Not Active."));

    if (options.ShowScreen)
        screen.show();

    // Watched before the socket is bound: a stop request that comes as soon
    // as the server listens still ends it in order.
    SignalWatcher stopSignals;
    QObject::connect(&stopSignals, &SignalWatcher::stopRequested, &screen, [&screen] {
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
