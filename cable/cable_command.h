#pragma once
// The cable as a command: starts a cable, prints (and optionally links) its two
// ends and relays until SIGINT or SIGTERM. Used by `zarvek cable` and by the
// standalone `zarvek-cable`.
#include <cstdint>
#include <string>
#include <vector>

#include "cable/cable.h"

namespace CLI {
class App;
}

namespace zarvek {

// Each fault is one text, "DIR:..." with DIR "a2b" or "b2a" (see --help).
struct CableCommandOptions {
  int32_t baud = 0;
  std::string linkA, linkB;
  std::vector<std::string> flips;      // DIR:N:BIT
  std::vector<std::string> drops;      // DIR:N
  std::vector<std::string> pauses;     // DIR:N:MS
  std::vector<std::string> replaces;   // DIR:N:VALUE
  std::vector<std::string> bers;       // DIR:RATE
  std::vector<std::string> noises;     // DIR:AFTER:MS:VALUE
  std::vector<std::string> latencies;  // DIR:MIN:MAX
  std::vector<std::string> usbs;       // MS or DIR:MS
  bool uart = false;
  uint64_t seed = 1;
};

void addCableOptions(CLI::App& app, CableCommandOptions& o);

// Applies one --usb text: "MS" for both directions or "DIR:MS" for one; throws
// std::invalid_argument naming what is wrong. The benchmarks take it too.
void applyUsbOption(const std::string& text, CableConfig& config);
// What is wrong with a --usb text, or "" when it is good: for the option's check.
std::string usbOptionProblem(const std::string& text);

// The cable the options describe; throws std::invalid_argument naming a bad fault text.
CableConfig cableConfigFrom(const CableCommandOptions& o);

// Runs the cable until SIGINT/SIGTERM. 0 when stopped by a signal, 1 when the
// cable could not be made, 2 for bad options.
int runCableCommand(const CableCommandOptions& o);

}  // namespace zarvek
