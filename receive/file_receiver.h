#pragma once
// The receiving engine: one file cycle after another until `running` is
// cleared. Each cycle: a fresh TargetFile, then wait, read, dispatch, reply.
// It answers "N" only for a checksum failure and "A" for every other packet
// that does not end the file, also when its step failed; "EF"/"AF" get no reply.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "protocol/packet.h"
#include "job/transfer_ui.h"
#include "receive/target_file.h"
#include "serial/serial_port.h"

namespace zarvek {

struct TransferJob;

// How long the receiver waits, after a read that ended short, for what follows
// it: longer than a far end takes from opening its port to its first packet.
inline constexpr std::chrono::milliseconds kNoiseWindow{500};

class FileReceiver {
 public:
  FileReceiver();
  ~FileReceiver();  // closes the current file (kept on disk) and the port
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  int openPort(const char* portName);
  int configurePort(int32_t speed);
  PortError openError() const { return port_.openError(); }

  // The status text and messages go here (the window's controls, the terminal).
  void attachStatusField(TransferUi& ui);

  // Receives files into job.receiveFolder until job.running is found clear.
  void runReceiveLoop(TransferJob& job);

  // The steps of a cycle, public for tests and the fuzz target.
  void beginFile(const char* folder);
  int waitForData(const std::atomic<uint8_t>& running);
  int readPacket();
  PacketResult dispatch();
  int sendReply(uint8_t byte);

  uint8_t* packet() { return packet_.get(); }
  TargetFile* target() { return target_.get(); }
  int64_t writeCount() const { return writeCount_; }

 private:
  enum class ShortRead { Stopped, ReadFailed, Refuse, WholePacketFollowed };

  // One packet waited for, read, acted on and answered. False when the file
  // cycle has ended (end of file, a stop, a failed read).
  bool handleNextPacket(const std::atomic<uint8_t>& running);
  bool handleNextPacketRead(const std::atomic<uint8_t>& running);
  ShortRead settleShortRead(const std::atomic<uint8_t>& running);
  bool failedRead();
  void reportEnd(FileOutcome outcome);

  SerialPort port_;
  std::unique_ptr<uint8_t[]> packet_;
  std::unique_ptr<TargetFile> target_;
  TransferUi* ui_ = nullptr;
  int64_t writeCount_ = 0;  // 64-bit: files from 2 GiB up to 4 GiB - 1
};

}  // namespace zarvek
