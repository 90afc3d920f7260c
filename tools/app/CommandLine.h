#pragma once

#include <QCommandLineParser>
#include <QStringList>
#include <QTextStream>

#include <optional>

// What every ventoro command shares: the two output streams and the
// parsing of its arguments, with --help on each.
namespace CommandLine {

// Wrong arguments end the program with this status.
constexpr int ExitUsage = 64;

struct Console {
    QTextStream out{stdout};
    QTextStream err{stderr};
    QString command; // the command's name, for its usage line
};

// The parser's help, its usage line naming the command: "Usage: ventoro
// status [options]".
QString helpText(const QCommandLineParser &parser, const Console &io);

// Adds --help and parses the command's arguments (the program's name
// first, the command's name left out). Gives the exit status when the
// program should end here: help shown (0), or wrong arguments, or not
// exactly `positionals` positional arguments when that is not negative.
std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments, int positionals, Console &io);

// The value of a numeric option or argument; a text that is not a whole
// number in range is reported and gives nothing.
std::optional<qint64> number(const QString &text, const QString &what, qint64 lowest, qint64 highest, Console &io);

} // namespace CommandLine
