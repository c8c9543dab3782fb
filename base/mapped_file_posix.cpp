#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/mapped_file.h"
#include "base/unique_fd_posix.h"

namespace zarvek {

struct MappedFile::Handles {
  UniqueFd file;
};

MappedFile::MappedFile() : handles_(std::make_unique<Handles>()) {}

MappedFile::~MappedFile() { close(); }

bool MappedFile::isOpen() const { return static_cast<bool>(handles_->file); }

Result MappedFile::openForReading(const std::string& path) {
  close();
  failedStep_ = Step::None;
  size_ = 0;
  // O_NONBLOCK: a FIFO chosen by mistake must not hang the worker in open().
  handles_->file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!handles_->file) return fail(Step::Open, "cannot open the file", static_cast<unsigned long>(errno));
  struct stat st {};
  if (fstat(handles_->file.get(), &st) != 0) return fail(Step::Open, "cannot read the file's size", errno);
  // Only a regular file has a size worth announcing and content to map.
  if (!S_ISREG(st.st_mode)) return fail(Step::Open, "not a regular file", S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) return fail(Step::TooLarge, "the file is 4 GiB or larger", EFBIG);
  size_ = static_cast<uint32_t>(st.st_size);

  return mapWhole(false);
}

Result MappedFile::create(const std::string& path, uint32_t size) {
  close();
  failedStep_ = Step::None;
  size_ = size;
  // No O_TRUNC: the lock must be ours before anything of the file changes, or
  // a second receiver would wipe a file that is being received. O_NOFOLLOW: a
  // link in the folder could point anywhere; O_NONBLOCK: a FIFO of that name
  // must not hang the worker.
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
  if (!fd) return fail(Step::Open, "cannot create the file", static_cast<unsigned long>(errno));
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return fail(Step::Open, "cannot create the file", errno);
  if (!S_ISREG(st.st_mode)) return fail(Step::Open, "not a regular file", EINVAL);
  // Held exclusively while it is received, as a share mode of 0 does on Windows.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return fail(Step::Open, "the file is in use", errno);
  handles_->file = std::move(fd);
  if (ftruncate(handles_->file.get(), 0) != 0) return fail(Step::Open, "cannot truncate the file", errno);

  // A sparse file written through a mapping dies with SIGBUS when the disk
  // fills: every block is reserved now instead.
  if (size > 0) {
    if (const int code = posix_fallocate(handles_->file.get(), 0, static_cast<off_t>(size)); code != 0) {
      // Whatever was reserved before the failure goes back: the file stays empty.
      static_cast<void>(ftruncate(handles_->file.get(), 0));
      return fail(Step::Reserve, "no room for the file", static_cast<unsigned long>(code));
    }
  }
  return mapWhole(true);
}

Result MappedFile::openExisting(const std::string& path, uint32_t size) {
  close();
  failedStep_ = Step::None;
  size_ = size;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return fail(Step::Open, "cannot open the file", static_cast<unsigned long>(errno));
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return fail(Step::Open, "cannot open the file", errno);
  if (!S_ISREG(st.st_mode)) return fail(Step::Open, "not a regular file", EINVAL);
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return fail(Step::Open, "the file is in use", errno);
  handles_->file = std::move(fd);
  // The size is taken under the lock: the holder it waited for may have changed it.
  if (fstat(handles_->file.get(), &st) != 0) return fail(Step::Open, "cannot open the file", errno);
  if (st.st_size != static_cast<off_t>(size)) return fail(Step::Open, "the partial file has the wrong size", EINVAL);
  // A partial file copied or restored may have come back sparse: its blocks
  // are reserved again (a no-op where they are), so a full disk fails here
  // and not with SIGBUS in a chunk copy.
  if (size > 0) {
    if (const int code = posix_fallocate(handles_->file.get(), 0, static_cast<off_t>(size)); code != 0) {
      return fail(Step::Reserve, "no room for the file", static_cast<unsigned long>(code));
    }
  }
  return mapWhole(true);
}

Result MappedFile::flush(uint64_t upTo) {
  if (!handles_->file) return Result::failed("cannot flush the file", EBADF);
  const uint64_t end = std::min<uint64_t>(upTo, size_);
  if (data_ != nullptr && end > released_) {
    // msync takes whole pages. Those before released_ are no longer mapped:
    // what was written there is in the page cache, which fdatasync writes.
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t from = released_ / page * page;
    const uint64_t to = (end + page - 1) / page * page;
    if (msync(data_ + from, to - from, MS_SYNC) != 0) {
      return Result::failed("cannot write the file back", static_cast<unsigned long>(errno));
    }
  }
  if (fdatasync(handles_->file.get()) != 0) return Result::failed("cannot flush the file", static_cast<unsigned long>(errno));
  return {};
}

// The whole file, size_ bytes, as one view.
Result MappedFile::mapWhole(bool writable) {
  // An empty file has nothing to map (Linux refuses 0 bytes): it is open, with no view.
  if (size_ == 0) return {};
  void* view = mmap(nullptr, size_, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, handles_->file.get(), 0);
  if (view == MAP_FAILED) return fail(Step::Map, "cannot map the file", static_cast<unsigned long>(errno));
  data_ = static_cast<uint8_t*>(view);
  released_ = 0;
  if (!writable) madvise(view, size_, MADV_SEQUENTIAL);  // a hint: a refusal changes nothing
  return {};
}

void MappedFile::close() {
  if (data_ != nullptr) {
    munmap(data_, size_);
    data_ = nullptr;
  }
  handles_->file.reset();  // also releases the lock
}

void MappedFile::releaseBefore(uint64_t offset) {
  constexpr uint64_t kStep = uint64_t{1} << 20;  // a whole number of pages
  const uint64_t upTo = offset / kStep * kStep;
  if (data_ == nullptr || upTo <= released_) return;
  // On a shared file mapping the pages only leave this process; written data
  // stays in the page cache and reaches the file.
  madvise(data_ + released_, upTo - released_, MADV_DONTNEED);
  released_ = upTo;
}

Result MappedFile::replace(const std::string& from, const std::string& to) {
  // rename() puts the new file in place in one step, and replaces a link at
  // `to` rather than following it.
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return Result::failed("cannot put the file under its name", static_cast<unsigned long>(errno));
  }
  return {};
}

Result MappedFile::remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Result::failed("cannot delete the file", static_cast<unsigned long>(errno));
  return {};
}

}  // namespace zarvek
