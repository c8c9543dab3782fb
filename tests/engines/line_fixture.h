#pragma once
// Our sender on end A and our receiver on end B of a virtual cable, each on a
// thread of its own as the programs run them, with a log of the line.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cable/cable.h"
#include "harness/line_ends.h"
#include "job/transfer_job.h"
#include "send/file_sender.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek::test {

// One packet as it crossed the line from the sender.
struct LinePacket {
  std::string kind;
  std::vector<uint8_t> bytes;
  std::chrono::steady_clock::time_point start;  // first byte arrived
};

// What arrived at the far end of one direction, as text.
inline std::string lineBytes(const Cable& cable, Direction direction) {
  std::string bytes;
  for (const auto& b : cable.log(direction)) bytes += static_cast<char>(b.value);
  return bytes;
}

// A cable with our engines at its ends; tables make one per case.
class Line {
 public:
  explicit Line(CableConfig config = CableConfig{0, {}, {}, true}) : cable_(config) {}
  ~Line();

  void startReceiver();
  void stopReceiver() { receiver_.reset(); }
  // Sends the files (names in `source`) as one send job; returns when it is over.
  SendBatchResult send(const std::vector<std::string>& names, int32_t retryLimit = 4) {
    startSend(names, retryLimit);
    return finishSend();
  }
  // The same on a thread of its own; stop it with stopSend(), join with finishSend().
  void startSend(const std::vector<std::string>& names, int32_t retryLimit = 4);
  void stopSend() { sendJob_.running = 0; }
  SendBatchResult finishSend();

  // Sender to receiver, cut at 1030 bytes.
  std::vector<LinePacket> packets() const;
  std::string kinds() const;  // "FS FN FD EF ..."
  std::string replies() const { return lineBytes(cable_, Direction::BtoA); }  // receiver to sender, "AAN..."

  // Waits (up to a guard) until the receiver has reported this many files.
  bool received(size_t files) { return eventually([&] { return receiverUi.reports().size() >= files; }); }

  // Both ends offer and take verified files; off, they speak the classic protocol.
  bool verify = false;
  bool stream = false;  // and verified files are streamed
  Cable cable_;
  TempDir source, target;
  RecordingUi senderUi, receiverUi;

 private:
  std::unique_ptr<harness::ReceiverThread> receiver_;
  TransferJob sendJob_;
  std::thread senderThread_;
  std::optional<SendBatchResult> sendResult_;
  std::atomic<bool> senderDone_{false};
};

}  // namespace zarvek::test
