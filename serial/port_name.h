#pragma once
// "COMn" port names, read alike on every platform: any case, n from 1 up.
#include <optional>
#include <string_view>

namespace zarvek {

// n for "COMn" (any case, n a decimal number from 1), nothing for any other name.
inline std::optional<int> comNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 7) return std::nullopt;
  for (int i = 0; i < 3; ++i) {
    if ((name[i] | 0x20) != "com"[i]) return std::nullopt;
  }
  int n = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || name[3] == '0') return std::nullopt;
  return n;
}

}  // namespace zarvek
