#include "support/recording_ui.h"

#include <thread>

namespace zarvek::test {

void RecordingUi::note(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

void RecordingUi::progress(uint64_t done, uint64_t total) {
  ++delivered_;
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
    hook = endHook_;
  }
  if (hook) hook(report);
}

void RecordingUi::onFileEnded(std::function<void(const FileReport&)> hook) {
  std::lock_guard lock(mutex_);
  endHook_ = std::move(hook);
}

void RecordingUi::showMessage(const char* text, const char* caption, MessageIcon icon) {
  note(std::string("message ") + caption);
  Message m{text, caption, icon};
  std::function<void(const Message&)> hook;
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(m);
    troubles_ += "message " + m.caption + ": " + m.text + "\n";
    hook = hook_;
  }
  if (hook) hook(m);
}

void RecordingUi::systemCallFailed(const Result& failure) {
  std::lock_guard lock(mutex_);
  codes_.push_back(failure.code());
  troubles_ += failure.step() + " (error " + std::to_string(failure.code()) + ")\n";
}

void RecordingUi::portNotOpened(const std::string& port, PortError, const Result& failure) {
  note("port");
  std::lock_guard lock(mutex_);
  troubles_ += port + " not opened (error " + std::to_string(failure.code()) + ")\n";
}

void RecordingUi::onMessage(std::function<void(const Message&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

}  // namespace zarvek::test
