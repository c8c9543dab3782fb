#include "support/recording_ui.h"

#include <thread>

namespace zarvek::test {

bool RecordingUi::setStatusText(const char* text) {
  std::lock_guard lock(mutex_);
  if (failStatus_) return false;
  statusTexts_.emplace_back(text);
  return true;
}

void RecordingUi::setProgressRange(uint32_t upper) {
  std::lock_guard lock(mutex_);
  ranges_.push_back(upper);
}

void RecordingUi::stepProgress() {
  std::lock_guard lock(mutex_);
  ++steps_;
}

void RecordingUi::showMessage(const char* text, const char* caption, MessageIcon icon) {
  Message m{text, caption, icon};
  std::function<void(const Message&)> hook;
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(m);
    hook = hook_;
  }
  if (hook) hook(m);
}

void RecordingUi::playCompletionSound() {
  std::lock_guard lock(mutex_);
  ++sounds_;
}

void RecordingUi::fileEnded(const FileReport& report) {
  std::this_thread::sleep_for(delay_.load());
  std::lock_guard lock(mutex_);
  reports_.push_back(report);
}

void RecordingUi::chunkRefused() {
  std::lock_guard lock(mutex_);
  ++refused_;
}

void RecordingUi::onMessage(std::function<void(const Message&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

void RecordingUi::failStatusText(bool fail) {
  std::lock_guard lock(mutex_);
  failStatus_ = fail;
}

std::vector<std::string> RecordingUi::statusTexts() const {
  std::lock_guard lock(mutex_);
  return statusTexts_;
}
std::vector<RecordingUi::Message> RecordingUi::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}
std::vector<FileReport> RecordingUi::reports() const {
  std::lock_guard lock(mutex_);
  return reports_;
}
std::vector<uint32_t> RecordingUi::progressRanges() const {
  std::lock_guard lock(mutex_);
  return ranges_;
}
int RecordingUi::progressSteps() const {
  std::lock_guard lock(mutex_);
  return steps_;
}
int RecordingUi::sounds() const {
  std::lock_guard lock(mutex_);
  return sounds_;
}
int RecordingUi::refusedChunks() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

}  // namespace zarvek::test
