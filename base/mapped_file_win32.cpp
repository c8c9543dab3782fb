#include <windows.h>

#include <algorithm>

#include "base/mapped_file.h"
#include "base/unique_handle_win32.h"

namespace zarvek {

struct MappedFile::Handles {
  UniqueHandle file;
  UniqueHandle mapping;
};

MappedFile::MappedFile() : handles_(std::make_unique<Handles>()) {}

MappedFile::~MappedFile() { close(); }

bool MappedFile::isOpen() const { return static_cast<bool>(handles_->file); }

Result MappedFile::openForReading(const std::string& path) {
  close();
  failedStep_ = Step::None;
  size_ = 0;
  // Others may read the file while it is sent; none may write it.
  handles_->file.reset(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!handles_->file) return fail(Step::Open, "cannot open the file", GetLastError());
  // The whole length, not its low half: a 4 GiB file must not be announced as 0.
  LARGE_INTEGER length;
  if (!GetFileSizeEx(handles_->file.get(), &length)) return fail(Step::Open, "cannot read the file's size", GetLastError());
  if (static_cast<uint64_t>(length.QuadPart) > UINT32_MAX) {
    return fail(Step::TooLarge, "the file is 4 GiB or larger", ERROR_FILE_TOO_LARGE);
  }
  size_ = static_cast<uint32_t>(length.QuadPart);
  return mapWhole(false);
}

Result MappedFile::create(const std::string& path, uint32_t size) {
  close();
  failedStep_ = Step::None;
  size_ = size;
  // Share mode 0: nobody else opens the file while it is received. CREATE_ALWAYS
  // replaces a file of the same name without a question.
  handles_->file.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handles_->file) return fail(Step::Open, "cannot create the file", GetLastError());
  // A mapping of `size` bytes extends the empty file to that size, zero-filled,
  // and allocates it: a full disk fails here, not later in a chunk copy.
  return mapWhole(true);
}

Result MappedFile::openExisting(const std::string& path, uint32_t size) {
  close();
  failedStep_ = Step::None;
  size_ = size;
  // Held as create() holds it: share mode 0. OPEN_REPARSE_POINT: a link is
  // opened itself, and refused below, not followed.
  handles_->file.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handles_->file) return fail(Step::Open, "cannot open the file", GetLastError());
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handles_->file.get(), &info)) return fail(Step::Open, "cannot open the file", GetLastError());
  if (GetFileType(handles_->file.get()) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return fail(Step::Open, "not a regular file", ERROR_INVALID_PARAMETER);
  }
  LARGE_INTEGER length;
  if (!GetFileSizeEx(handles_->file.get(), &length)) return fail(Step::Open, "cannot read the file's size", GetLastError());
  // A mapping larger than the file would silently extend it.
  if (length.QuadPart != static_cast<LONGLONG>(size)) {
    return fail(Step::Open, "the partial file has the wrong size", ERROR_INVALID_PARAMETER);
  }
  return mapWhole(true);
}

Result MappedFile::flush(uint64_t upTo) {
  if (!handles_->file) return Result::failed("cannot flush the file", ERROR_INVALID_HANDLE);
  // A length of 0 would flush the whole view: nothing written is nothing asked.
  const uint64_t end = std::min<uint64_t>(upTo, size_);
  if (data_ != nullptr && end > 0 && !FlushViewOfFile(data_, static_cast<SIZE_T>(end))) {
    return Result::failed("cannot write the file back", GetLastError());
  }
  // FlushViewOfFile only starts the writes: this waits for them and the metadata.
  if (!FlushFileBuffers(handles_->file.get())) return Result::failed("cannot flush the file", GetLastError());
  return {};
}

// The whole file, size_ bytes, as one view.
Result MappedFile::mapWhole(bool writable) {
  // An empty file has nothing to map (ERROR_FILE_INVALID): it is open, with no view.
  if (size_ == 0) return {};
  handles_->mapping.reset(CreateFileMappingA(handles_->file.get(), nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                             0, size_, nullptr));
  if (!handles_->mapping) return fail(Step::Map, "cannot map the file", GetLastError());
  void* view = MapViewOfFile(handles_->mapping.get(), writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, size_);
  if (view == nullptr) return fail(Step::Map, "cannot map a view of the file", GetLastError());
  data_ = static_cast<uint8_t*>(view);
  return {};
}

void MappedFile::close() {
  // The view, then the mapping, then the file; results not looked at, as
  // nothing could be done about a failure here.
  if (data_ != nullptr) {
    UnmapViewOfFile(data_);
    data_ = nullptr;
  }
  handles_->mapping.reset();
  handles_->file.reset();
}

// Windows trims a process's working set of mapped-file pages by itself when
// memory is wanted; there is nothing to ask for here.
void MappedFile::releaseBefore(uint64_t) {}

Result MappedFile::replace(const std::string& from, const std::string& to) {
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Result::failed("cannot put the file under its name", GetLastError());
  }
  return {};
}

Result MappedFile::remove(const std::string& path) {
  if (!DeleteFileA(path.c_str())) return Result::failed("cannot delete the file", GetLastError());
  return {};
}

}  // namespace zarvek
