#pragma once
// The other program on the cable, as the classic program behaves, to the letter.
// Our engines carry safeguards the classic program never had; these two peers
// deliberately have none of them, so tests show that we still get along with it:
// - the receiver discards its input before every wait for a packet (at the reply
//   that precedes the wait), reads one packet with the classic read time-outs and
//   acts on a short read as it stands;
// - the sender waits out each packet's line time after writing it, never discards
//   input (every byte it reads is a reply, anything but "N" counts as "A"), resends
//   size and name without limit and waits for a reply for ever unless stopped.
// They share nothing with our engines but the packet layout and its checksum, and
// speak through their own termios code on a virtual-cable end. Linux only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace zarvek::test {

// How a file's conversation ended on the line.
enum class ClassicEnding { Open, EndOfFile, Abort };

inline std::ostream& operator<<(std::ostream& out, ClassicEnding ending) {
  return out << (ending == ClassicEnding::EndOfFile ? "EF" : ending == ClassicEnding::Abort ? "AF" : "open");
}

// Receives one file cycle after another into `folder` on its own thread, from the
// moment it is built until stop() or destruction.
class ClassicReceiver {
 public:
  struct File {
    std::string name;
    uint32_t announced = 0;  // size from "FS"
    uint64_t written = 0;    // data bytes written into the file
    ClassicEnding ending = ClassicEnding::Open;
  };

  // Opens and sets up the port (throws std::system_error) and returns once the
  // first wait for a packet has begun. `readGap` is the silence between two bytes
  // that ends a packet read: 20 ms in the classic program. A virtual cable's relay
  // on a loaded machine can stall that long inside a packet no writer paused in,
  // so tests not about pauses widen it and judge pauses on the line's own clock.
  ClassicReceiver(const std::string& endPath, int32_t speed, std::filesystem::path folder,
                  std::chrono::milliseconds readGap = std::chrono::milliseconds(20));
  ~ClassicReceiver();
  ClassicReceiver(const ClassicReceiver&) = delete;
  ClassicReceiver& operator=(const ClassicReceiver&) = delete;

  void stop();  // the user's Abort: clears running and waits for the thread

  std::vector<File> files() const;  // one per name packet taken, in order
  std::string trace() const;        // e.g. "FS/A FN/A FD(512)/N FD/A EF"

 private:
  struct Target {
    uint32_t size = 0;
    int fd = -1;
    bool mapped = false;  // created at the announced size: data may be written
    std::filesystem::path path;
    int record = -1;  // index in files_ once the name is taken
  };
  enum class Result { Failed, FileEnded, TransferEnded, Accepted, CrcFailed };

  void run();
  bool waitForData(bool purge);
  void purgeInput();
  int readPacket();  // bytes read, -1 when the read failed
  Result dispatch();
  void sendReply(uint8_t byte);
  bool crcMatches(int32_t n) const;
  bool takeNameAndCreate();
  void writeChunk(int32_t n);
  void endTarget(ClassicEnding ending);
  void note(const std::string& text);

  int fd_ = -1;
  std::filesystem::path folder_;
  std::chrono::milliseconds readGap_;
  std::atomic<bool> running_{true};
  std::atomic<bool> listening_{false};
  uint8_t packet_[1030] = {};
  bool haveTarget_ = false;
  Target target_;
  int64_t writeCount_ = 0;

  mutable std::mutex mutex_;
  std::vector<File> files_;
  std::string trace_;
  std::thread thread_;
};

// Sends a list of files as one batch, as the classic batch loop does.
class ClassicSender {
 public:
  struct File {
    std::string name;
    uint32_t size = 0;
    uint64_t delivered = 0;  // bytes of data packets not answered "N"
    ClassicEnding ending = ClassicEnding::Open;
  };

  // Opens and sets up the port; throws std::system_error.
  ClassicSender(const std::string& endPath, int32_t speed, int32_t retryLimit);
  ~ClassicSender();  // stops a batch still running
  ClassicSender(const ClassicSender&) = delete;
  ClassicSender& operator=(const ClassicSender&) = delete;

  // Reads the files whole, then sends them on a thread of its own (once).
  void start(const std::vector<std::filesystem::path>& files);
  // Waits for the batch to end. At the guard it stops the sender, as its user
  // would, and returns false: the classic sender never gives up by itself.
  bool finish(std::chrono::milliseconds guard);
  void stop();  // clears running

  std::vector<File> files() const;
  std::vector<std::string> sent() const;  // kinds of the packets written, in order
  std::string trace() const;              // e.g. "FS/A FN/A FD/N FD/A EF"

 private:
  struct Source {
    std::string name;
    std::string content;
  };
  enum class Reply { Failed, Accepted, CrcFailed };

  void run(std::vector<Source> sources);
  void sendSize(uint32_t size);
  void sendName(const std::string& name);
  bool sendNextChunk(const std::string& content);  // false: "EF" went out instead
  void sendEndOfFile();
  void sendAbort();
  void writePacket();
  Reply waitReply();
  void putCrc(int32_t n);

  int fd_ = -1;
  int32_t speed_;
  int32_t retryLimit_;
  std::atomic<bool> running_{false};
  std::atomic<bool> done_{false};
  uint8_t packet_[1030] = {};
  int32_t readPos_ = 0;
  int32_t lastChunk_ = 0;

  mutable std::mutex mutex_;
  std::vector<File> files_;
  std::vector<std::string> sent_;
  std::string trace_;
  std::thread thread_;
};

}  // namespace zarvek::test
