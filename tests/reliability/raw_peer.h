#pragma once
// Scripted peers for the reliability tests: frames built byte by byte (so a
// test can lie in any field), a raw sender on a cable end, and a receiving
// engine on its own thread with a folder of the test's choosing.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "cable/cable.h"
#include "job/transfer_job.h"
#include "support/recording_ui.h"
#include "tests/cable/test_port.h"

namespace zarvek::test {

// A 1030-byte frame: kind letters, the length field as given, the payload from
// offset 4, and PacketCrc over `crcCount` payload bytes (cut to 0..1024).
std::string frame(const char kind[2], uint16_t lengthField, const std::string& payload, int32_t crcCount);
std::string sizeFrame(uint32_t size);
std::string nameFrame(const std::string& name);
std::string dataFrame(const std::string& chunk);
std::string bareFrame(const char kind[2]);  // "EF", "AF", "ET", or any two letters

// A sender that writes what the test says and reads the replies, every read
// bounded by a guard.
class RawSender {
 public:
  explicit RawSender(const std::string& end) : port_(end) {}
  bool write(const std::string& bytes) { return port_.write(bytes); }
  // The reply bytes that come within `guard` (at most n).
  std::string replies(size_t n, std::chrono::milliseconds guard = std::chrono::seconds(5)) {
    return port_.read(n, guard);
  }
  // Writes a frame that ends the file ("EF", "AF"): no reply comes, and the
  // receiver's next wait must have begun before the next frame is written.
  void writeEnding(const std::string& bytes) {
    port_.write(bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }

 private:
  TestPort port_;
};

// FileReceiver::runReceiveLoop on a thread of its own, receiving into `folder`.
class ReceiverOnThread {
 public:
  ReceiverOnThread(const std::string& end, const std::filesystem::path& folder);
  ~ReceiverOnThread();
  // Ends the loop; false if it did not end within the guard (a hung receiver).
  bool stop(std::chrono::milliseconds guard = std::chrono::seconds(10));
  bool running() const { return !ended_; }
  RecordingUi ui;

 private:
  std::unique_ptr<TransferJob> job_ = std::make_unique<TransferJob>();
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace zarvek::test
