#include "support/recording_ui.h"

#include <algorithm>
#include <thread>

namespace zarvek::test {

void RecordingUi::note(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

void RecordingUi::progress(uint64_t done, uint64_t total) {
  std::lock_guard lock(mutex_);
  progress_.emplace_back(done, total);
}

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
    if (!report.failure && !report.failure.isRefusal()) codes_.push_back(report.failure.code());
    hook = endHook_;
  }
  if (hook) hook(report);
}

void RecordingUi::onFileEnded(std::function<void(const FileReport&)> hook) {
  std::lock_guard lock(mutex_);
  endHook_ = std::move(hook);
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

void RecordingUi::packetUnread(const Result& failure) {
  note("unread");
  systemCallFailed(failure);
}

void RecordingUi::systemCallFailed(const Result& failure) {
  std::lock_guard lock(mutex_);
  codes_.push_back(failure.code());
  troubles_ += failure.step() + " (error " + std::to_string(failure.code()) + ")\n";
}

int RecordingUi::complaints() const {
  const std::string all = troubles();
  return static_cast<int>(std::count(all.begin(), all.end(), '\n'));
}

void RecordingUi::portNotOpened(const std::string& port, PortError, const Result& failure) {
  note("port");
  std::lock_guard lock(mutex_);
  troubles_ += port + " not opened (error " + std::to_string(failure.code()) + ")\n";
}

void RecordingUi::onRetryLimit(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  limitHook_ = std::move(hook);
}

}  // namespace zarvek::test
