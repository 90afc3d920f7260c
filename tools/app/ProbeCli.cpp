#include "ProbeCli.h"

#include "ProbeCommand.h"

#include <limits>

namespace ProbeCli {
namespace {

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Logs on to a server as a pilot's client does and tells what comes back.\n"
        "Exit status: 0 accepted, 1 rejected, 2 nothing answered, 3 could not run."));
    parser.addPositionalArgument(QStringLiteral("HOST"), QStringLiteral("The server's name or IPv4 address."));
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("The server's UDP port, its \"ConnectPort\" (default 1500)."),
         QStringLiteral("PORT"), QStringLiteral("1500")},
        {QStringLiteral("reply-port"),
         QStringLiteral("The UDP port here that the server answers to, its \"ClientConnectPort\" (default 1501)."),
         QStringLiteral("PORT"), QStringLiteral("1501")},
        {QStringLiteral("bind"), QStringLiteral("The local address to receive on (default: every address)."),
         QStringLiteral("ADDRESS"), QStringLiteral("0.0.0.0")},
        {QStringLiteral("id"), QStringLiteral("The pilot ID of an account in user.ini."), QStringLiteral("N")},
        {QStringLiteral("password"), QStringLiteral("That account's password."), QStringLiteral("N")},
        {QStringLiteral("handle"), QStringLiteral("The pilot handle to log on with."), QStringLiteral("TEXT")},
        {QStringLiteral("stay"), QStringLiteral("Stay logged on this many seconds and print every record received."),
         QStringLiteral("SECONDS"), QStringLiteral("0")},
        {QStringLiteral("wait"), QStringLiteral("How long to wait for the answer to the logon (default 5)."),
         QStringLiteral("SECONDS"), QStringLiteral("5")},
    });
}

} // namespace

int run(const QStringList &arguments, CommandLine::Console &io)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (const auto exit = CommandLine::parse(parser, arguments, 1, io))
        return *exit;
    for (const char *required : {"id", "password", "handle"}) {
        if (!parser.isSet(QLatin1String(required))) {
            io.err << "--" << required << " is required.\n\n" << parser.helpText();
            return CommandLine::ExitUsage;
        }
    }
    auto value = [&](const char *name, qint64 lowest, qint64 highest) {
        return CommandLine::number(parser.value(QLatin1String(name)), QStringLiteral("--") + QLatin1String(name), lowest,
                                   highest, io);
    };
    const qint64 int32Max = std::numeric_limits<qint32>::max();
    const auto port = value("port", 1, 65535), replyPort = value("reply-port", 1, 65535);
    const auto id = value("id", 1, int32Max), password = value("password", 1, int32Max);
    const auto staySeconds = value("stay", 0, 86400), waitSeconds = value("wait", 1, 600);
    if (!port || !replyPort || !id || !password || !staySeconds || !waitSeconds)
        return CommandLine::ExitUsage;
    ProbeCommand::Options options;
    options.host = parser.positionalArguments().first();
    options.port = quint16(*port);
    options.replyPort = quint16(*replyPort);
    options.bindAddress = parser.value(QStringLiteral("bind"));
    options.pilotId = qint32(*id);
    options.password = qint32(*password);
    options.handle = parser.value(QStringLiteral("handle"));
    options.staySeconds = int(*staySeconds);
    options.waitSeconds = int(*waitSeconds);
    return ProbeCommand::run(options, io.out, io.err);
}

} // namespace ProbeCli
