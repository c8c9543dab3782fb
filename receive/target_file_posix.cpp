#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "receive/target_file.h"

namespace zarvek {
namespace {
constexpr intptr_t kNoFile = -1;
}  // namespace

TargetFile::TargetFile() : file_(kNoFile), mapping_(0) {}

TargetFile::~TargetFile() { close(); }

int TargetFile::openForWrite() {
  if (!preparePath()) return 0;

  // No O_TRUNC here: the lock must be ours before anything of the file changes,
  // or a second receiver would wipe a file that is being received.
  // O_NOFOLLOW: a link in the folder could point anywhere; O_NONBLOCK: a FIFO
  // of that name must not hang the worker.
  const int fd = ::open(path_, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return failStep("cannot create the file", static_cast<unsigned long>(errno));
  // Only a regular file is written: a FIFO or device of that name is refused.
  struct stat st {};
  const int code = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (code != 0) {
    ::close(fd);
    return failStep("not a regular file", static_cast<unsigned long>(code));
  }
  // Held exclusively while it is received, as share mode 0 does on Windows.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    return failStep("the file is in use", static_cast<unsigned long>(code));
  }
  file_ = fd;
  if (ftruncate(fd, 0) != 0) return failStep("cannot truncate the file", static_cast<unsigned long>(errno));
  created_ = true;

  // A sparse file written through a mapping dies with SIGBUS when the disk
  // fills; reserving every block now turns a full disk into a failed step.
  if (size_ > 0) {
    const int code = posix_fallocate(fd, 0, static_cast<off_t>(size_));
    if (code != 0) {
      // Give back any blocks reserved before the failure: the file stays empty.
      const int released = ftruncate(fd, 0);
      static_cast<void>(released);  // the step has failed either way
      return failStep("no room for the file", static_cast<unsigned long>(code));
    }
  }

  // Linux cannot map 0 bytes (EINVAL): an empty file arrives as created here.
  void* view = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return failStep("cannot map the file", static_cast<unsigned long>(errno));
  view_ = static_cast<uint8_t*>(view);
  released_ = 0;
  mapped_ = size_;
  return 1;
}

void TargetFile::close() {
  if (view_ != nullptr) {
    munmap(view_, mapped_);
    view_ = nullptr;
    mapped_ = 0;
  }
  if (file_ != kNoFile) {
    ::close(static_cast<int>(file_));  // also releases the lock
    file_ = kNoFile;
  }
}

int TargetFile::discard() {
  char path[kPathSize];
  std::memcpy(path, path_, sizeof path);
  const bool ours = named_ && created_;
  close();
  if (!ours) return 0;
  created_ = false;
  return unlink(path) == 0 ? 1 : 0;
}

bool TargetFile::hasFile() const { return file_ != kNoFile; }

bool isReservedDeviceName(const char*) { return false; }

}  // namespace zarvek
