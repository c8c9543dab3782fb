#include <windows.h>

#include "cli/ports.h"
#include "serial/com_ports_win32.h"

namespace zarvek::cli {

std::vector<PortEntry> listPorts() {
  std::vector<PortEntry> ports;
  for (const ComPort& port : presentComPorts()) {
    PortEntry entry;
    entry.name = port.name;
    entry.description = port.friendlyName;
    // Whether it can be opened now: opened and closed again at once.
    SerialPort probe;
    entry.mayOpen = static_cast<bool>(probe.open(port.name.c_str(), PortRole::Receiver));
    entry.openError = probe.openError();
    ports.push_back(entry);
  }
  return ports;
}

std::string permissionAdvice(const std::string&) {
  return "another user's program holds it; close that program or select a different port";
}

}  // namespace zarvek::cli
