#pragma once
// The engines' TransferUi on a terminal: a file's progress becomes a live line
// (file, percent, bytes, rate, time left, resends), each ended file a result
// line, each message a line on standard error with its own text. Nothing ever
// waits for a key. Called from the engine's worker thread only; read the
// results after that thread has been joined.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/terminal.h"
#include "job/transfer_ui.h"

namespace zarvek::cli {

// What the receiving end does with a file the sender cut off ("AF" sent).
std::string afterAbort(const FileReport& r);

enum class Role { Send, Receive };

class TerminalUi : public TransferUi {
 public:
  TerminalUi(Terminal& terminal, Role role, std::string linePrefix = {});

  // Called after each file's result line.
  void onFileEnded(std::function<void(const FileReport&)> ended) { fileEnded_ = std::move(ended); }

  bool fileBegins(const std::string& name, uint64_t size) override;
  void progress(uint64_t done, uint64_t total) override;
  void chunkRefused() override;
  void fileEnded(const FileReport& report) override;
  void betweenFiles() override;
  void retryLimitReached() override;
  void packetUnread(const Result& failure) override;
  void systemCallFailed(const Result& failure) override;
  void portNotOpened(const std::string& port, PortError error, const Result& failure) override;
  void playCompletionSound() override;

  const std::vector<FileReport>& reports() const { return reports_; }
  bool portFailed() const { return portFailed_; }

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
  std::function<void(const FileReport&)> fileEnded_;

  // The file in progress.
  bool active_ = false;
  std::string name_;
  uint64_t size_ = 0;
  uint64_t done_ = 0;  // bytes delivered or written
  int resends_ = 0;
  Clock::time_point started_{};
  Clock::time_point lastDrawn_{};

  std::vector<FileReport> reports_;
  bool portFailed_ = false;
  bool toldBaseNames_ = false;  // that a classic receiver flattens the folders sent: once a batch
};

// 1536 -> "1.5 KiB"; below 1 KiB in bytes.
std::string formatBytes(uint64_t bytes);
// 75 -> "1:15"; 3725 -> "1:02:05".
std::string formatDuration(uint64_t seconds);

}  // namespace zarvek::cli
