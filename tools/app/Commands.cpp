#include "Commands.h"

#include "AccountsCommand.h"
#include "BansCommand.h"
#include "ControlClient.h"
#include "NetworkText.h"
#include "ProbeCommand.h"
#include "StatusText.h"

#include "StartupDirectories.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <functional>
#include <limits>

namespace Commands {

using CommandLine::Console;

namespace {

// Everything the server answers may carry text from the network: what
// reaches the terminal is made printable, and JSON well formed.
int printAnswer(const ControlClient::Reply &reply, Console &io, const std::function<QString(const QJsonObject &)> &text)
{
    if (!reply.reached) {
        io.err << "ventoro: " << NetworkText::oneLine(reply.error) << Qt::endl;
        return 1;
    }
    if (!reply.answer.value(QLatin1String("ok")).toBool()) {
        io.err << "ventoro: " << NetworkText::oneLine(reply.answer.value(QLatin1String("error")).toString()) << Qt::endl;
        return 1;
    }
    io.out << text(reply.answer);
    return 0;
}

QJsonValue wellFormed(const QJsonValue &value)
{
    if (value.isString())
        return NetworkText::wellFormed(value.toString());
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue &item : value.toArray())
            array.append(wellFormed(item));
        return array;
    }
    if (value.isObject()) {
        QJsonObject object;
        const QJsonObject source = value.toObject();
        for (auto it = source.begin(); it != source.end(); ++it)
            object.insert(NetworkText::wellFormed(it.key()), wellFormed(it.value()));
        return object;
    }
    return value;
}

QCommandLineOption settingsDirOption(const QString &file)
{
    const QString settings = QFile::decodeName(QByteArray::fromStdString(StartupDirectories::defaultSettingsDirectory(
        QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString())));
    return {{QStringLiteral("dir"), QStringLiteral("settings-dir")},
            QStringLiteral("The settings directory that holds %1 (default: %2).").arg(file, settings),
            QStringLiteral("DIR"), settings};
}

// What `status --json` prints when no server answers, so that monitoring
// gets a document rather than nothing.
QString unansweredJson(const ControlClient::Reply &reply)
{
    const QJsonObject document{{QStringLiteral("ok"), false},
                               {QStringLiteral("running"), !reply.noServer},
                               {QStringLiteral("error"), NetworkText::wellFormed(reply.error)}};
    return QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Indented));
}

int printResult(const QString &output, const QString &error, int exitCode, Console &io)
{
    io.out << output;
    if (!error.isEmpty())
        io.err << "ERROR: " << error << Qt::endl;
    return exitCode;
}

// What the server says it did on "reload" or "reload bans": its message,
// the changed settings that need a restart, then a note per warning.
QString reloadText(const QJsonObject &answer)
{
    QString text = NetworkText::oneLine(answer.value(QLatin1String("message")).toString()) + QLatin1Char('\n');
    QStringList restartOnly;
    for (const QJsonValue &key : answer.value(QLatin1String("restartOnly")).toArray())
        restartOnly.append(NetworkText::oneLine(key.toString()));
    if (!restartOnly.isEmpty())
        text += QStringLiteral("These settings change only with a restart: ") + restartOnly.join(QStringLiteral(", "))
            + QLatin1Char('\n');
    for (const QJsonValue &warning : answer.value(QLatin1String("warnings")).toArray())
        text += QStringLiteral("Note: ") + NetworkText::oneLine(warning.toString()) + QLatin1Char('\n');
    return text;
}

// A changed bans.ini, then the running server told to apply it. With no
// server running the change waits for its start; a server that did not
// apply it is a failure, as the operator would otherwise take the ban to
// hold.
int applyBansChange(const BansCommand::Result &result, Console &io)
{
    if (result.exitCode != 0)
        return printResult(result.output, result.error, result.exitCode, io);
    io.out << result.output;
    const ControlClient::Reply reply = ControlClient::ask("reload bans");
    if (reply.noServer) {
        io.out << "No server is running here; it applies the bans when it starts." << Qt::endl;
        return 0;
    }
    if (reply.reached && reply.answer.value(QLatin1String("ok")).toBool()) {
        io.out << "The server applied it: " << reloadText(reply.answer);
        return 0;
    }
    const QString why = reply.reached ? reply.answer.value(QLatin1String("error")).toString() : reply.error;
    io.err << "ventoro: the change is stored, but the running server did not apply it: " << NetworkText::oneLine(why)
           << "\n(ventoro reload, or SIGHUP, applies it)" << Qt::endl;
    return 1;
}

void addProbeOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Logs on to a server as a pilot's client does and tells what comes back.\n"
        "Exit status: 0 accepted, 1 rejected, 2 nothing answered, 3 could not run."));
    parser.addPositionalArgument(QStringLiteral("HOST"), QStringLiteral("The server's name, IPv4 or IPv6 address."));
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("The server's UDP port, its \"ConnectPort\" (default 1500)."),
         QStringLiteral("PORT"), QStringLiteral("1500")},
        {QStringLiteral("reply-port"),
         QStringLiteral("The UDP port here that the server answers to, its \"ClientConnectPort\" (default 1501)."),
         QStringLiteral("PORT"), QStringLiteral("1501")},
        {QStringLiteral("bind"),
         QStringLiteral("The local IPv4 or IPv6 address to send from and receive on, of the server's family "
                        "(default: every address of that family)."),
         QStringLiteral("ADDRESS")},
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

int status(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the uptime, ports, players and counters of the server "
                                                    "running on this machine (its own user or root only)."));
    parser.addOption({QStringLiteral("json"), QStringLiteral("Print JSON, for monitoring.")});
    if (const auto exit = CommandLine::parse(parser, arguments, 0, io))
        return *exit;
    const bool json = parser.isSet(QStringLiteral("json"));
    const ControlClient::Reply reply = ControlClient::ask("status");
    if (json && !reply.reached) {
        io.out << unansweredJson(reply);
        io.err << "ventoro: " << NetworkText::oneLine(reply.error) << Qt::endl;
        return 1;
    }
    return printAnswer(reply, io, [json](const QJsonObject &answer) {
        return json ? QString::fromUtf8(QJsonDocument(wellFormed(answer).toObject()).toJson(QJsonDocument::Indented))
                    : StatusText::format(answer);
    });
}

int kick(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Removes a player from the server running on this machine, as "
                                                    "an expiry does: every other player is told."));
    parser.addPositionalArgument(QStringLiteral("SERVERID"), QStringLiteral("The player's server ID (see ventoro status)."),
                                 QStringLiteral("SERVERID"));
    if (const auto exit = CommandLine::parse(parser, arguments, 1, io))
        return *exit;
    const QByteArray request = "kick " + parser.positionalArguments().first().toUtf8().left(20);
    return printAnswer(ControlClient::ask(request), io, [](const QJsonObject &answer) {
        return NetworkText::oneLine(answer.value(QLatin1String("message")).toString()) + QLatin1Char('\n');
    });
}

int accounts(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The pilot accounts in user.ini, by the configuration tool's rules; changes count from the server's next "
        "logon.\n"
        "  ventoro accounts list\n"
        "  ventoro accounts add PILOTID PASSWORD NAME   (adds, or updates the account with that pilot ID)\n"
        "  ventoro accounts delete PILOTID"));
    parser.addPositionalArgument(QStringLiteral("ACTION"), QStringLiteral("list, add or delete, with their arguments."),
                                 QStringLiteral("list | add PILOTID PASSWORD NAME | delete PILOTID"));
    parser.addOption(settingsDirOption(QStringLiteral("user.ini")));
    if (const auto exit = CommandLine::parse(parser, arguments, -1, io))
        return *exit;
    const QStringList words = parser.positionalArguments();
    const QString action = words.value(0);
    const QString directory = parser.value(QStringLiteral("dir"));
    AccountsCommand::Result result;
    if (action == QLatin1String("list") && words.size() == 1)
        result = AccountsCommand::list(directory);
    else if (action == QLatin1String("add") && words.size() == 4)
        result = AccountsCommand::add(directory, words.at(1), words.at(2), words.at(3));
    else if (action == QLatin1String("delete") && words.size() == 2)
        result = AccountsCommand::remove(directory, words.at(1));
    else {
        io.err << "Say list, add PILOTID PASSWORD NAME, or delete PILOTID.\n\n" << CommandLine::helpText(parser, io);
        return CommandLine::ExitUsage;
    }
    return printResult(result.output, result.error, result.exitCode, io);
}

int ban(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Keeps a pilot ID, an address or a network out: its logons are rejected without looking at the accounts, "
        "and every pilot it covers who is on is removed as by kick. Stored in bans.ini beside user.ini; the "
        "server on this machine applies it at once, or when it starts.\n"
        "  ventoro ban 1234 --for 7d --reason \"abusive chat\"\n"
        "  ventoro ban 198.51.100.0/24\n"
        "  ventoro ban 2001:db8::/48 --for 2h"));
    parser.addPositionalArgument(QStringLiteral("TARGET"), QStringLiteral("What to ban: a pilot ID, an address or a network."),
                                 QStringLiteral("PILOTID|ADDRESS[/PREFIX]"));
    parser.addOptions({
        {QStringLiteral("for"),
         QStringLiteral("How long: 90 (seconds), 30m, 2h, 7d, 1w. Without it the ban holds until it is lifted."),
         QStringLiteral("DURATION")},
        {QStringLiteral("reason"), QStringLiteral("Why, one line, shown by ventoro bans."), QStringLiteral("TEXT")},
        {QStringLiteral("force"), QStringLiteral("Needed to ban a network wider than an IPv4 /8 or an IPv6 /32.")},
        settingsDirOption(QStringLiteral("user.ini and bans.ini")),
    });
    if (const auto exit = CommandLine::parse(parser, arguments, 1, io))
        return *exit;
    std::optional<qint64> seconds;
    if (parser.isSet(QStringLiteral("for"))) {
        seconds = BansCommand::durationSeconds(parser.value(QStringLiteral("for")));
        if (!seconds) {
            io.err << "--for takes a duration such as 90, 30m, 2h, 7d or 1w (at most 100 years), not \""
                   << parser.value(QStringLiteral("for")) << "\"" << Qt::endl;
            return CommandLine::ExitUsage;
        }
    }
    return applyBansChange(BansCommand::ban(parser.value(QStringLiteral("dir")), parser.positionalArguments().first(),
                                            seconds, parser.value(QStringLiteral("reason")),
                                            QDateTime::currentSecsSinceEpoch(), parser.isSet(QStringLiteral("force"))),
                           io);
}

int unban(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Lifts a ban given with ventoro ban; the server on this machine "
                                                    "applies it at once."));
    parser.addPositionalArgument(QStringLiteral("TARGET"), QStringLiteral("What was banned: a pilot ID, an address or a "
                                                                      "network."),
                                 QStringLiteral("PILOTID|ADDRESS[/PREFIX]"));
    parser.addOption(settingsDirOption(QStringLiteral("user.ini and bans.ini")));
    if (const auto exit = CommandLine::parse(parser, arguments, 1, io))
        return *exit;
    return applyBansChange(BansCommand::unban(parser.value(QStringLiteral("dir")), parser.positionalArguments().first(),
                                              QDateTime::currentSecsSinceEpoch()),
                           io);
}

int bans(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Lists the bans in force in bans.ini, with until when and why."));
    parser.addOption(settingsDirOption(QStringLiteral("bans.ini")));
    if (const auto exit = CommandLine::parse(parser, arguments, 0, io))
        return *exit;
    const BansCommand::Result result =
        BansCommand::list(parser.value(QStringLiteral("dir")), QDateTime::currentSecsSinceEpoch());
    return printResult(result.output, result.error, result.exitCode, io);
}

int reload(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Makes the server on this machine reopen its log and take in MOTD, CrashText, MaxPilots and the bans again, "
        "as SIGHUP (systemctl reload ventoro) does, without dropping anyone. Other settings need a restart; the "
        "answer names those that changed."));
    if (const auto exit = CommandLine::parse(parser, arguments, 0, io))
        return *exit;
    return printAnswer(ControlClient::ask("reload"), io, reloadText);
}

int probe(const QStringList &arguments, Console &io)
{
    QCommandLineParser parser;
    addProbeOptions(parser);
    if (const auto exit = CommandLine::parse(parser, arguments, 1, io))
        return *exit;
    for (const char *required : {"id", "password", "handle"}) {
        if (!parser.isSet(QLatin1String(required))) {
            io.err << "--" << required << " is required.\n\n" << CommandLine::helpText(parser, io);
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

} // namespace Commands
