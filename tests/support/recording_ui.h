#pragma once
// A TransferUi that records every event, for tests. Thread-safe: engines call
// it from their worker thread while the test reads it.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "job/transfer_ui.h"

namespace zarvek::test {

class RecordingUi : public TransferUi {
 public:
  bool fileBegins(const std::string& name, uint64_t size) override;
  void progress(uint64_t done, uint64_t total) override { underLock([&] { progress_.emplace_back(done, total); }); }
  void chunkRefused() override { ++refused_; }
  void fileEnded(const FileReport& report) override;
  void betweenFiles() override { note("between"); }
  void retryLimitReached() override;
  void packetUnread(const Result& failure) override { note("unread"); systemCallFailed(failure); }
  void systemCallFailed(const Result& failure) override;
  void portNotOpened(const std::string& port, PortError, const Result&) override;
  void playCompletionSound() override { ++sounds_; }

  // Called inside retryLimitReached before it returns: a test's "user"
  // dismissing the window's box.
  void onRetryLimit(std::function<void()> hook) { underLock([&] { limitHook_ = std::move(hook); }); }
  // fileBegins answers false, as a window that cannot show the name would.
  void refuseNames(bool refuse) { refuseNames_ = refuse; }
  // Each file's end takes this long to show, as on a window of a loaded machine.
  void slowDown(std::chrono::milliseconds delay) { delay_ = delay; }
  // Called inside fileEnded before it returns.
  void onFileEnded(std::function<void(const FileReport&)> hook) { underLock([&] { endHook_ = std::move(hook); }); }

  // "begin NAME", "end NAME", "between", "limit", "unread", "port": the order of events.
  std::vector<std::string> events() const { return locked(events_); }
  std::vector<FileReport> reports() const { return locked(reports_); }
  std::vector<uint64_t> sizesBegun() const { return locked(sizes_); }
  // Every progress event's (done, total), in order.
  std::vector<std::pair<uint64_t, uint64_t>> progressed() const { return locked(progress_); }
  int refused() const { return refused_; }
  int sounds() const { return sounds_; }
  // Every retry limit, unread packet, failed system call, port not opened and
  // sender's failure message, one per line: empty after a run in which nothing
  // went wrong.
  std::string troubles() const { return locked(troubles_); }

 private:
  void note(std::string event) { underLock([&] { events_.push_back(std::move(event)); }); }
  // A copy taken, or a change made, under the lock: the engine's thread may be
  // adding to a list while the test reads it.
  template <class T>
  T locked(const T& list) const {
    std::lock_guard lock(mutex_);
    return list;
  }
  template <class Change>
  void underLock(Change change) {
    std::lock_guard lock(mutex_);
    change();
  }

  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<FileReport> reports_;
  std::vector<uint64_t> sizes_;
  std::vector<std::pair<uint64_t, uint64_t>> progress_;
  std::string troubles_;
  std::function<void()> limitHook_;
  std::function<void(const FileReport&)> endHook_;
  std::atomic<int> refused_{0}, sounds_{0};
  std::atomic<bool> refuseNames_{false};
  std::atomic<std::chrono::milliseconds> delay_{std::chrono::milliseconds(0)};
};

}  // namespace zarvek::test
