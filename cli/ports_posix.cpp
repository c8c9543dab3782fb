#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cli/ports.h"

namespace fs = std::filesystem;

namespace zarvek::cli {
namespace {

fs::path deviceRoot() {
  const char* root = std::getenv("ZARVEK_DEVICE_ROOT");
  return root && *root ? fs::path(root) : fs::path("/");
}

bool hasPrefixAndNumber(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  return std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// The kernel makes ttyS0..ttySn whether or not a UART answers there; sysfs
// says type 0 for the empty ones.
bool hasUart(const fs::path& root, const std::string& name) {
  std::ifstream type(root / "sys/class/tty" / name / "type");
  if (!type) return true;  // no sysfs to ask: list it
  int value = 0;
  type >> value;
  return value != 0;
}

std::string groupName(gid_t gid) {
  if (const group* g = getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

// The order a person expects: ttyS2 before ttyS10.
bool naturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    size_t digits = s.size();
    while (digits > 0 && s[digits - 1] >= '0' && s[digits - 1] <= '9') --digits;
    return std::make_pair(s.substr(0, digits), s.size() > digits ? std::stol(s.substr(digits)) : -1L);
  };
  return split(a) < split(b);
}

}  // namespace

std::vector<PortEntry> listPorts() {
  const fs::path root = deviceRoot();
  const fs::path dev = root / "dev";
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dev, ec)) {
    const std::string name = entry.path().filename().string();
    if (hasPrefixAndNumber(name, "ttyUSB") || hasPrefixAndNumber(name, "ttyACM") ||
        (hasPrefixAndNumber(name, "ttyS") && hasUart(root, name))) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end(), naturalLess);

  std::vector<PortEntry> ports;
  for (const auto& name : names) {
    PortEntry port;
    const fs::path path = dev / name;
    port.name = (fs::path("/dev") / name).string();
    for (const auto& link : fs::directory_iterator(dev / "serial/by-id", ec)) {
      std::error_code linkError;
      const fs::path target = fs::read_symlink(link.path(), linkError);
      if (linkError) continue;
      const fs::path resolved = (link.path().parent_path() / target).lexically_normal();
      if (resolved == path.lexically_normal()) {
        port.aliases.push_back((fs::path("/dev/serial/by-id") / link.path().filename()).string());
      }
    }
    std::sort(port.aliases.begin(), port.aliases.end());
    port.mayOpen = access(path.c_str(), R_OK | W_OK) == 0;
    struct stat info {};
    if (!port.mayOpen && stat(path.c_str(), &info) == 0) port.group = groupName(info.st_gid);
    ports.push_back(std::move(port));
  }
  return ports;
}

std::string permissionAdvice(const std::string& device) {
  struct stat info {};
  if (stat(device.c_str(), &info) != 0) return "ask the administrator for access";
  const std::string group = groupName(info.st_gid);
  std::string user = "$USER";
  if (const passwd* pw = getpwuid(getuid())) user = pw->pw_name;
  return "join the group \"" + group + "\" (sudo usermod -aG " + group + " " + user +
         "), then log in again";
}

}  // namespace zarvek::cli
