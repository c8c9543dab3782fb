#include "base/paths.h"

#include <cstring>

namespace zarvek {

const char kPathSeparator = '\\';

bool isPathSeparator(char c) { return c == '\\' || c == '/'; }

namespace {

bool equalsIgnoringCase(const char* a, size_t length, const char* b) {
  if (std::strlen(b) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

bool isReservedDeviceName(const char* name) {
  // Windows takes the device whatever follows the first dot, and ignores spaces
  // before it: "con.txt" and "NUL .log" open devices too.
  size_t length = std::strcspn(name, ".");
  while (length > 0 && name[length - 1] == ' ') --length;
  static const char* const kDevices[] = {
      "CON",  "PRN",  "AUX",  "NUL",  "CONIN$", "CONOUT$", "COM1", "COM2", "COM3",
      "COM4", "COM5", "COM6", "COM7", "COM8",   "COM9",    "LPT1", "LPT2", "LPT3",
      "LPT4", "LPT5", "LPT6", "LPT7", "LPT8",   "LPT9",
      // The superscript digits of the ANSI code page count as digits here.
      "COM\xB9", "COM\xB2", "COM\xB3", "LPT\xB9", "LPT\xB2", "LPT\xB3"};
  for (const char* device : kDevices) {
    if (equalsIgnoringCase(name, length, device)) return true;
  }
  return false;
}

bool nameHeldAsGiven(const char* name) {
  const size_t length = std::strlen(name);
  if (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) return false;
  return std::strpbrk(name, "<>\"|?*") == nullptr;
}

}  // namespace zarvek
