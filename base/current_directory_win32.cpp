#include <windows.h>

#include "base/current_directory.h"

namespace zarvek {

bool fetchCurrentDirectory(char* buf, int32_t capacity) {
  char tmp[kDirectoryLimit];
  if (capacity > kDirectoryLimit) capacity = kDirectoryLimit;
  // A return value at or above the capacity is the size needed: it did not fit.
  const DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(capacity), tmp);
  if (n == 0 || n >= static_cast<DWORD>(capacity)) return false;
  CopyMemory(buf, tmp, n + 1);
  return true;
}

}  // namespace zarvek
