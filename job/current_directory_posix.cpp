#include <unistd.h>

#include <cstring>

#include "job/transfer_job.h"

namespace zarvek {

bool fetchCurrentDirectory(char* buf, int32_t capacity) {
  char tmp[kFolderSize];
  if (capacity > kFolderSize) capacity = kFolderSize;
  if (getcwd(tmp, static_cast<size_t>(capacity)) == nullptr) return false;
  std::memcpy(buf, tmp, std::strlen(tmp) + 1);
  return true;
}

}  // namespace zarvek
