#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/exit_codes.h"

namespace zarvek::cli {

void addPlatformCommands(CLI::App& app, Action& chosen) {
  // Listed, so that a user who read about them learns why they do nothing here.
  for (const char* name : {"cable", "demo"}) {
    CLI::App* command = app.add_subcommand(name, "Linux only: the virtual null-modem cable is not available on Windows");
    command->allow_extras();
    command->callback([&chosen, name] {
      chosen = [name](Terminal& terminal, InterruptGuard&) {
        terminal.message(std::string("`zarvek ") + name +
                         "` is not available on Windows: the virtual cable needs Linux");
        return kExitBadArguments;
      };
    });
  }
}

}  // namespace zarvek::cli
