#include "cli/ports.h"

#include "base/system_text.h"

namespace zarvek::cli {

std::vector<std::string> describePorts(const std::vector<PortEntry>& ports) {
  std::vector<std::string> lines;
  if (ports.empty()) {
    lines.push_back(
        "No serial ports found on this machine. "
        "`zarvek cable` makes a virtual cable for trying without hardware.");
    return lines;
  }
  for (const auto& port : ports) {
    std::string line = port.name;
    if (!port.description.empty()) line += "  " + port.description;
    if (port.accessKnown && port.mayOpen) {
      line += "  you may open it";
    } else if (port.openError == PortError::Busy) {
      line += "  in use by another program";
    } else if (port.openError != PortError::None && port.openError != PortError::NotPermitted) {
      line += "  cannot be opened now";
    } else if (port.accessKnown) {
      line += "  not permitted for you";
      if (!port.group.empty()) line += ": " + permissionAdvice(port.name);
    }
    lines.push_back(line);
    for (const auto& alias : port.aliases) lines.push_back("    also " + alias);
  }
  return lines;
}

std::string portErrorText(const std::string& port, PortError error, unsigned long systemCode) {
  const std::string device = portDevicePath(port);
  const std::string named = device == port ? port : port + " (" + device + ")";
  switch (error) {
    case PortError::NotFound:
      return "port " + named + " does not exist; `zarvek ports` lists the ports of this machine";
    case PortError::Busy:
      return "port " + named +
             " is busy: another program has it open. Close that program or select a different port.";
    case PortError::NotPermitted:
      return "not permitted to open port " + named + ": " + permissionAdvice(device);
    case PortError::None:
    case PortError::Other:
      break;
  }
  std::string text = "cannot open port " + named;
  if (systemCode != 0) text += ": " + systemErrorText(systemCode);
  return text + "; `zarvek ports` lists the ports of this machine";
}

}  // namespace zarvek::cli
