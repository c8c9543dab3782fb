#pragma once
// The sending engine. Per file: "FS", "FN" (each repeated without limit while
// refused), "FD" chunks of 1024 bytes with the last shorter (a refused chunk
// sent again, up to the retry limit in a row), then "EF"; or "AF" when the
// user stops, the limit is reached, a reply cannot be read or none comes. With
// a Zarvek receiver the file is verified (protocol/verified.h): its end is
// answered, and a file that does not match goes again.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "job/transfer_ui.h"
#include "protocol/packet.h"
#include "protocol/streamed.h"
#include "protocol/verified.h"
#include "send/source_file.h"
#include "serial/serial_port.h"

namespace zarvek {

// How long the sender waits for an answer once its packet has left the line.
// Past it the packet or its answer was lost: it asks again, or gives the file up
// with "AF" and sends it again from "FS".
inline constexpr std::chrono::milliseconds kReplyLimit{3000};
// The answer to a name comes once the file is made at its full size: a larger
// file is given more time, as if it were written at 32 MiB/s.
inline constexpr uint32_t kNameBytesPerMs = 32 * 1024;
// How many times the sender asks for one answer in a verified file (the end's
// verdict, a name already answered "V") before it takes the far end for gone.
inline constexpr int32_t kAsksForAnswer = 4;
// A streamed file: how long the sender waits for an acknowledgement that moves
// its window on before it sends again from the first chunk not acknowledged,
// beyond the line time of two packets (one on its way, one being answered).
inline constexpr std::chrono::milliseconds kStreamQuiet{1000};
// Bytes that are no frame it passes over in a row before it takes them for silence.
inline constexpr int64_t kStreamNoise = 64;
// How many packets a streamed file keeps on the line before the first
// acknowledgement says how many the receiver takes.
inline constexpr uint32_t kFirstWindow = 4;
// The window the sender wants at `speed`: enough packets to cover 150 ms (two
// USB adapters' latency and a loaded receiver), 2 to 16. Wider would only make
// each repair longer on a slow line.
uint32_t streamWindow(int32_t speed);

struct SendBatchResult {
  int32_t crcFailures = 0;   // consecutive "N" replies at the end of the batch
  int32_t filesSkipped = 0;  // chosen files that could not be sent at all
  int32_t filesFailed = 0;   // cut off, unanswered, refused or never verified
  // Nothing abandoned, skipped or cut off: the batch earns its completion sound
  // if it was not stopped either.
  bool clean() const { return crcFailures == 0 && filesSkipped == 0 && filesFailed == 0; }
};

class FileSender {
 public:
  // `verify`: offer each file verified; a Zarvek receiver takes it, any other
  // answers as the classic receiver does and the file stays classic.
  // `stream`: ask for each verified file to be streamed (protocol/streamed.h).
  explicit FileSender(TransferUi& ui, bool verify = true, bool stream = true);
  ~FileSender();  // closes the port and any file left
  FileSender(const FileSender&) = delete;
  FileSender& operator=(const FileSender&) = delete;

  Result openPort(const char* portName);
  PortError openError() const { return port_.openError(); }
  Result configurePort(int32_t speed);

  // Sends the files in order as one batch over the open port, until the last
  // has gone, `running` is found clear, a wait in a size or name stage ended
  // by a stop, or the far end stopped answering. The refusal count carries
  // over from file to file.
  // Tags otherwise start at random: a test that must repeat a run byte for
  // byte sets the first.
  void setFirstTag(uint32_t tag) { nextTag_ = tag; }

  // `wirePaths`, parallel to `paths` or empty: where each goes under the
  // receive folder of a Zarvek receiver ('/' between folders, UTF-8; one
  // ending in '/' is a folder to make); empty entries go under their base names.
  SendBatchResult runSendBatch(const std::vector<std::string>& paths, const std::atomic<uint8_t>& running,
                               int32_t crcRetryLimit, const std::vector<std::string>& wirePaths = {});

 private:
  // How one attempt at a file ended.
  enum class Ending { Sent, Verified, Mismatch, NoAnswer, Refused, Abandoned, Stopped, ReplyUnread };
  // How a size or name stage ended.
  enum class Stage { Taken, Stopped, NoAnswer, ReplyUnread };
  // An answer in a verified file that names what it answers.
  struct Awaited {
    SerialPort::Heard heard;
    Answer answer;
  };

  void sendFile(const std::string& path, const std::string& wirePath);
  // What a verified receiver holds of the file from an earlier attempt.
  struct Held {
    uint32_t chunks;
    uint32_t crc;
  };
  enum class HeldStage { Heard, Stopped, NoAnswer, ReplyUnread };
  HeldStage awaitHeld(Held& held);
  // Goes on from what is held if its CRC-32 is that of this file's own bytes.
  bool takeUp(const Held& held);
  void reportEnding(Ending ending, int32_t attempts, uint64_t delivered);
  Ending sendOnce(uint64_t& delivered);
  // Sends one packet kind until it is not refused; `asks`: how many silences
  // it meets by sending again. Notes kReplyVerify in `heard`, the last byte in `answer`.
  Stage askUntilTaken(void (FileSender::*send)(), std::chrono::milliseconds limit, int32_t asks, bool& heard, uint8_t& answer);
  Ending sendClassicData(uint64_t& delivered);
  Ending sendVerifiedData(uint64_t& delivered);
  Ending sendStreamedData(uint64_t& delivered);
  void sendStreamedChunk(uint32_t index, uint8_t round);
  // A streamed file's wait: kStreamQuiet past two packets' line time.
  std::chrono::milliseconds streamLimit() const;
  // Reads what has come into `frames`; false when the read failed.
  bool collect(FrameScanner& frames, const SerialPort::Reply& first);
  Ending awaitVerdict();
  Ending awaitStreamVerdict();
  // The limit's message, then "AF" after the pauses.
  Ending giveUp(Ending ending);
  // The answer to the packet with `id`: a chunk's (taken or refused) or, with
  // `verdict`, an end's (matches, differs or refused).
  Awaited awaitAnswer(uint32_t id, bool verdict);
  void sendSize();
  void sendName();
  PacketResult sendNextChunk();  // Accepted ("FD" sent) or FileEnded ("EF" sent)
  void rewindChunk();
  void sendEndOfFile();
  void sendAbort();  // 50 ms after the line is free, then "AF"
  void writePacket();
  SerialPort::Reply waitAnswer(std::chrono::milliseconds limit);
  int32_t chunkLength() const;
  // Waits until the line is free, then `ms` more: the protocol's pauses.
  void pause(int ms);
  FileReport report(FileOutcome outcome, uint64_t delivered, FileProblem problem = FileProblem::None) const;

  bool running() const { return running_->load(); }

  TransferUi& ui_;
  const bool verify_;
  const bool stream_;
  int32_t speed_ = 0;
  // The batch's stop flag and retry limit, held from runSendBatch on.
  const std::atomic<uint8_t>* running_ = nullptr;
  int32_t crcRetryLimit_ = 0;
  SerialPort port_;
  std::unique_ptr<SourceFile> source_;
  uint8_t packet_[kPacketSize] = {};
  int64_t readPos_ = 0;    // 64-bit: files from 2 GiB up to 4 GiB - 1
  int32_t lastChunk_ = 0;  // length of the "FD" just sent, for rewindChunk
  SendBatchResult batch_;
  bool batchDone_ = false;
  Result replyFailure_;        // why the last reply could not be read
  uint32_t nextTag_ = 0;       // names each attempt at a file, for its answers
  uint32_t tag_ = 0;           // this attempt's
  bool fileVerified_ = false;  // the receiver took this attempt verified
  bool fileStreamed_ = false;  // and streamed
  uint32_t fileCrc_ = 0;       // CRC-32 of the chunks sent so far in this attempt
  int64_t crcUpTo_ = 0;        // how far fileCrc_ reaches
  // The file's block in the name: where it goes, and whether this attempt
  // starts over rather than taking up what the receiver holds.
  std::string wirePath_;
  bool infoSent_ = false;
  bool fresh_ = false;
  uint32_t startChunk_ = 0;    // the first chunk this attempt sends
  uint64_t resumedAt_ = 0;     // the bytes before it
  // What the batch has shown of the receiver: a folder entry goes only to a
  // Zarvek end, and to a classic one nothing says so but once.
  bool peerZarvek_ = false;
  bool peerClassic_ = false;
};

}  // namespace zarvek
