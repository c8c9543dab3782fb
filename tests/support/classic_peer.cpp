#include "support/classic_peer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "protocol/packet.h"
#include "support/temp_dir.h"

namespace zarvek::test {
namespace {

using Clock = PeerPort::Clock;
using namespace std::chrono_literals;

constexpr int32_t kSpeed = 115200;  // bit/s
constexpr int32_t kRetryLimit = 4;  // contiguous "N" to data packets before "AF"

char printable(uint8_t byte) { return (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '?'; }

}  // namespace

ClassicEnd::ClassicEnd(const std::string& endPath) : port_(endPath) {}

ClassicEnd::~ClassicEnd() = default;

void ClassicEnd::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
}

void ClassicEnd::note(const std::string& text) {
  std::lock_guard lock(mutex_);
  trace_ += text;
}

void ClassicEnd::noteKind(const uint8_t* frame) {
  std::lock_guard lock(mutex_);
  trace_ += std::string(trace_.empty() ? "" : " ") + printable(frame[0]) + printable(frame[1]);
}

size_t ClassicEnd::record(const ClassicFile& file) {
  std::lock_guard lock(mutex_);
  files_.push_back(file);
  return files_.size() - 1;
}

ClassicReceiver::ClassicReceiver(const std::string& endPath, std::filesystem::path folder,
                                 std::chrono::milliseconds readGap)
    : ClassicEnd(endPath), folder_(std::move(folder)), readGap_(readGap) {
  thread_ = std::thread([this] { run(); });
  // A sender that starts before the first purge would lose its first packet for ever.
  const auto guard = Clock::now() + 10s;
  while (!listening_ && Clock::now() < guard) std::this_thread::sleep_for(1ms);
  if (!listening_) {
    stop();
    throw std::runtime_error("the classic receiver did not start waiting");
  }
}

void ClassicReceiver::run() {
  // The classic program has its computer to itself. On a loaded test machine an
  // ordinary thread can be held up past the 50 ms between an "EF" and the next
  // "FS", and its purge would take the "FS" away. Where allowed, run ahead of
  // ordinary threads, as the cable's relay does; every wait here blocks.
  const sched_param realtime{1};
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &realtime);
  while (running_) {
    // A fresh file per cycle; one left open by a failed read stays on disk as it is.
    if (target_ && target_->fd >= 0) ::close(target_->fd);
    target_.emplace();
    writeCount_ = 0;
    for (bool afterReply = false;; afterReply = true) {
      if (!waitForData(!afterReply)) break;
      if (readPacket() < 0) {
        note(" (read failed)");
        break;
      }
      const Result result = dispatch();
      if (result == Result::FileEnded) break;
      // The classic program purges as its next wait begins, microseconds after
      // the reply and so before any byte of the next packet can be back. Here the
      // pseudo-terminal and a loaded machine can hold this thread up for
      // milliseconds after the reply, while our sender's next packet follows it
      // within a fraction of one: purging just before the reply drops the same
      // bytes and never the head of that packet.
      purgeInput();
      port_.abandonOutput();  // any output still pending is abandoned
      const uint8_t reply = result == Result::CrcFailed ? 'N' : 'A';
      note(std::string("/") + (port_.write(&reply, 1) == 1 ? printable(reply) : '!'));
    }
  }
  if (target_ && target_->fd >= 0) ::close(target_->fd);  // stopped mid-file: kept
  target_.reset();
}

void ClassicReceiver::purgeInput() {
  const int queued = port_.queued();
  port_.purgeInput();
  if (queued > 0) note(" [purged " + std::to_string(queued) + "]");
}

bool ClassicReceiver::waitForData(bool purge) {
  if (purge) purgeInput();  // whatever came before this wait is dropped
  listening_ = true;
  return port_.waitForByte(running_);
}

int ClassicReceiver::readPacket() {
  // The classic read time-outs: more than the gap (20 ms) between two bytes, or
  // 10 ms per requested byte in all, end the read with what has come.
  constexpr auto kTotal = 10ms * kPacketSize;
  const auto start = port_.now();
  auto last = start;
  int got = 0;
  for (bool expired = false; got < kPacketSize;) {
    const int n = port_.read(packet_ + got, kPacketSize - got, &last);
    if (n > 0) {
      got += n;
      expired = false;
      continue;
    }
    if (expired) break;
    if (n < 0) return -1;
    const auto now = port_.now();
    // The time-outs judge the line, not this thread's scheduling: bytes that came
    // while it was not running still belong to the read, so one more read settles it.
    expired = now - last > readGap_ || now - start >= kTotal;
    if (!expired) port_.waitForBytes(kPacketSize - got, readGap_ + 1ms, last, start + kTotal);
  }
  noteKind(packet_);
  if (got < kPacketSize) note("(" + std::to_string(got) + ")");
  return got;
}

bool ClassicReceiver::crcMatches(int32_t n) const {
  const uint16_t stored = static_cast<uint16_t>(packet_[offset::crcHigh] << 8 | packet_[offset::crcLow]);
  return PacketCrc(packet_, n) == stored;
}

ClassicReceiver::Result ClassicReceiver::dispatch() {
  // A short read is acted on as it stands: the rest of the buffer still holds the
  // previous packet, and the checksum normally refuses it.
  const std::string kind{static_cast<char>(packet_[0]), static_cast<char>(packet_[1])};
  if (kind == "FS") {
    if (!crcMatches(4)) return Result::CrcFailed;
    if (!target_) return Result::Failed;
    // Folded into what the size already holds, as the classic size step does: a
    // second "FS" in one cycle garbles it.
    for (int i = 0; i < 4; ++i) target_->size = (i > 0 ? target_->size << 8 : target_->size) | packet_[offset::payload + i];
    return target_->size != 0 ? Result::Accepted : Result::Failed;
  }
  if (kind == "FN") {
    if (!crcMatches(payloadLength(packet_))) return Result::CrcFailed;
    return takeNameAndCreate() ? Result::Accepted : Result::Failed;
  }
  if (kind == "FD") {
    const int32_t n = payloadLength(packet_);
    if (!crcMatches(n)) return Result::CrcFailed;
    writeChunk(n);
    writeCount_ += n;
    return Result::Accepted;
  }
  // "ET" closes the file and keeps the count; the cycle goes on, the reply too.
  if (kind == "EF" || kind == "AF" || kind == "ET")
    endTarget(kind == "EF" ? ClassicEnding::EndOfFile : kind == "AF" ? ClassicEnding::Abort : ClassicEnding::Open);
  return kind == "EF" || kind == "AF" ? Result::FileEnded : Result::Accepted;
}

bool ClassicReceiver::takeNameAndCreate() {
  if (!target_) return false;
  // The name step reads the length byte alone and copies the name as a C string.
  std::string name(reinterpret_cast<const char*>(packet_ + offset::payload), packet_[offset::lengthLow]);
  name = name.substr(0, name.find('\0'));
  target_->record = static_cast<int>(record(ClassicFile{name, ClassicEnding::Open}));
  // A second name in one cycle would join onto the first file's path, which fails.
  if (target_->fd >= 0) return false;
  // The classic program takes any name; this peer must never write outside its folder.
  if (name.empty() || name.size() > 99 || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
    return false;
  target_->path = folder_ / name;
  target_->fd = ::open(target_->path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (target_->fd < 0) return false;
  // The classic file is mapped at its full size, which an empty file cannot be:
  // that step fails and the empty file stays.
  if (target_->size == 0) return false;
  target_->mapped = ftruncate(target_->fd, target_->size) == 0;
  return target_->mapped;
}

void ClassicReceiver::writeChunk(int32_t n) {
  if (!target_ || !target_->mapped) return;
  // Never outside the announced size, whatever the length field says.
  if (n <= 0 || n > kMaxChunk || writeCount_ < 0 || writeCount_ + n > target_->size) return;
  [[maybe_unused]] const ssize_t written = pwrite(target_->fd, packet_ + offset::payload, static_cast<size_t>(n), writeCount_);
}

void ClassicReceiver::endTarget(ClassicEnding ending) {
  if (!target_) return;
  const bool created = target_->fd >= 0;
  if (created) ::close(target_->fd);
  // An aborted file is closed first, then deleted.
  if (ending == ClassicEnding::Abort && created) ::unlink(target_->path.c_str());
  if (ending != ClassicEnding::Open && target_->record >= 0) {
    std::lock_guard lock(mutex_);
    files_[static_cast<size_t>(target_->record)].ending = ending;
  }
  target_.reset();
}

void ClassicSender::start(const std::vector<std::filesystem::path>& files) {
  std::vector<std::pair<std::string, std::string>> sources;
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    // The classic name buffer holds 49 bytes.
    if (name.empty() || name.size() > 49) throw std::invalid_argument("name too long: " + name);
    sources.emplace_back(name, readFile(path));
  }
  thread_ = std::thread([this, sources = std::move(sources)]() mutable { run(std::move(sources)); });
}

bool ClassicSender::finish(std::chrono::milliseconds guard) {
  const auto until = Clock::now() + guard;
  while (!done_ && Clock::now() < until) std::this_thread::sleep_for(5ms);
  const bool ended = done_;
  stop();
  return ended;
}

void ClassicSender::run(std::vector<std::pair<std::string, std::string>> sources) {
  int32_t crcFailures = 0;  // consecutive "N" to data packets, kept across files
  bool batchDone = false;
  for (size_t next = 0; running_ && !batchDone && next < sources.size(); ++next) {
    const auto& [name, content] = sources[next];
    const auto size = static_cast<uint32_t>(content.size());
    const size_t file = record(ClassicFile{name, ClassicEnding::Open});
    // Size and name are sent again for as long as the answer is "N".
    Result reply;
    do {
      sendPacket("FS", {char(size >> 24), char(size >> 16), char(size >> 8), char(size)});
    } while ((reply = waitReply()) == Result::CrcFailed);
    if (reply == Result::Failed) batchDone = true;
    do {
      sendPacket("FN", name, static_cast<int32_t>(name.size()));
    } while ((reply = waitReply()) == Result::CrcFailed);
    if (reply == Result::Failed) batchDone = true;

    for (uint32_t readPos = 0; running_ && crcFailures < kRetryLimit;) {
      const int32_t n = static_cast<int32_t>(std::min<uint32_t>(size - readPos, kMaxChunk));
      if (n == 0) {
        sendPacket("EF");
        std::lock_guard lock(mutex_);
        files_[file].ending = ClassicEnding::EndOfFile;
        break;
      }
      sendPacket("FD", content.substr(readPos, static_cast<size_t>(n)), n);
      readPos += static_cast<uint32_t>(n);
      if (waitReply() == Result::CrcFailed) {
        readPos -= static_cast<uint32_t>(n);
        ++crcFailures;
      } else {  // a wait that ended without a reply counts as delivered too
        crcFailures = 0;
      }
    }
    // Tested even after "EF": a stop that came just after it still sends "AF".
    if (!running_ || crcFailures >= kRetryLimit) {
      port_.sleepFor(100ms);
      sendPacket("AF");
      std::lock_guard lock(mutex_);
      files_[file].ending = ClassicEnding::Abort;
    }
    port_.sleepFor(50ms);
  }
  if (running_ && !batchDone) port_.sleepFor(50ms);  // the loop's turn that finds no file left
  done_ = true;
}

void ClassicSender::sendPacket(const char* kind, const std::string& payload, int32_t lengthField) {
  packet_[0] = static_cast<uint8_t>(kind[0]);
  packet_[1] = static_cast<uint8_t>(kind[1]);
  if (kind[0] == 'F') {
    packet_[offset::lengthHigh] = static_cast<uint8_t>(lengthField >> 8);
    packet_[offset::lengthLow] = static_cast<uint8_t>(lengthField & 0xFF);
    std::memcpy(packet_ + offset::payload, payload.data(), payload.size());
    const uint16_t crc = PacketCrc(packet_, static_cast<int32_t>(payload.size()));
    packet_[offset::crcHigh] = static_cast<uint8_t>(crc >> 8);
    packet_[offset::crcLow] = static_cast<uint8_t>(crc & 0xFF);
  }
  for (int done = 0; done < kPacketSize && running_;) {
    const int n = port_.write(packet_ + done, kPacketSize - done);
    if (n > 0) {
      done += n;
      continue;
    }
    if (n < 0) break;  // the classic sender goes on regardless
    port_.waitWritable(10ms);
  }
  noteKind(packet_);
  // A synchronous write on a real port returns once the line has carried the packet.
  port_.sleepFor(std::chrono::microseconds(int64_t{kPacketSize} * 10 * 1'000'000 / kSpeed));
}

ClassicSender::Result ClassicSender::waitReply() {
  // Every byte it reads is a reply, taken the moment it is queued.
  if (!port_.waitForByte(running_)) return Result::Failed;
  uint8_t byte = 0;
  if (port_.read(&byte, 1) != 1) return Result::Failed;
  note(std::string("/") + printable(byte));
  return byte == 'N' ? Result::CrcFailed : Result::Accepted;  // any other byte is taken as "A"
}

}  // namespace zarvek::test
