#pragma once
// The sending engine and its batch loop. Per file: "FS", "FN" (each repeated
// without limit while refused), "FD" chunks of 1024 bytes with the last shorter
// (a refused chunk sent again, up to the retry limit in a row), then "EF"; or
// "AF" when the user stops or the limit is reached.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/packet.h"
#include "send/source_file.h"
#include "serial/serial_port.h"

namespace zarvek {

struct TransferJob;
class TransferUi;

// The longest name the receiving side holds; longer names are refused before
// anything of the file is sent, never cut.
inline constexpr int32_t kMaxSentName = 99;

class FileSender {
 public:
  FileSender();
  ~FileSender();  // closes the port and any source left
  FileSender(const FileSender&) = delete;
  FileSender& operator=(const FileSender&) = delete;

  int openPort(const char* portName);
  void configurePort(int32_t speed);
  PortError openError() const { return port_.openError(); }

  int openSource(const char* path);
  void closeSource();
  uint32_t fileSize() const;
  const SourceFile* source() const { return source_.get(); }

  int sendSize();
  int sendName();
  PacketResult sendNextChunk();  // Accepted ("FD" sent) or FileEnded ("EF" sent)
  void rewindChunk();
  int sendEndOfFile();
  int sendAbort();  // 50 ms after the line is free, then "AF"
  int writePacket();
  int32_t chunkLength() const;
  PacketResult waitReply(const std::atomic<uint8_t>& running);

  // Waits until the line is free, then `ms` more: the protocol's pauses.
  void pause(int ms);

  const uint8_t* packet() const { return packet_; }
  int64_t readPos() const { return readPos_; }

 private:
  SerialPort port_;
  std::unique_ptr<SourceFile> source_;
  const uint8_t* dataBase_ = nullptr;
  uint8_t packet_[kPacketSize] = {};
  int64_t readPos_ = 0;     // 64-bit: files from 2 GiB up to 4 GiB - 1
  int32_t lastChunk_ = 0;   // length of the "FD" just sent, for rewindChunk
};

struct SendBatchResult {
  int32_t crcFailures = 0;   // consecutive "N" replies at the end of the batch
  int32_t filesSkipped = 0;  // chosen files that could not be sent at all
  int32_t filesFailed = 0;   // files cut off because a reply could not be read
};

// Sends every file of job.selection from job.nextName on, over a sender whose
// port is open and configured.
SendBatchResult runSendBatch(TransferJob& job, FileSender& sender, TransferUi& ui);

// After the sender is destroyed: the sound for a batch that ran to its end with
// no file abandoned, skipped or cut off, and `running` still set.
void playCompletionSound(const TransferJob& job, const SendBatchResult& result, TransferUi& ui);

// The next full path of the dialog's selection ("path\0\0", or
// "folder\0name\0...\0\0") into pathBuffer, shown as the status text, and
// nextName moved past it. True when no name is left. Never reads past
// selectionSize bytes.
bool nextSelectedPath(TransferUi& ui, const char* selection, int32_t selectionSize,
                      std::string& pathBuffer, int32_t& nextName);

}  // namespace zarvek
