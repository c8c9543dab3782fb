#pragma once
// A file's modification time as it travels: whole seconds since 1970-01-01
// UTC, signed. One implementation per platform.
#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"

namespace zarvek {

// The modification time of the file or folder at `path` (a link is followed
// to what it names); nullopt when it cannot be read.
std::optional<int64_t> modifiedTime(const std::string& path);

// Sets the modification time (and the access time, to the same) of the file
// or folder at `path`, which nobody holds open for writing. Fails, leaving the
// time as it was, where the file system cannot hold `seconds` (Windows:
// before 1601 or after 30827; Linux: what the system refuses).
Result setModifiedTime(const std::string& path, int64_t seconds);

}  // namespace zarvek
