#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/ports.h"

namespace zarvek::cli {

std::vector<PortEntry> listPorts() {
  // Every DOS device name, NUL-separated; grown until the list fits.
  std::vector<char> names(64 * 1024);
  while (QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size())) == 0) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (16u << 20)) return {};
    names.resize(names.size() * 2);
  }
  std::vector<int> numbers;
  for (const char* p = names.data(); *p; p += std::strlen(p) + 1) {
    if (_strnicmp(p, "COM", 3) != 0 || p[3] == '\0') continue;
    const char* digits = p + 3;
    if (std::all_of(digits, digits + std::strlen(digits), [](char c) { return c >= '0' && c <= '9'; })) {
      numbers.push_back(std::atoi(digits));
    }
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::vector<PortEntry> ports;
  for (int n : numbers) ports.push_back(PortEntry{"COM" + std::to_string(n), {}, false, false, {}});
  return ports;
}

std::string permissionAdvice(const std::string&) {
  return "another user's program holds it; close that program or select a different port";
}

}  // namespace zarvek::cli
