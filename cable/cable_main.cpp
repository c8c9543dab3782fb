// zarvek-cable: a virtual null-modem cable for trying programs against each other.
#include <CLI/CLI.hpp>

#include "cable/cable_command.h"

int main(int argc, char** argv) {
  CLI::App app{"Virtual null-modem cable: two pseudo-terminal ends, optionally paced and faulty.\n"
               "Prints \"A <end> [link]\" and \"B <end> [link]\", then relays until Ctrl-C."};
  zarvek::CableCommandOptions options;
  zarvek::addCableOptions(app, options);
  CLI11_PARSE(app, argc, argv);
  return zarvek::runCableCommand(options);
}
