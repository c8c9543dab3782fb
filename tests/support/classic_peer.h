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
// speak through their own port (PeerPort) at 115200 bit/s: termios on a
// virtual-cable end, or a SimLine end in virtual time. Linux only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/peer_port.h"

namespace zarvek::test {

// How a file's conversation ended on the line.
enum class ClassicEnding { Open, EndOfFile, Abort };

inline std::ostream& operator<<(std::ostream& out, ClassicEnding ending) {
  return out << (ending == ClassicEnding::EndOfFile ? "EF" : ending == ClassicEnding::Abort ? "AF" : "open");
}

// What either role recorded of one file.
struct ClassicFile {
  std::string name;
  ClassicEnding ending = ClassicEnding::Open;
};

// The port, the thread that speaks on it, and what it recorded.
class ClassicEnd {
 public:
  std::vector<ClassicFile> files() const { return locked(files_); }  // in the order their conversations began
  std::string trace() const { return locked(trace_); }               // e.g. "FS/A FN/A FD(512)/N FD/A EF"

  void stop();  // the user's Abort: clears running and waits for the thread

 protected:
  // What a packet's step came to: the receiver's result, the sender's reading of the reply.
  enum class Result { Failed, FileEnded, Accepted, CrcFailed };

  explicit ClassicEnd(const std::string& endPath);  // opens and sets up the port; throws std::system_error
  ~ClassicEnd();                                    // closes it: derived classes stop() first

  void note(const std::string& text);
  void noteKind(const uint8_t* frame);  // " FS" in the trace; a garbled letter shows as '?'
  size_t record(const ClassicFile& file);
  template <class T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  PeerPort port_;
  uint8_t packet_[1030] = {};
  mutable std::mutex mutex_;
  std::vector<ClassicFile> files_;
  std::string trace_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

// Receives one file cycle after another into `folder` on its own thread, from the
// moment it is built until stop() or destruction.
class ClassicReceiver : public ClassicEnd {
 public:
  // Returns once the first wait for a packet has begun. `readGap` is the silence
  // between two bytes that ends a packet read: 20 ms in the classic program. A
  // virtual cable's relay on a loaded machine can stall that long inside a packet
  // no writer paused in, so tests not about pauses widen it and judge pauses on
  // the line's own clock.
  ClassicReceiver(const std::string& endPath, std::filesystem::path folder,
                  std::chrono::milliseconds readGap = std::chrono::milliseconds(20));
  ~ClassicReceiver() { stop(); }

 private:
  struct Target {
    uint32_t size = 0;
    int fd = -1;
    bool mapped = false;  // created at the announced size: data may be written
    std::filesystem::path path;
    int record = -1;  // index in files_ once the name is taken
  };
  void run();
  bool waitForData(bool purge);
  void purgeInput();
  int readPacket();  // bytes read, -1 when the read failed
  Result dispatch();
  bool crcMatches(int32_t n) const;
  bool takeNameAndCreate();
  void writeChunk(int32_t n);
  void endTarget(ClassicEnding ending);

  std::filesystem::path folder_;
  std::chrono::milliseconds readGap_;
  std::atomic<bool> listening_{false};
  std::optional<Target> target_;  // none after "EF", "AF" or "ET" until the next cycle
  int64_t writeCount_ = 0;
};

// Sends a list of files as one batch, as the classic batch loop does, with the
// retry limit at 4.
class ClassicSender : public ClassicEnd {
 public:
  explicit ClassicSender(const std::string& endPath) : ClassicEnd(endPath) {}
  ~ClassicSender() { stop(); }  // a batch still running is stopped

  // Reads the files whole, then sends them on a thread of its own (once).
  void start(const std::vector<std::filesystem::path>& files);
  // Waits for the batch to end. At the guard it stops the sender, as its user
  // would, and returns false: the classic sender never gives up by itself.
  bool finish(std::chrono::milliseconds guard);
  bool done() const { return done_; }  // the batch has ended by itself

 private:
  void run(std::vector<std::pair<std::string, std::string>> sources);  // names and contents
  // Writes only its own bytes into the one reused buffer; the rest go out as
  // earlier packets left them. The ends ("EF", "AF") write their letters alone.
  void sendPacket(const char* kind, const std::string& payload = {}, int32_t lengthField = 0);
  Result waitReply();  // Failed, Accepted or CrcFailed

  std::atomic<bool> done_{false};
};

}  // namespace zarvek::test
