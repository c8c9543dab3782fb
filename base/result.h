#pragma once
// What an operation that calls the system gives back: success, or the step
// that failed and the system's error code (errno on Linux, GetLastError on
// Windows). The caller decides who hears of it; nothing is printed here.
#include <string>
#include <utility>

namespace zarvek {

class [[nodiscard]] Result {
 public:
  Result() = default;  // success
  static Result failed(std::string step, unsigned long code) { return Result(std::move(step), code); }

  explicit operator bool() const { return step_.empty(); }
  const std::string& step() const { return step_; }  // "cannot open the port", "no room for the file"...
  unsigned long code() const { return code_; }

 private:
  Result(std::string step, unsigned long code) : step_(std::move(step)), code_(code) {}

  std::string step_;
  unsigned long code_ = 0;
};

}  // namespace zarvek
