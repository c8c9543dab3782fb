#pragma once
// The two engines as tests and benchmarks run them in-process on cable ends,
// each through the role frame the programs use: a receive job on a thread of
// its own, and a send of some files on the caller's thread.
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "job/transfer_job.h"
#include "job/transfer_ui.h"
#include "send/file_sender.h"

namespace zarvek::harness {

class ReceiverThread {
 public:
  // Opens `port` and receives into `folder` on a new thread, reporting to `ui`
  // (which must outlive it); throws std::runtime_error if the port fails.
  ReceiverThread(const std::string& port, int32_t speed, const std::string& folder, TransferUi& ui,
                 bool verify = true, bool stream = true);
  ~ReceiverThread();  // stop()
  ReceiverThread(const ReceiverThread&) = delete;
  ReceiverThread& operator=(const ReceiverThread&) = delete;

  // Clears `running` and joins the thread; false if it did not end within the guard.
  void stop();
  // CPU seconds the receiving thread has used so far.
  double cpuSeconds() const;

 private:
  TransferJob job_;
  std::thread thread_;
  clockid_t clock_{};
};

// Sends the files over `port` as the send job of a program does (the sound
// included); nothing when the port cannot be opened.
std::optional<SendBatchResult> sendFiles(const std::string& port, int32_t speed, const std::vector<std::string>& paths,
                                         TransferUi& ui, int32_t retryLimit = kDefaultRetryLimit, bool verify = true,
                                         bool stream = true);

}  // namespace zarvek::harness
