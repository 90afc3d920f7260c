// ventoro: the operator's command line for a Ventoro server.
#include "CommandLine.h"
#include "Commands.h"

#include <QCoreApplication>
#include <QTextStream>

using CommandLine::Console;

namespace {

const char kOverview[] =
    "Usage: ventoro COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  status [--json]        what the server on this machine is doing: players, counters\n"
    "  kick SERVERID          remove a player from the server on this machine\n"
    "  accounts list|add|delete  the pilot accounts in user.ini\n"
    "  ban TARGET [--for DURATION] [--reason TEXT]\n"
    "                         keep a pilot ID, an address or a network (a.b.c.0/24) out\n"
    "  unban TARGET           lift a ban\n"
    "  bans                   the bans in force\n"
    "  reload                 the server takes in MOTD, CrashText, MaxPilots and the bans again\n"
    "  probe HOST ...         log on like a pilot's client and tell what the server answers\n"
    "\n"
    "ventoro COMMAND --help tells more about each; ventoro --version tells the version.\n";

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ventoro"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VENTORO_VERSION));
    Console io;
    QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (arguments.size() > 1)
        arguments.removeAt(1);
    io.command = command;
    if (command == QLatin1String("--version") || command == QLatin1String("-v")) {
        io.out << "ventoro " << QCoreApplication::applicationVersion() << Qt::endl;
        return 0;
    }
    if (command == QLatin1String("status"))
        return Commands::status(arguments, io);
    if (command == QLatin1String("kick"))
        return Commands::kick(arguments, io);
    if (command == QLatin1String("accounts"))
        return Commands::accounts(arguments, io);
    if (command == QLatin1String("probe"))
        return Commands::probe(arguments, io);
    if (command == QLatin1String("ban"))
        return Commands::ban(arguments, io);
    if (command == QLatin1String("unban"))
        return Commands::unban(arguments, io);
    if (command == QLatin1String("bans"))
        return Commands::bans(arguments, io);
    if (command == QLatin1String("reload"))
        return Commands::reload(arguments, io);
    const bool help = command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help");
    (help ? io.out : io.err) << kOverview;
    return help ? 0 : CommandLine::ExitUsage;
}
