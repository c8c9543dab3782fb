#pragma once
// The subcommands and what running one needs.
#include <functional>

#include "cli/console.h"
#include "cli/terminal.h"
#include "serial/line_speeds.h"

namespace CLI {
class App;
}

namespace zarvek::cli {

// What a chosen subcommand runs once the command line is parsed; its result is
// the exit code.
using Action = std::function<int(Terminal&, InterruptGuard&)>;

// Commands that exist on one platform only (platform_commands_posix.cpp,
// platform_commands_win32.cpp): `cable` and `demo`, which need the virtual
// cable of the Linux build.
void addPlatformCommands(CLI::App& app, Action& chosen);

}  // namespace zarvek::cli
