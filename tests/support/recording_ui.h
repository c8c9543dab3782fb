#pragma once
// A TransferUi that records every request, for tests. Thread-safe: engines
// call it from their worker thread while the test reads it.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "job/transfer_ui.h"

namespace zarvek::test {

class RecordingUi : public TransferUi {
 public:
  struct Message {
    std::string text;
    std::string caption;
    MessageIcon icon;
  };

  bool setStatusText(const char* text) override;
  void setProgressRange(uint32_t upper) override;
  void stepProgress() override;
  void showMessage(const char* text, const char* caption, MessageIcon icon) override;
  void playCompletionSound() override;
  void fileEnded(const FileReport& report) override;
  void chunkRefused() override;

  // Called inside showMessage before it returns: a test's "user" dismissing it.
  void onMessage(std::function<void(const Message&)> hook);
  // Each file's end takes this long to show, as on a window of a loaded machine.
  void slowDown(std::chrono::milliseconds delay) { delay_ = delay; }
  // Makes setStatusText fail, as a window that cannot take the text would.
  void failStatusText(bool fail);

  std::vector<std::string> statusTexts() const;
  std::vector<Message> messages() const;
  std::vector<FileReport> reports() const;
  std::vector<uint32_t> progressRanges() const;
  int progressSteps() const;
  int sounds() const;
  int refusedChunks() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> statusTexts_;
  std::vector<Message> messages_;
  std::vector<FileReport> reports_;
  std::vector<uint32_t> ranges_;
  int steps_ = 0;
  int sounds_ = 0;
  int refused_ = 0;
  bool failStatus_ = false;
  std::atomic<std::chrono::milliseconds> delay_{std::chrono::milliseconds(0)};
  std::function<void(const Message&)> hook_;
};

}  // namespace zarvek::test
