#include <windows.h>

#include <cstdint>

#include "send/source_file.h"

namespace zarvek {
namespace {

HANDLE asHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
const intptr_t kNoFile = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);

}  // namespace

SourceFile::SourceFile() : file_(kNoFile), mapping_(0) {}

SourceFile::~SourceFile() { close(); }

int SourceFile::open(const char* path) {
  close();
  path_ = path ? path : "";
  size_ = 0;
  failedStep_ = Step::None;
  errorCode_ = 0;

  // Others may read the file while it is sent; none may write it.
  HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(Step::File, GetLastError());
  file_ = reinterpret_cast<intptr_t>(file);

  // The whole length, not its low half: a 4 GiB file must not be announced as 0.
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) return fail(Step::File, GetLastError());
  if (static_cast<uint64_t>(length.QuadPart) > UINT32_MAX) {
    return fail(Step::TooLarge, ERROR_FILE_TOO_LARGE);
  }
  size_ = static_cast<uint32_t>(length.QuadPart);

  // An empty file cannot be mapped (ERROR_FILE_INVALID): it fails here with size 0.
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, size_, nullptr);
  if (mapping == nullptr) return fail(Step::Mapping, GetLastError());
  mapping_ = reinterpret_cast<intptr_t>(mapping);

  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size_);
  if (view == nullptr) return fail(Step::View, GetLastError());
  view_ = static_cast<const uint8_t*>(view);
  released_ = 0;
  return 1;
}

void SourceFile::close() {
  if (view_ != nullptr) {
    UnmapViewOfFile(view_);
    view_ = nullptr;
  }
  if (mapping_ != 0) {
    CloseHandle(asHandle(mapping_));
    mapping_ = 0;
  }
  if (file_ != kNoFile) {
    CloseHandle(asHandle(file_));
    file_ = kNoFile;
  }
}

}  // namespace zarvek
