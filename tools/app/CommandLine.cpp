#include "CommandLine.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace CommandLine {

QString helpText(const QCommandLineParser &parser, const Console &io)
{
    // The parser names the program as it was started, often by its whole
    // path; the usage line names it as the operator types it.
    const QString program = QFileInfo(QCoreApplication::arguments().value(0)).fileName();
    QString text = parser.helpText();
    const QString usage = QStringLiteral("Usage: ");
    const qsizetype end = text.indexOf(QLatin1Char(' '), usage.size());
    if (text.startsWith(usage) && end > 0)
        text.replace(usage.size(), end - usage.size(),
                     io.command.isEmpty() ? program : program + QLatin1Char(' ') + io.command);
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
