// zarvek: the command line. Parses the arguments, then runs one subcommand with
// a terminal for its output and Ctrl+C turned into the engines' stop.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/ports.h"
#include "cli/receive_command.h"
#include "cli/send_command.h"
#include "job/transfer_job.h"

using namespace zarvek;
using namespace zarvek::cli;

namespace {

std::string defaultPortHelp() {
  const std::string device = portDevicePath(kDefaultPort);
  return device == kDefaultPort ? std::string(kDefaultPort)
                                : std::string(kDefaultPort) + ", which is " + device;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zarvek: copies files between two computers over a serial (RS-232) cable.\n"
               "Start `zarvek receive` on one computer first, then `zarvek send` on the other.",
               "zarvek"};
  app.footer(kExitCodesHelp);
  app.set_version_flag("--version", "zarvek " ZARVEK_VERSION);
  app.require_subcommand(1);
  app.fallthrough();  // --quiet after the subcommand's name too

  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "No progress line and no bell; results and errors only");
  bool classic = false;
  app.add_flag("--classic", classic,
               "Classic transfers only: neither offer nor take the verified mode that two Zarvek ends "
               "otherwise agree on for each file");
  bool noStream = false;
  app.add_flag("--no-stream", noStream,
               "Verified files wait for each packet's answer instead of streaming: slower, for diagnosis");

  std::string port = kDefaultPort;
  int speed = kDefaultSpeed;
  const std::vector<int> speeds(std::begin(kLineSpeeds), std::end(kLineSpeeds));
  auto addLineOptions = [&](CLI::App* command) {
    command->add_option("-p,--port", port, "Serial port: COM1.., /dev/ttyUSB0, a cable end (default " +
                                               defaultPortHelp() + ")");
    command->add_option("-s,--speed", speed, "Line speed in bit/s (default 115200)")
        ->check(CLI::IsMember(speeds));
  };

  Action chosen;

  ReceiveOptions receive;
  CLI::App* receiveCommand =
      app.add_subcommand("receive", "Receive files into a folder until Ctrl+C (or --files N)");
  addLineOptions(receiveCommand);
  receiveCommand->add_option("-d,--dir", receive.folder, "Folder for the received files (default: the current one)");
  receiveCommand->add_option("-n,--files", receive.files, "End after this many files have ended")
      ->check(CLI::PositiveNumber);
  bool noResume = false;
  receiveCommand->add_flag("--no-resume", noResume,
                           "Delete what arrived of a verified file that was cut off, instead of keeping it to "
                           "take up when it comes again");
  receiveCommand->callback([&] {
    chosen = [&](Terminal& terminal, InterruptGuard& interrupts) {
      receive.port = port;
      receive.speed = speed;
      receive.verify = !classic;
      receive.stream = !noStream;
      receive.resume = !noResume;
      receive.banner = !quiet;
      return runReceive(receive, terminal, interrupts);
    };
  });

  SendOptions send;
  send.retryLimit = kDefaultRetryLimit;
  CLI::App* sendCommand = app.add_subcommand("send", "Send files and folders, from anywhere");
  addLineOptions(sendCommand);
  sendCommand->add_option("-r,--retry-limit", send.retryLimit,
                          "Refusals of one packet in a row before a file is abandoned, " +
                              std::to_string(kRetryLimitMin) + "-" + std::to_string(kRetryLimitMax) + " (default " +
                              std::to_string(kDefaultRetryLimit) + ")")
      ->check(CLI::Range(kRetryLimitMin, kRetryLimitMax));
  sendCommand->add_option("PATH", send.files,
                          "Files or folders to send; a folder goes whole, under its own name")
      ->required();
  sendCommand->callback([&] {
    chosen = [&](Terminal& terminal, InterruptGuard& interrupts) {
      send.port = port;
      send.speed = speed;
      send.verify = !classic;
      send.stream = !noStream;
      return runSend(send, terminal, interrupts);
    };
  });

  CLI::App* portsCommand = app.add_subcommand("ports", "List the serial ports of this machine");
  portsCommand->callback([&] {
    chosen = [](Terminal& terminal, InterruptGuard&) {
      for (const auto& line : describePorts(listPorts())) terminal.line(line);
      return kExitSuccess;
    };
  });

  addPlatformCommands(app, chosen);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitSuccess : kExitBadArguments;
  }
  if (!chosen) return kExitBadArguments;

  const bool live = !quiet && isTerminal(stdout);
  Terminal terminal(live, !quiet && isTerminal(stdout), quiet);
  InterruptGuard interrupts;
  return chosen(terminal, interrupts);
}
