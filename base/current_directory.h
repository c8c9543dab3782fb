#pragma once
#include <cstdint>

namespace zarvek {

// The classic program fetches the start-up directory into a 256-byte field.
inline constexpr int32_t kDirectoryLimit = 256;

// The current directory into buf (capacity bytes, at most kDirectoryLimit, NUL
// included); false, with buf untouched, when it does not fit or cannot be read.
bool fetchCurrentDirectory(char* buf, int32_t capacity);

}  // namespace zarvek
