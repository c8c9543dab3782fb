#include "harness/wine.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "harness/process.h"

namespace fs = std::filesystem;

namespace zarvek::harness {

std::string winePrefix() { return ZARVEK_SOURCE_DIR "/build/wineprefix"; }

std::string windowsExe(const std::string& relative) { return ZARVEK_WINDOWS_BUILD_DIR "/" + relative; }

std::string windowsPath(const std::string& path) {
  std::string text = "Z:" + path;
  for (auto& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

void pointComPort(int n, const std::string& target) {
  if (run({ZARVEK_SOURCE_DIR "/cmake/wine-prefix.sh", winePrefix()}).code != 0) {
    throw std::runtime_error("cannot make the Wine prefix");
  }
  const fs::path ports = fs::path(winePrefix()) / "ports";
  fs::create_directories(ports);
  const fs::path link = ports / ("com" + std::to_string(n));
  const fs::path temporary = ports / ("com" + std::to_string(n) + ".new-" + std::to_string(getpid()));
  fs::remove(temporary);
  fs::create_symlink(target, temporary);
  fs::rename(temporary, link);  // a program never finds the name missing
}

std::vector<std::string> wineCommand(const std::string& exe, const std::vector<std::string>& args) {
  std::vector<std::string> command{ZARVEK_SOURCE_DIR "/cmake/wine-run.sh", exe};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

bool wineCanRun(const std::string& exe) {
  const bool wine = access("/usr/lib/wine/wine64", X_OK) == 0 || std::system("command -v wine >/dev/null 2>&1") == 0;
  return wine && fs::exists(exe);
}

}  // namespace zarvek::harness
