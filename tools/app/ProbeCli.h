#pragma once

#include "CommandLine.h"

// ventoro probe HOST [--port 1500] [--reply-port 1501] --id N --password N
// --handle TEXT [--stay SECONDS]: the arguments of ProbeCommand.
namespace ProbeCli {

int run(const QStringList &arguments, CommandLine::Console &io);

} // namespace ProbeCli
