#pragma once
// The serial ports of this machine, and what to tell a user who may not open
// one. One source per platform (ports_posix.cpp, ports_win32.cpp).
#include <string>
#include <vector>

#include "serial/serial_port.h"

namespace zarvek::cli {

struct PortEntry {
  std::string name;                  // what --port takes: /dev/ttyUSB0, COM3
  std::string description;           // Windows: the device's name ("USB Serial Port (COM3)")
  std::vector<std::string> aliases;  // stable names for it (/dev/serial/by-id/...)
  bool accessKnown = true;           // false where the system cannot tell without opening it
  bool mayOpen = true;               // this user has read and write permission (Windows: it opened now)
  PortError openError = PortError::None;  // Windows: why it did not open now
  std::string group;                 // the group that has, when the user has not
};

// Linux: /dev/ttyS* with a UART behind it, /dev/ttyUSB*, /dev/ttyACM* and their
// /dev/serial/by-id names (ZARVEK_DEVICE_ROOT, when set, stands for "/": tests
// use it to present a machine of their own). Windows: the COM ports of the
// system's port registry, with their devices' names, each tried once.
std::vector<PortEntry> listPorts();

// Lines for `zarvek ports`.
std::vector<std::string> describePorts(const std::vector<PortEntry>& ports);

// What to do when the port may not be opened: which group to join (Linux).
std::string permissionAdvice(const std::string& device);

// One line saying why `port` could not be opened and what to do about it.
std::string portErrorText(const std::string& port, PortError error, unsigned long systemCode);

}  // namespace zarvek::cli
