#include "base/paths.h"

namespace zarvek {

std::string baseName(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (isPathSeparator(path[i - 1])) return path.substr(i);
  }
  return path;
}

}  // namespace zarvek
