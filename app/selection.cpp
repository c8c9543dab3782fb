#include "app/selection.h"

#include <cstring>

namespace zarvek {

std::vector<std::string> selectedPaths(const char* selection, int32_t size, int32_t firstName) {
  std::vector<std::string> paths;
  if (firstName <= 0 || firstName >= size) return paths;
  // The folder: the leading item, but no further than just before the first name.
  size_t folderLength = strnlen(selection, static_cast<size_t>(size));
  if (folderLength > static_cast<size_t>(firstName - 1)) folderLength = static_cast<size_t>(firstName - 1);
  std::string folder(selection, folderLength);
  if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) folder += '\\';

  for (int32_t at = firstName; at < size && selection[at] != '\0';) {
    const size_t length = strnlen(selection + at, static_cast<size_t>(size - at));
    if (at + static_cast<int64_t>(length) >= size) break;  // unterminated: no name
    paths.push_back(folder + std::string(selection + at, length));
    at += static_cast<int32_t>(length) + 1;
  }
  return paths;
}

}  // namespace zarvek
