#pragma once
// The COM ports a Windows machine has now, for choosing one: the command
// line's `ports` and the Communications Setup dialog list the same.
#include <string>
#include <vector>

namespace zarvek {

struct ComPort {
  std::string name;          // "COM7"
  std::string friendlyName;  // as the device manager shows it: "USB Serial Port (COM7)"; may be empty
};

// The COM names of the system's port registry (every serial driver writes it:
// UARTs, USB adapters, Wine's pinned ports) in number order, each once, with
// the friendly name of the ports-class device present under that name.
std::vector<ComPort> presentComPorts();

}  // namespace zarvek
