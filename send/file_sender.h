#pragma once
// The sending engine. Per file: "FS", "FN" (each repeated without limit while
// refused), "FD" chunks of 1024 bytes with the last shorter (a refused chunk
// sent again, up to the retry limit in a row), then "EF"; or "AF" when the
// user stops, the limit is reached or a reply cannot be read.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "job/transfer_ui.h"
#include "protocol/packet.h"
#include "send/source_file.h"
#include "serial/serial_port.h"

namespace zarvek {

struct SendBatchResult {
  int32_t crcFailures = 0;   // consecutive "N" replies at the end of the batch
  int32_t filesSkipped = 0;  // chosen files that could not be sent at all
  int32_t filesFailed = 0;   // cut off because a reply could not be read, or never verified
  // Nothing abandoned, skipped or cut off: the batch earns its completion sound
  // if it was not stopped either.
  bool clean() const { return crcFailures == 0 && filesSkipped == 0 && filesFailed == 0; }
};

class FileSender {
 public:
  // `verify`: offer each file verified; a Zarvek receiver takes it, any other
  // answers as the classic receiver does and the file stays classic.
  explicit FileSender(TransferUi& ui, bool verify = true);
  ~FileSender();  // closes the port and any file left
  FileSender(const FileSender&) = delete;
  FileSender& operator=(const FileSender&) = delete;

  Result openPort(const char* portName);
  PortError openError() const { return port_.openError(); }
  Result configurePort(int32_t speed);

  // Sends the files in order as one batch over the open port, until the last
  // has gone, `running` is found clear, or a wait in a size or name stage ended
  // without a reply. The refusal count carries over from file to file.
  SendBatchResult runSendBatch(const std::vector<std::string>& paths, const std::atomic<uint8_t>& running,
                               int32_t crcRetryLimit);

 private:
  // How one pass over a file ended.
  enum class Ending { Sent, Verified, Mismatch, Abandoned, Stopped, ReplyUnread };

  void sendFile(const std::string& path, const std::atomic<uint8_t>& running, int32_t crcRetryLimit);
  Ending sendOnce(const std::atomic<uint8_t>& running, int32_t crcRetryLimit, uint64_t& delivered);
  Ending awaitVerdict(const std::atomic<uint8_t>& running);
  // Sends one packet kind until it is not refused; the last wait's result.
  PacketResult sendUntilTaken(void (FileSender::*send)(), const std::atomic<uint8_t>& running);
  void sendSize();
  void sendName();
  PacketResult sendNextChunk();  // Accepted ("FD" sent) or FileEnded ("EF" sent)
  void rewindChunk();
  void sendEndOfFile();
  void sendAbort();  // 50 ms after the line is free, then "AF"
  void writePacket();
  PacketResult waitReply(const std::atomic<uint8_t>& running);
  int32_t chunkLength() const;
  // Waits until the line is free, then `ms` more: the protocol's pauses.
  void pause(int ms);
  FileReport report(FileOutcome outcome, uint64_t delivered, std::string reason = {}) const;

  TransferUi& ui_;
  const bool verify_;
  SerialPort port_;
  std::unique_ptr<SourceFile> source_;
  uint8_t packet_[kPacketSize] = {};
  int64_t readPos_ = 0;    // 64-bit: files from 2 GiB up to 4 GiB - 1
  int32_t lastChunk_ = 0;  // length of the "FD" just sent, for rewindChunk
  SendBatchResult batch_;
  bool batchDone_ = false;
  Result replyFailure_;  // why the last reply could not be read
  uint8_t replyByte_ = 0;
  bool fileVerified_ = false;  // the receiver took this pass's offer
  uint32_t fileCrc_ = 0;       // CRC-32 of the chunks sent so far in this pass
  int64_t crcUpTo_ = 0;        // how far fileCrc_ reaches
};

}  // namespace zarvek
