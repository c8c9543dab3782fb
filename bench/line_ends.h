#pragma once
// The two engines as the benchmarks run them in-process on cable ends: a
// receiver on its own thread that timestamps every file it ends, and a send of
// one batch. Each measures its own thread's CPU.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cable/cable.h"
#include "job/transfer_job.h"
#include "job/silent_ui.h"
#include "send/file_sender.h"

namespace zarvek::bench {

using Clock = std::chrono::steady_clock;

struct EndedFile {
  Clock::time_point at;
  FileOutcome outcome;
  std::string name;
  uint64_t written;
};

// A silent front end that keeps the time and outcome of every file's end.
class TimingUi : public SilentUi {
 public:
  void fileEnded(const FileReport& report) override;
  void chunkRefused() override { ++refused_; }

  std::vector<EndedFile> ended() const;
  size_t endedCount() const;
  int refused() const { return refused_; }

 private:
  mutable std::mutex mutex_;
  std::vector<EndedFile> ended_;
  std::atomic<int> refused_{0};
};

class ReceiverThread {
 public:
  // Opens the port and starts receiving into folder; throws if the port fails.
  ReceiverThread(const std::string& port, int32_t speed, const std::string& folder);
  ~ReceiverThread();  // stop()
  ReceiverThread(const ReceiverThread&) = delete;
  ReceiverThread& operator=(const ReceiverThread&) = delete;

  // Ends the receive loop and joins the thread.
  void stop();
  // True once n files have ended, false when the guard ran out first.
  bool waitForFiles(size_t n, std::chrono::milliseconds guard) const;
  const TimingUi& ui() const { return ui_; }
  // CPU seconds the receiving thread has used so far (its own clock).
  double cpuSeconds() const;

 private:
  TransferJob job_;
  TimingUi ui_;
  std::thread thread_;
  clockid_t clock_{};
};

// Sends folder/name for each name as one batch over port, on this thread.
SendBatchResult sendBatch(const std::string& port, int32_t speed, const std::string& folder,
                          const std::vector<std::string>& names, TransferUi& ui);

// The moment the first byte the sending end writes after this call enters the
// cable, polled every 20 us by a thread of its own.
class FirstByteWatch {
 public:
  FirstByteWatch(const Cable& cable, Direction direction);
  ~FirstByteWatch();
  FirstByteWatch(const FirstByteWatch&) = delete;
  FirstByteWatch& operator=(const FirstByteWatch&) = delete;
  // Waits for it (guard: the deadline); the time point, or nothing seen.
  bool wait(std::chrono::milliseconds guard, Clock::time_point* at);

 private:
  std::atomic<bool> seen_{false};
  std::atomic<bool> quit_{false};
  Clock::time_point at_{};
  std::thread thread_;
};

}  // namespace zarvek::bench
