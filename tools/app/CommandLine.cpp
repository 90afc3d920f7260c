#include "CommandLine.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace CommandLine {

QString helpText(const QCommandLineParser &parser, const Console &io)
{
    const QString program = QFileInfo(QCoreApplication::arguments().value(0)).fileName();
    QString text = parser.helpText();
    const QString usage = QStringLiteral("Usage: ") + program;
    if (!io.command.isEmpty() && text.startsWith(usage))
        text.insert(usage.size(), QLatin1Char(' ') + io.command);
    return text;
}

std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments, int positionals, Console &io)
{
    parser.addHelpOption();
    if (!parser.parse(arguments)) {
        io.err << parser.errorText() << "\n\n" << helpText(parser, io);
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        io.out << helpText(parser, io);
        return 0;
    }
    if (positionals >= 0 && parser.positionalArguments().size() != positionals) {
        io.err << "Wrong number of arguments.\n\n" << helpText(parser, io);
        return ExitUsage;
    }
    return std::nullopt;
}

std::optional<qint64> number(const QString &text, const QString &what, qint64 lowest, qint64 highest, Console &io)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (ok && value >= lowest && value <= highest)
        return value;
    io.err << what << " must be a whole number from " << lowest << " to " << highest << ", not \"" << text << "\""
           << Qt::endl;
    return std::nullopt;
}

} // namespace CommandLine
