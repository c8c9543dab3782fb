#pragma once
// The receiving engine: one file cycle after another until `running` is
// cleared. Each cycle: a fresh TargetFile, then wait, read, dispatch, reply.
// It answers "N" only for a checksum failure (or a packet cut short) and "A"
// for every other packet that does not end the file, also when its step
// failed; "EF"/"AF" get no reply.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "base/result.h"
#include "job/transfer_ui.h"
#include "protocol/packet.h"
#include "receive/target_file.h"
#include "serial/serial_port.h"

namespace zarvek {

// How long the receiver waits, after a read that ended short, for what follows
// it: longer than a far end takes from opening its port to its first packet,
// on a loaded machine too.
inline constexpr std::chrono::milliseconds kNoiseWindow{1000};

class FileReceiver {
 public:
  // `acceptOffers`: take a Zarvek sender's offer of a verified file; without
  // it every file stays classic.
  explicit FileReceiver(TransferUi& ui, bool acceptOffers = true);
  ~FileReceiver();  // closes the current file (kept on disk) and the port
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  Result openPort(const char* portName);
  PortError openError() const { return port_.openError(); }
  Result configurePort(int32_t speed);

  // Receives files into `folder` until `running` is found clear. The seam
  // hears lineReady once the receiver listens: a sender may start then.
  void runReceiveLoop(const char* folder, const std::atomic<uint8_t>& running);

  // The packet acted on, without the port: for tests and the fuzz target,
  // which fill packet() themselves. beginFile starts a file cycle.
  void beginFile(const char* folder);
  PacketResult dispatch();
  uint8_t* packet() { return packet_.get(); }
  int64_t writeCount() const { return writeCount_; }
  const TargetFile* target() const { return target_.get(); }

 private:
  enum class ShortRead { Stopped, ReadFailed, Refuse, WholePacketFollowed };

  // One packet waited for, read, acted on and answered. False when the file
  // cycle has ended (end of file, a stop, a failed read).
  bool handleNextPacket(const std::atomic<uint8_t>& running);
  bool actOnPacket(const std::atomic<uint8_t>& running);
  ShortRead settleShortRead(const std::atomic<uint8_t>& running);
  bool readPacket();
  bool failedRead();
  void sendReply(uint8_t byte);
  PacketResult takeSize();
  PacketResult takeName();
  PacketResult dispatchVerified();
  PacketResult takeVerifiedChunk();
  PacketResult endVerifiedFile();
  void endFile(PacketKind kind);
  void reportEnd(FileOutcome outcome, bool verified = false);

  TransferUi& ui_;
  const bool acceptOffers_;
  SerialPort port_;
  std::unique_ptr<uint8_t[]> packet_;
  std::unique_ptr<TargetFile> target_;
  int64_t writeCount_ = 0;  // 64-bit: files from 2 GiB up to 4 GiB - 1

  // A verified file, for the current cycle.
  bool offerTaken_ = false;  // this file's "FS" was answered kReplyVerify
  bool verified_ = false;    // its "FN" said verified: every later packet is
  uint32_t nextIndex_ = 0;   // chunks written
  uint32_t fileCrc_ = 0;     // CRC-32 of what was written
  bool broken_ = false;      // a chunk went missing: the file cannot match
  uint8_t reply_ = 0;        // a reply other than "A"/"N" that dispatch chose
  uint8_t lastVerdict_ = 0;  // the last verified file's, for a repeated "EF"
};

}  // namespace zarvek
