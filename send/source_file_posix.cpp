#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "send/source_file.h"

namespace zarvek {
namespace {
constexpr intptr_t kNoFile = -1;
}  // namespace

SourceFile::SourceFile() : file_(kNoFile), mapping_(0) {}

SourceFile::~SourceFile() { close(); }

int SourceFile::open(const char* path) {
  close();
  path_ = path ? path : "";
  size_ = 0;
  failedStep_ = Step::None;
  errorCode_ = 0;

  // O_NONBLOCK: a FIFO chosen by mistake must not hang the worker in open().
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(Step::File, static_cast<unsigned long>(errno));
  file_ = fd;

  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(Step::File, static_cast<unsigned long>(errno));
  // Only a regular file has a size worth announcing and content to map.
  if (!S_ISREG(st.st_mode)) return fail(Step::File, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) return fail(Step::TooLarge, EFBIG);
  size_ = static_cast<uint32_t>(st.st_size);

  // Linux cannot map 0 bytes (EINVAL): that is how an empty file fails here.
  void* view = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return fail(Step::Mapping, static_cast<unsigned long>(errno));
  view_ = static_cast<const uint8_t*>(view);
  released_ = 0;
  // Read once from start to end; a failed hint changes nothing.
  madvise(view, size_, MADV_SEQUENTIAL);
  return 1;
}

void SourceFile::close() {
  if (view_ != nullptr) {
    munmap(const_cast<uint8_t*>(view_), size_);
    view_ = nullptr;
  }
  if (file_ != kNoFile) {
    ::close(static_cast<int>(file_));
    file_ = kNoFile;
  }
}

}  // namespace zarvek
