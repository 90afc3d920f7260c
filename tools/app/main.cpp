// ventoro: the operator's command line for a Ventoro server.
#include "AccountsCli.h"
#include "CommandLine.h"
#include "ControlClient.h"
#include "ProbeCli.h"
#include "StatusText.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTextStream>

#include <functional>

using CommandLine::Console;

namespace {

const char kOverview[] =
    "Usage: ventoro COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  status [--json]        what the server on this machine is doing: players, counters\n"
    "  kick SERVERID          remove a player from the server on this machine\n"
    "  accounts list|add|delete  the pilot accounts in user.ini\n"
    "  probe HOST ...         log on like a pilot's client and tell what the server answers\n"
    "\n"
    "ventoro COMMAND --help tells more about each.\n";

int printAnswer(const ControlClient::Reply &reply, Console &io, const std::function<QString(const QJsonObject &)> &text)
{
    if (!reply.reached) {
        io.err << "ventoro: " << reply.error << Qt::endl;
        return 1;
    }
    if (!reply.answer.value(QLatin1String("ok")).toBool()) {
        io.err << "ventoro: " << reply.answer.value(QLatin1String("error")).toString() << Qt::endl;
        return 1;
    }
    io.out << text(reply.answer);
    return 0;
}

int status(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the uptime, ports, players and counters of the server "
                                                    "running on this machine (its own user or root only)."));
    parser.addOption({QStringLiteral("json"), QStringLiteral("Print JSON, for monitoring.")});
    if (const auto exit = CommandLine::parse(parser, arguments, 0, io))
        return *exit;
    const bool json = parser.isSet(QStringLiteral("json"));
    return printAnswer(ControlClient::ask("status"), io, [json](const QJsonObject &answer) {
        return json ? QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Indented))
                    : StatusText::format(answer);
    });
}

int kick(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Removes a player from the server running on this machine, as "
                                                    "an expiry does: every other player is told."));
    parser.addPositionalArgument(QStringLiteral("SERVERID"), QStringLiteral("The player's server ID (see ventoro status)."));
    if (const auto exit = CommandLine::parse(parser, arguments, 1, io))
        return *exit;
    const QByteArray request = "kick " + parser.positionalArguments().first().toUtf8().left(20);
    return printAnswer(ControlClient::ask(request), io, [](const QJsonObject &answer) {
        return answer.value(QLatin1String("message")).toString() + QLatin1Char('\n');
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ventoro"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.2"));
    Console io;
    QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    arguments.removeAt(1 < arguments.size() ? 1 : 0);
    if (command == QLatin1String("status"))
        return status(arguments, io);
    if (command == QLatin1String("kick"))
        return kick(arguments, io);
    if (command == QLatin1String("accounts"))
        return AccountsCli::run(arguments, io);
    if (command == QLatin1String("probe"))
        return ProbeCli::run(arguments, io);
    const bool help = command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help");
    (help ? io.out : io.err) << kOverview;
    return help ? 0 : CommandLine::ExitUsage;
}
