#include "AccountsCli.h"

#include "AccountsCommand.h"

#include <QCoreApplication>

namespace AccountsCli {

int run(const QStringList &arguments, CommandLine::Console &io)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The pilot accounts in user.ini, by the configuration tool's rules; changes count from the server's next "
        "logon.\n"
        "  ventoro accounts list\n"
        "  ventoro accounts add PILOTID PASSWORD NAME   (adds, or updates the account with that pilot ID)\n"
        "  ventoro accounts delete PILOTID"));
    parser.addPositionalArgument(QStringLiteral("list|add|delete"), QStringLiteral("What to do."));
    parser.addOption({QStringLiteral("dir"),
                      QStringLiteral("The program directory that holds user.ini (default: %1).")
                          .arg(QCoreApplication::applicationDirPath()),
                      QStringLiteral("DIR"), QCoreApplication::applicationDirPath()});
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
        io.err << "Say list, add PILOTID PASSWORD NAME, or delete PILOTID.\n\n" << parser.helpText();
        return CommandLine::ExitUsage;
    }
    io.out << result.output;
    if (!result.error.isEmpty())
        io.err << "ERROR: " << result.error << Qt::endl;
    return result.exitCode;
}

} // namespace AccountsCli
