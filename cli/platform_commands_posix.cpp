#include <CLI/CLI.hpp>

#include "cable/cable_command.h"
#include "cli/commands.h"
#include "cli/demo.h"

namespace zarvek::cli {

void addPlatformCommands(CLI::App& app, Action& chosen) {
  static CableCommandOptions cable;
  CLI::App* cableCommand = app.add_subcommand(
      "cable", "Start a virtual null-modem cable and print its two ends (A and B); Ctrl+C ends it");
  addCableOptions(*cableCommand, cable);
  cableCommand->callback([&chosen] {
    // The cable prints its ends and waits for the signal itself.
    chosen = [](Terminal&, InterruptGuard&) { return runCableCommand(cable); };
  });

  static DemoOptions demo;
  const std::vector<int> speeds(std::begin(kLineSpeeds), std::end(kLineSpeeds));
  CLI::App* demoCommand = app.add_subcommand(
      "demo", "Send sample files over a virtual cable to a receiver in this process, then compare");
  demoCommand->add_option("-s,--speed", demo.speed, "Line speed of the cable and both ends (default 115200)")
      ->check(CLI::IsMember(speeds));
  demoCommand->callback([&chosen] {
    chosen = [](Terminal& terminal, InterruptGuard& interrupts) { return runDemo(demo, terminal, interrupts); };
  });
}

}  // namespace zarvek::cli
