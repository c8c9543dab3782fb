#pragma once
// A sender on end A and a receiver on end B of a virtual cable, each engine
// on its own thread as the program runs them, with a log of the line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cable/cable.h"
#include "job/transfer_job.h"
#include "receive/file_receiver.h"
#include "send/file_sender.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek::test {

// One packet as it crossed the line from the sender.
struct LinePacket {
  std::string kind;
  std::vector<uint8_t> bytes;
  std::chrono::steady_clock::time_point start;  // first byte arrived
  std::chrono::steady_clock::time_point end;    // last byte arrived
};

class LineTest : public ::testing::Test {
 protected:
  explicit LineTest(int32_t baud = 0) : cable_(CableConfig{baud, {}, {}, true}) {}
  ~LineTest() override;

  void startReceiver();
  void stopReceiver();
  // Sends the files (names in `source`) as one batch; returns when it is over.
  SendBatchResult send(const std::vector<std::string>& names, int32_t retryLimit = 4);
  // The same on a thread of its own; join with finishSend().
  void startSend(const std::vector<std::string>& names, int32_t retryLimit = 4);
  SendBatchResult finishSend();

  // Sender to receiver, cut at 1030 bytes from byte `from` on (past noise).
  std::vector<LinePacket> packets(size_t from = 0) const;
  std::string kinds(size_t from = 0) const;  // "FS FN FD EF ..."
  std::vector<uint8_t> replies() const;     // receiver to sender

  // Waits (up to a guard deadline) until pred() holds.
  template <class Pred>
  bool eventually(Pred pred, std::chrono::milliseconds guard = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + guard;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  Cable cable_;
  TempDir source;
  TempDir target;
  RecordingUi senderUi;
  RecordingUi receiverUi;
  std::unique_ptr<TransferJob> sendJob = std::make_unique<TransferJob>();
  std::unique_ptr<TransferJob> receiveJob = std::make_unique<TransferJob>();

 private:
  std::thread receiverThread_;
  std::thread senderThread_;
  SendBatchResult sendResult_;
  std::atomic<bool> senderDone_{false};
};

}  // namespace zarvek::test
