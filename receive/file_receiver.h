#pragma once
// The receiving engine: one file cycle after another until `running` is
// cleared. Each cycle: a fresh TargetFile, then wait, read, dispatch, reply.
// With a classic sender it answers "N" only for a checksum failure (or a packet
// cut short) and "A" for every other packet that does not end the file, also
// when its step failed; "EF"/"AF" get no reply. With a Zarvek sender it takes
// verified files (protocol/verified.h, docs/PROTOCOL.md).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/result.h"
#include "job/transfer_ui.h"
#include "protocol/file_info.h"
#include "protocol/packet.h"
#include "protocol/streamed.h"
#include "receive/held_files.h"
#include "receive/target_file.h"
#include "serial/serial_port.h"

namespace zarvek {

// How long the receiver waits, after a read that ended short, for what follows
// it: longer than a far end takes from opening its port to its first packet,
// on a loaded machine too.
inline constexpr std::chrono::milliseconds kNoiseWindow{1000};

// How often in one file cycle a packet that passes the classic checksum is
// refused for a Zarvek reason (an offer whose size disagrees, a name without
// its request after an offer was taken). A Zarvek sender needs one refusal per
// damaged packet; a classic sender whose stale bytes happen to look like an
// offer gets this many, and then the classic answer.
inline constexpr int32_t kZarvekRefusals = 2;

// A streamed file: how long a piece of a packet may wait for its rest before
// it is taken for a packet cut by a lost byte, and sent for again.
inline constexpr std::chrono::milliseconds kStreamGap{200};
// How many packets past the last acknowledged the receiver lets the sender
// have on the line: what its port's input queue holds while it writes a chunk.
inline constexpr uint8_t kStreamCredit = 16;

// How often what has arrived of a file that may be taken up is flushed and
// recorded: after this many bytes and this long, or after kCheckpointAtMost
// whatever came. Each costs a flush of the data and of a small record.
inline constexpr uint32_t kCheckpointBytes = 32 * 1024;
inline constexpr std::chrono::milliseconds kCheckpointAtLeast{250};
inline constexpr std::chrono::milliseconds kCheckpointAtMost{1000};

class FileReceiver {
 public:
  // `acceptOffers`: take a Zarvek sender's offer of a verified file; without
  // it every file stays classic. `acceptStreams`: take its ask to stream one.
  // `keepPartial`: keep what arrived of a verified file cut off, and take it
  // up when the same file comes again (held_files.h); without, it is deleted.
  explicit FileReceiver(TransferUi& ui, bool acceptOffers = true, bool acceptStreams = true, bool keepPartial = true);
  ~FileReceiver();  // closes the current file (a classic one kept on disk) and the port
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  Result openPort(const char* portName);
  PortError openError() const { return port_.openError(); }
  Result configurePort(int32_t speed);

  // Receives files into `folder` until `running` is found clear. `listening`
  // is called once the receiver listens: a sender may start then.
  void runReceiveLoop(const char* folder, const std::atomic<uint8_t>& running,
                      const std::function<void()>& listening = {});

  // What a packet came to, and the byte that answers it (0: none).
  struct Handled {
    PacketResult result;
    uint8_t reply;
  };

  // The packet acted on, without the port: for tests and the fuzz target,
  // which fill packet() themselves. beginFile starts a file cycle.
  void beginFile(const char* folder);
  Handled dispatch();
  uint8_t* packet() { return packet_.get(); }
  int64_t writeCount() const { return writeCount_; }
  const TargetFile* target() const { return target_.get(); }

 private:
  enum class ShortRead { Stopped, ReadFailed, Refuse, WholePacketFollowed };

  // One packet waited for, read, acted on and answered. False when the file
  // cycle has ended (end of file, a stop, a failed read).
  bool handleNextPacket();
  bool actOnPacket();
  // A streamed file's packets, found in the bytes as they come.
  bool handleStreamedPacket();
  bool wholeInStream(const uint8_t* frame) const;
  std::optional<uint8_t> roundOf(const uint8_t* frame) const;  // of a whole streamed "FD"
  Handled takeStreamed(PacketKind kind);
  // Once for each chunk found missing in a round; `quiet`: found by silence.
  void askResend(bool quiet = false);
  void sendFrame(StreamFrameKind kind, uint32_t index, uint32_t tag, bool answersEnd);
  void sendOwedFrame(bool endsFile);  // frame_, if one is owed
  ShortRead settleShortRead();
  Result readPacket();
  bool unread(const Result& failure);  // reported; false: the cycle ends
  void sendReply(uint8_t byte);
  Handled refuse() const;  // "N", or the coded refusal in a verified file
  bool mayRefuseForZarvek();  // counts one, while kZarvekRefusals allow it
  // The name (or a verified file's path) taken, shown, its file made (or
  // opened as held, `held` bytes); else reported.
  bool openNamedFile(bool staged, const FileInfo* info = nullptr, uint32_t* held = nullptr);
  void takeUpHeld(uint32_t held);  // the file goes on from its first `held` bytes
  void sendHeldFrames();
  // What arrived is flushed and recorded, now or when it is due.
  void checkpoint(bool now);
  // A verified file cut off: kept to be taken up, or deleted.
  void holdOrDrop(FileOutcome dropped);
  Handled takeSize();
  Handled takeName();
  Handled takeClassicChunk();
  Handled takeVerifiedName(uint32_t size, uint32_t tag);
  Handled answerLateEnd(PacketKind kind);
  Handled dispatchVerified(PacketKind kind);
  Handled takeVerifiedChunk();
  void writeNextChunk();  // the packet's chunk, as chunk nextIndex_ of a verified file
  // A chunk of n bytes is written at the write count: counts it and tells the user.
  void wrote(int32_t n);
  Handled endVerifiedFile();
  Handled abortVerifiedFile();
  Handled startOver();
  void closeVerifiedFile();
  void settleOpenFile();  // a file still open as its cycle ends without an end
  void dropVerifiedFile(FileOutcome outcome);
  void endFile(PacketKind kind);
  void reportEnd(FileOutcome outcome, bool verified = false);

  TransferUi& ui_;
  const std::atomic<uint8_t>* running_ = nullptr;  // the loop's stop flag, from runReceiveLoop on
  const bool acceptOffers_;
  const bool acceptStreams_;
  const bool keepPartial_;
  SerialPort port_;
  std::unique_ptr<uint8_t[]> packet_;
  std::unique_ptr<TargetFile> target_;
  std::string folder_;
  int64_t writeCount_ = 0;  // 64-bit: files from 2 GiB up to 4 GiB - 1

  // The current cycle, as far as a Zarvek sender goes.
  bool offerTaken_ = false;  // its "FS" was answered kReplyVerify
  bool sizeTaken_ = false;   // an "FS" whole as a classic packet came
  int32_t refusals_ = 0;     // Zarvek refusals so far (kZarvekRefusals)
  bool verified_ = false;    // its "FN" was answered kReplyVerify
  uint32_t tag_ = 0;         // the attempt's tag, from the request
  uint32_t nextIndex_ = 0;   // chunks written
  uint32_t fileCrc_ = 0;     // CRC-32 of what was written
  bool broken_ = false;      // a chunk went missing: the file cannot match
  bool classicData_ = false;  // a classic "FD" came: the sender did not hear the answer
  PacketKind pendingEnd_ = PacketKind::Unknown;  // an end no check vouches for, held
  bool streamTaken_ = false;  // its "FN" was answered kReplyStream
  bool streamed_ = false;     // a streamed packet came: the rest is found by PacketScanner
  uint8_t round_ = 0;         // the sender's round, as its last packet gave it
  uint32_t resendAsked_ = 0;  // the chunk a resend frame was last sent for, plus one (0: none)
  uint8_t resendRound_ = 0;   // and in which round
  int64_t droppedSeen_ = 0;   // the scanner's dropped bytes at the last whole packet or request
  PacketScanner scanner_;
  // A frame owed as the answer to the packet just handled, and its attempt's tag.
  struct OwedFrame {
    StreamFrameKind kind;
    uint32_t index;
    uint32_t tag;
  };
  std::optional<OwedFrame> frame_;

  // A verified file's own block, and what this end holds of it.
  bool infoTaken_ = false;    // its request came with the file's block
  bool folderEntry_ = false;  // a folder to make, no data
  bool resumable_ = false;    // what arrives is recorded, to be taken up
  bool heldOwed_ = false;     // the held frames follow the reply
  HeldFiles held_{""};
  HeldFile heldId_;
  uint32_t heldChunks_ = 0, heldCrc_ = 0;
  uint32_t resumedAt_ = 0;    // bytes taken up from an earlier attempt
  uint32_t recorded_ = 0;     // bytes the record vouches for
  std::chrono::steady_clock::time_point recordedAt_{};

  // The answer to the last verified file's end, for that end sent again.
  bool answered_ = false;
  uint32_t answeredTag_ = 0;
  bool answeredMatch_ = false;
};

}  // namespace zarvek
