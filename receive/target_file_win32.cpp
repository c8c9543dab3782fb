#include <windows.h>

#include <cstring>

#include "receive/target_file.h"

namespace zarvek {
namespace {

HANDLE asHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
const intptr_t kNoFile = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);

bool equalsIgnoringCase(const char* a, size_t length, const char* b) {
  if (std::strlen(b) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

TargetFile::TargetFile() : file_(kNoFile), mapping_(0) {}

TargetFile::~TargetFile() { close(); }

int TargetFile::openForWrite() {
  if (!preparePath()) return 0;

  // Share mode 0: nobody else opens the file while it is received. CREATE_ALWAYS
  // replaces a file of the same name without a question.
  HANDLE file = CreateFileA(path_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return failStep("cannot create the file", GetLastError());
  file_ = reinterpret_cast<intptr_t>(file);
  created_ = true;

  // A mapping of `size` bytes extends the empty file to that size, zero-filled,
  // and allocates it: a full disk fails here, not later in a chunk copy. An
  // empty file cannot be mapped (ERROR_FILE_INVALID): it arrives as created.
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, size_, nullptr);
  if (mapping == nullptr) return failStep("cannot map the file", GetLastError());
  mapping_ = reinterpret_cast<intptr_t>(mapping);

  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size_);
  if (view == nullptr) return failStep("cannot map a view of the file", GetLastError());
  view_ = static_cast<uint8_t*>(view);
  released_ = 0;
  mapped_ = size_;
  return 1;
}

void TargetFile::close() {
  if (view_ != nullptr) {
    UnmapViewOfFile(view_);
    view_ = nullptr;
    mapped_ = 0;
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

int TargetFile::discard() {
  char path[kPathSize];
  std::memcpy(path, path_, sizeof path);
  const bool ours = named_ && created_;
  // A file that is mapped or open without sharing cannot be deleted.
  close();
  if (!ours) return 0;
  created_ = false;
  return DeleteFileA(path) ? 1 : 0;
}

bool TargetFile::hasFile() const { return file_ != kNoFile; }

bool isReservedDeviceName(const char* name) {
  // Windows takes the device whatever follows the first dot, and ignores spaces
  // before it: "con.txt" and "NUL .log" open devices too.
  size_t length = std::strcspn(name, ".");
  while (length > 0 && name[length - 1] == ' ') --length;
  static const char* const kDevices[] = {
      "CON",  "PRN",  "AUX",  "NUL",  "CONIN$", "CONOUT$", "COM1", "COM2", "COM3",
      "COM4", "COM5", "COM6", "COM7", "COM8",   "COM9",    "LPT1", "LPT2", "LPT3",
      "LPT4", "LPT5", "LPT6", "LPT7", "LPT8",   "LPT9",
      // The superscript digits of the ANSI code page count as digits here.
      "COM\xB9", "COM\xB2", "COM\xB3", "LPT\xB9", "LPT\xB2", "LPT\xB3"};
  for (const char* device : kDevices) {
    if (equalsIgnoringCase(name, length, device)) return true;
  }
  return false;
}

}  // namespace zarvek
