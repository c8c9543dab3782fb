#pragma once
// What an operation that calls the system gives back: success; or the step
// that failed and the system's error code (errno on Linux, GetLastError on
// Windows); or a refusal, with its reason and no system error behind it. The
// caller decides who hears of it; nothing is printed here.
#include <string>
#include <utility>

namespace zarvek {

class [[nodiscard]] Result {
 public:
  Result() = default;  // success
  static Result failed(std::string step, unsigned long code) { return Result(std::move(step), code, false); }
  static Result refused(std::string reason) { return Result(std::move(reason), 0, true); }

  explicit operator bool() const { return step_.empty(); }
  bool isRefusal() const { return refusal_; }
  const std::string& step() const { return step_; }  // "cannot open the port", "no room for the file"...
  unsigned long code() const { return code_; }       // 0 for a refusal

 private:
  Result(std::string step, unsigned long code, bool refusal) : step_(std::move(step)), code_(code), refusal_(refusal) {}

  std::string step_;
  unsigned long code_ = 0;
  bool refusal_ = false;
};

}  // namespace zarvek
