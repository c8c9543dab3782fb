#pragma once
// What the benchmarks need beside harness/: /proc samples of a running
// process, scratch folders, one Wine server kept for a whole run, the moment
// the first byte enters the cable, and a front end that times each file's end.
// Linux only.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cable/cable.h"
#include "job/transfer_ui.h"

namespace zarvek::bench {

using Clock = std::chrono::steady_clock;

// The receive loop discards what is queued when it first waits, a moment after
// the port is announced ready: a sender started at once can lose its whole
// first packet and wait for its answer for ever. A sender starts this long after.
inline void letReceiverSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

// utime + stime of one process so far, from /proc/<pid>/stat; 0 if it is gone.
double processCpuSeconds(pid_t pid);
// A field of /proc/<pid>/status in KiB ("RssAnon", "RssFile"); -1 if absent.
long statusKib(pid_t pid, const char* field);

// printf into a string of up to 511 characters.
template <class... Args>
std::string format(const char* text, Args... args) {
  char line[512];
  std::snprintf(line, sizeof line, text, args...);
  return line;
}

// `size` bytes from a generator seeded with `seed`.
void writeRandomFile(const std::string& path, uint64_t size, uint32_t seed);

// A fresh folder under /tmp, removed with its content on destruction.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The source tree's Wine prefix made if needed, one Wine server kept for the
// whole benchmark (a run would otherwise start one, or meet the last one as it
// shuts down), and one start of `exe` to warm it; the server is ended after.
class WineSession {
 public:
  explicit WineSession(const std::string& exe);
  ~WineSession();
  WineSession(const WineSession&) = delete;
  WineSession& operator=(const WineSession&) = delete;
};

struct EndedFile {
  Clock::time_point at;
  FileOutcome outcome;
};

// A front end for either end that keeps the time and outcome of every file's
// end; messages and failures go to standard error, so a failed run says why.
class TimingUi : public TransferUi {
 public:
  bool fileBegins(const std::string&, uint64_t) override { return true; }
  void progress(uint64_t, uint64_t) override {}
  void fileEnded(const FileReport& report) override;
  void betweenFiles() override {}
  void retryLimitReached() override { std::fprintf(stderr, "  retry limit reached\n"); }
  void packetUnread(const Result& failure) override { systemCallFailed(failure); }
  void systemCallFailed(const Result& failure) override {
    std::fprintf(stderr, "  %s (error %lu)\n", failure.step().c_str(), failure.code());
  }
  void portNotOpened(const std::string& port, PortError, const Result& failure) override {
    std::fprintf(stderr, "  cannot open %s: %s (error %lu)\n", port.c_str(), failure.step().c_str(), failure.code());
  }
  void playCompletionSound() override {}

  std::vector<EndedFile> ended() const;
  // True once n files have ended, false when the guard ran out first.
  bool waitForFiles(size_t n, std::chrono::milliseconds guard) const;

 private:
  mutable std::mutex mutex_;
  std::vector<EndedFile> ended_;
};

// The moment the first byte the sending end writes after this call enters the
// cable, polled every 20 us by a thread of its own.
class FirstByteWatch {
 public:
  FirstByteWatch(const Cable& cable, Direction direction);
  ~FirstByteWatch();
  FirstByteWatch(const FirstByteWatch&) = delete;
  FirstByteWatch& operator=(const FirstByteWatch&) = delete;
  // Waits for it up to the guard; false when nothing was seen.
  bool wait(std::chrono::milliseconds guard, Clock::time_point* at);

 private:
  std::atomic<bool> seen_{false};
  std::atomic<bool> quit_{false};
  Clock::time_point at_{};
  std::thread thread_;
};

}  // namespace zarvek::bench
