#pragma once
// The subcommands and what running one needs.
#include <functional>

#include "cli/console.h"
#include "cli/terminal.h"

namespace CLI {
class App;
}

namespace zarvek::cli {

// What a chosen subcommand runs once the command line is parsed; its result is
// the exit code.
using Action = std::function<int(Terminal&, InterruptGuard&)>;

// The speeds a port may be set to: the program's four, and for USB adapters more.
inline constexpr int kSpeeds[] = {9600, 19200, 57600, 115200, 230400, 460800, 921600};

// Commands that exist on one platform only (platform_commands_posix.cpp,
// platform_commands_win32.cpp): `cable` and `demo`, which need the virtual
// cable of the Linux build.
void addPlatformCommands(CLI::App& app, Action& chosen);

}  // namespace zarvek::cli
