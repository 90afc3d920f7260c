#include "CommandLine.h"

namespace CommandLine {

std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments, int positionals, Console &io)
{
    parser.addHelpOption();
    if (!parser.parse(arguments)) {
        io.err << parser.errorText() << "\n\n" << parser.helpText();
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        io.out << parser.helpText();
        return 0;
    }
    if (positionals >= 0 && parser.positionalArguments().size() != positionals) {
        io.err << "Wrong number of arguments.\n\n" << parser.helpText();
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
