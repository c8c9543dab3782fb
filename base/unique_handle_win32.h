#pragma once
// A Windows handle owned from the call that made it to its owner's end: no
// failure path can leak it. The Windows build's one owning handle type. File
// calls fail with INVALID_HANDLE_VALUE, mapping calls with null: both are none.
#include <windows.h>

#include <utility>

namespace zarvek {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }

  // The result of closing is not looked at: a handle is closed once, and a
  // failure to close leaves nothing to do.
  void reset(HANDLE handle = nullptr) {
    if (*this) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace zarvek
