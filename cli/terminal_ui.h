#pragma once
// The engines' TransferUi on a terminal: the status text and progress become a
// live line (file, percent, bytes, rate, time left, resends), each ended file a
// result line, each message box a line on standard error with its own text.
// Nothing ever waits for a key. Called from the engine's worker thread only;
// read the results after that thread has been joined.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/terminal.h"
#include "job/transfer_ui.h"

namespace zarvek::cli {

enum class Role { Send, Receive };

class TerminalUi : public TransferUi {
 public:
  TerminalUi(Terminal& terminal, Role role, std::string linePrefix = {});

  // Receiving: after this many files have ended, clear `running`.
  void endAfter(int files, std::atomic<uint8_t>* running);

  bool setStatusText(const char* text) override;
  void setProgressRange(uint32_t upper) override;
  void stepProgress() override;
  void showMessage(const char* text, const char* caption, MessageIcon icon) override;
  void playCompletionSound() override;
  void fileEnded(const FileReport& report) override;
  void chunkRefused() override;

  const std::vector<FileReport>& reports() const { return reports_; }
  int resends() const { return totalResends_; }

  // "name  size bytes  result", as printed for each file.
  static std::string resultLine(Role role, const FileReport& report, int retryLimit);
  void setRetryLimit(int limit) { retryLimit_ = limit; }
  // Leaves the live line to another TerminalUi on the same terminal (the demo's sender).
  void withoutLiveLine() { liveLine_ = false; }

 private:
  using Clock = std::chrono::steady_clock;
  void draw(bool force);

  Terminal& terminal_;
  const Role role_;
  const std::string prefix_;
  int retryLimit_ = 0;
  bool liveLine_ = true;

  // The file in progress.
  bool active_ = false;
  std::string name_;
  uint64_t size_ = 0;
  bool sizeKnown_ = false;
  uint64_t chunks_ = 0;
  int resends_ = 0;
  Clock::time_point started_{};
  Clock::time_point lastDrawn_{};

  std::vector<FileReport> reports_;
  int totalResends_ = 0;
  int endAfter_ = 0;
  std::atomic<uint8_t>* running_ = nullptr;
};

// 1536 -> "1.5 KiB"; below 1 KiB in bytes.
std::string formatBytes(uint64_t bytes);
// 75 -> "1:15"; 3725 -> "1:02:05".
std::string formatDuration(uint64_t seconds);

}  // namespace zarvek::cli
