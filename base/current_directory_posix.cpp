#include <unistd.h>

#include <cstring>

#include "base/current_directory.h"

namespace zarvek {

bool fetchCurrentDirectory(char* buf, int32_t capacity) {
  char tmp[kDirectoryLimit];
  if (capacity > kDirectoryLimit) capacity = kDirectoryLimit;
  if (getcwd(tmp, static_cast<size_t>(capacity)) == nullptr) return false;
  std::memcpy(buf, tmp, std::strlen(tmp) + 1);
  return true;
}

}  // namespace zarvek
