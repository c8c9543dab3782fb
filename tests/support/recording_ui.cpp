#include "support/recording_ui.h"

#include <thread>

namespace zarvek::test {

bool RecordingUi::fileBegins(const std::string& name, uint64_t size) {
  note("begin " + name);
  std::lock_guard lock(mutex_);
  sizes_.push_back(size);
  return !refuseNames_;
}

void RecordingUi::fileEnded(const FileReport& report) {
  std::this_thread::sleep_for(delay_.load());
  note("end " + report.name);
  std::function<void(const FileReport&)> hook;
  {
    std::lock_guard lock(mutex_);
    reports_.push_back(report);
    if (const std::string message = sendFailureMessage(report); !message.empty()) troubles_ += message + "\n";
    hook = endHook_;
  }
  if (hook) hook(report);
}

void RecordingUi::retryLimitReached() {
  note("limit");
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    troubles_ += "retry limit reached\n";
    hook = limitHook_;
  }
  if (hook) hook();
}

void RecordingUi::systemCallFailed(const Result& failure) {
  std::lock_guard lock(mutex_);
  troubles_ += failure.step() + " (error " + std::to_string(failure.code()) + ")\n";
}

void RecordingUi::portNotOpened(const std::string& port, PortError, const Result& failure) {
  note("port");
  std::lock_guard lock(mutex_);
  troubles_ += port + " not opened (error " + std::to_string(failure.code()) + ")\n";
}

}  // namespace zarvek::test
