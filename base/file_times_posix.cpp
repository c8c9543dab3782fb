#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "base/file_times.h"

namespace zarvek {

namespace {

bool readTimes(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

int setTimes(const std::string& path, const timespec& access, const timespec& modified) {
  const timespec times[2] = {access, modified};
  return utimensat(AT_FDCWD, path.c_str(), times, 0);
}

}  // namespace

std::optional<int64_t> modifiedTime(const std::string& path) {
  struct stat st {};
  if (!readTimes(path, st)) return std::nullopt;
  return static_cast<int64_t>(st.st_mtim.tv_sec);
}

Result setModifiedTime(const std::string& path, int64_t seconds) {
  struct stat before {};
  if (!readTimes(path, before)) return Result::failed("cannot read the file's time", static_cast<unsigned long>(errno));
  const timespec wanted{static_cast<time_t>(seconds), 0};
  if (setTimes(path, wanted, wanted) != 0) return Result::failed("cannot set the file's time", errno);
  // Linux does not refuse a time the file system cannot hold: it clamps it
  // (ext4 keeps 1901 to 2446). A clamped time would be a wrong one, so it is
  // read back, and the old times go back where it did not stick.
  const std::optional<int64_t> stored = modifiedTime(path);
  if (stored == seconds) return {};
  static_cast<void>(setTimes(path, before.st_atim, before.st_mtim));
  if (!stored) return Result::failed("cannot read the file's time", static_cast<unsigned long>(errno));
  return Result::refused("the file system cannot hold that time");
}

}  // namespace zarvek
