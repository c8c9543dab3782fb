#include <windows.h>

#include "base/file_times.h"
#include "base/unique_handle_win32.h"

namespace zarvek {

namespace {

// FILETIME counts 100 ns from 1601-01-01; Unix time seconds from 1970-01-01.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochSeconds = 11644473600;  // 1601 to 1970
// A FILETIME of 0 tells SetFileTime to leave the time alone, so 1601-01-01
// 00:00:00 itself cannot be set; the last second of 30827 is the last a
// SYSTEMTIME shows.
constexpr int64_t kFirstSeconds = -kUnixEpochSeconds + 1;
constexpr int64_t kLastSeconds = 910670515199;

FILETIME toFileTime(int64_t seconds) {
  const uint64_t ticks = static_cast<uint64_t>(seconds + kUnixEpochSeconds) * kTicksPerSecond;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

int64_t toSeconds(const FILETIME& t) {
  const uint64_t ticks = (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
  return static_cast<int64_t>(ticks / kTicksPerSecond) - kUnixEpochSeconds;
}

// BACKUP_SEMANTICS: a folder opens too. Without OPEN_REPARSE_POINT a link is
// followed to what it names.
UniqueHandle openForTimes(const std::string& path, DWORD access) {
  return UniqueHandle(CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

}  // namespace

std::optional<int64_t> modifiedTime(const std::string& path) {
  const UniqueHandle file = openForTimes(path, FILE_READ_ATTRIBUTES);
  FILETIME written;
  if (!file || !GetFileTime(file.get(), nullptr, nullptr, &written)) return std::nullopt;
  return toSeconds(written);
}

Result setModifiedTime(const std::string& path, int64_t seconds) {
  if (seconds < kFirstSeconds || seconds > kLastSeconds) return Result::refused("Windows cannot hold that time");
  const UniqueHandle file = openForTimes(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  if (!file) return Result::failed("cannot open the file to set its time", GetLastError());
  FILETIME oldAccess, oldWritten;
  if (!GetFileTime(file.get(), nullptr, &oldAccess, &oldWritten)) {
    return Result::failed("cannot read the file's time", GetLastError());
  }
  const FILETIME wanted = toFileTime(seconds);
  if (!SetFileTime(file.get(), nullptr, &wanted, &wanted)) return Result::failed("cannot set the file's time", GetLastError());
  // The volume below may hold less than NTFS does (Wine on ext4 clamps to
  // 2446): a time that did not stick is put back and refused, never kept wrong.
  FILETIME stored;
  if (GetFileTime(file.get(), nullptr, nullptr, &stored) && toSeconds(stored) == seconds) return {};
  static_cast<void>(SetFileTime(file.get(), nullptr, &oldAccess, &oldWritten));
  return Result::refused("the file system cannot hold that time");
}

}  // namespace zarvek
