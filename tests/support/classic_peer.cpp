#include "support/classic_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "protocol/packet.h"
#include "support/temp_dir.h"

namespace zarvek::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

speed_t termiosSpeed(int32_t speed) {
  switch (speed) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 57600: return B57600;
    case 115200: return B115200;
    default: throw std::invalid_argument("the classic program has no speed " + std::to_string(speed));
  }
}

// The classic line: 8 data bits, no parity, one stop bit, every byte value carried
// unchanged, no flow control. Non-blocking, so that every wait is a poll.
int openClassicPort(const std::string& path, int32_t speed) {
  const speed_t s = termiosSpeed(speed);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throwErrno("cannot open " + path);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    throwErrno("cannot read the settings of " + path);
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, s);
  cfsetospeed(&tio, s);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    throwErrno("cannot set up " + path);
  }
  ioctl(fd, TIOCEXCL);  // the classic program holds its port without sharing
  return fd;
}

// Two letters for the trace; a garbled kind shows as '?'.
std::string kindOf(const uint8_t* frame) {
  std::string kind;
  for (int i = 0; i < 2; ++i) kind += (frame[i] >= 0x20 && frame[i] < 0x7F) ? static_cast<char>(frame[i]) : '?';
  return kind;
}

char replyText(uint8_t byte) { return (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '?'; }

}  // namespace

// ---------------------------------------------------------------- receiver

ClassicReceiver::ClassicReceiver(const std::string& endPath, int32_t speed, std::filesystem::path folder,
                                 std::chrono::milliseconds readGap)
    : fd_(openClassicPort(endPath, speed)), folder_(std::move(folder)), readGap_(readGap) {
  thread_ = std::thread([this] { run(); });
  // A sender that starts before the first purge would lose its first packet for ever.
  const auto guard = Clock::now() + 10s;
  while (!listening_ && Clock::now() < guard) std::this_thread::sleep_for(1ms);
  if (!listening_) {
    stop();
    ::close(fd_);
    throw std::runtime_error("the classic receiver did not start waiting");
  }
}

ClassicReceiver::~ClassicReceiver() {
  stop();
  ::close(fd_);
}

void ClassicReceiver::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
}

std::vector<ClassicReceiver::File> ClassicReceiver::files() const {
  std::lock_guard lock(mutex_);
  return files_;
}

std::string ClassicReceiver::trace() const {
  std::lock_guard lock(mutex_);
  return trace_;
}

void ClassicReceiver::note(const std::string& text) {
  std::lock_guard lock(mutex_);
  trace_ += text;
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
    if (haveTarget_ && target_.fd >= 0) ::close(target_.fd);
    target_ = Target{};
    haveTarget_ = true;
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
      sendReply(result == Result::CrcFailed ? 'N' : 'A');
    }
  }
  if (haveTarget_ && target_.fd >= 0) ::close(target_.fd);  // stopped mid-file: kept
  haveTarget_ = false;
}

void ClassicReceiver::purgeInput() {
  int queued = 0;
  ioctl(fd_, FIONREAD, &queued);
  tcflush(fd_, TCIFLUSH);
  if (queued > 0) note(" [purged " + std::to_string(queued) + "]");
}

bool ClassicReceiver::waitForData(bool purge) {
  if (purge) purgeInput();  // whatever came before this wait is dropped
  listening_ = true;
  while (running_) {
    // poll wakes at the first byte, as the classic busy poll would see it; its
    // time-out only bounds how long a stop takes to be noticed.
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, 1);
    if (ready > 0 && (p.revents & POLLIN)) return true;
    if (ready > 0) std::this_thread::sleep_for(1ms);  // a hang-up must not spin
  }
  return false;
}

int ClassicReceiver::readPacket() {
  // The classic read time-outs: more than the gap (20 ms) between two bytes, or
  // 10 ms per requested byte in all, end the read with what has come.
  const auto interval = readGap_;
  constexpr auto kTotal = 10ms * kPacketSize;
  const auto start = Clock::now();
  auto last = start;
  int got = 0;
  while (got < kPacketSize) {
    const ssize_t n = ::read(fd_, packet_ + got, static_cast<size_t>(kPacketSize - got));
    if (n > 0) {
      got += static_cast<int>(n);
      last = Clock::now();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
    const auto now = Clock::now();
    if (now - last > interval || now - start >= kTotal) {
      // The time-outs judge the line, not this thread's scheduling: bytes that
      // came while it was not running still belong to the read.
      const ssize_t late = ::read(fd_, packet_ + got, static_cast<size_t>(kPacketSize - got));
      if (late <= 0) break;
      got += static_cast<int>(late);
      last = Clock::now();
      continue;
    }
    const auto until = std::min<Clock::time_point>(last + interval + 1ms, start + kTotal);
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
  }
  std::lock_guard lock(mutex_);
  trace_ += (trace_.empty() ? "" : " ") + kindOf(packet_);
  if (got < kPacketSize) trace_ += "(" + std::to_string(got) + ")";
  return got;
}

bool ClassicReceiver::crcMatches(int32_t n) const {
  const uint16_t stored = static_cast<uint16_t>(packet_[offset::crcHigh] << 8 | packet_[offset::crcLow]);
  return PacketCrc(packet_, n) == stored;
}

ClassicReceiver::Result ClassicReceiver::dispatch() {
  // A short read is acted on as it stands: the rest of the buffer still holds the
  // previous packet, and the checksum normally refuses it.
  const uint8_t first = packet_[offset::kind0];
  const uint8_t second = packet_[offset::kind1];
  if (first == 'F' && second == 'S') {
    if (!crcMatches(4)) return Result::CrcFailed;
    if (!haveTarget_) return Result::Failed;
    // Folded into what the size already holds, as the classic size step does: a
    // second "FS" in one cycle garbles it.
    for (int i = 0; i < 4; ++i) target_.size = (i > 0 ? target_.size << 8 : target_.size) | packet_[offset::payload + i];
    return target_.size != 0 ? Result::Accepted : Result::Failed;
  }
  if (first == 'F' && second == 'N') {
    if (!crcMatches(payloadLength(packet_))) return Result::CrcFailed;
    return takeNameAndCreate() ? Result::Accepted : Result::Failed;
  }
  if (first == 'F' && second == 'D') {
    const int32_t n = payloadLength(packet_);
    if (!crcMatches(n)) return Result::CrcFailed;
    writeChunk(n);
    writeCount_ += n;
    return Result::Accepted;
  }
  if (first == 'E' && second == 'F') {
    endTarget(ClassicEnding::EndOfFile);
    writeCount_ = 0;
    return Result::FileEnded;
  }
  if (first == 'E' && second == 'T') {
    endTarget(ClassicEnding::Open);
    return Result::TransferEnded;
  }
  if (first == 'A' && second == 'F') {
    endTarget(ClassicEnding::Abort);
    writeCount_ = 0;
    return Result::FileEnded;
  }
  return Result::Accepted;
}

bool ClassicReceiver::takeNameAndCreate() {
  if (!haveTarget_) return false;
  // The name step reads the length byte alone and copies the name as a C string.
  std::string name(reinterpret_cast<const char*>(packet_ + offset::payload), packet_[offset::lengthLow]);
  name = name.substr(0, name.find('\0'));
  {
    std::lock_guard lock(mutex_);
    files_.push_back(File{name, target_.size, 0, ClassicEnding::Open});
    target_.record = static_cast<int>(files_.size()) - 1;
  }
  // A second name in one cycle would join onto the first file's path, which fails.
  if (target_.fd >= 0) return false;
  // The classic program takes any name; this peer must never write outside its folder.
  if (name.empty() || name.size() > 99 || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
    return false;
  target_.path = folder_ / name;
  target_.fd = ::open(target_.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (target_.fd < 0) return false;
  // The classic file is mapped at its full size, which an empty file cannot be:
  // that step fails and the empty file stays.
  if (target_.size == 0) return false;
  target_.mapped = ftruncate(target_.fd, target_.size) == 0;
  return target_.mapped;
}

void ClassicReceiver::writeChunk(int32_t n) {
  if (!haveTarget_ || !target_.mapped) return;
  // Never outside the announced size, whatever the length field says.
  if (n <= 0 || n > kMaxChunk || writeCount_ < 0 || writeCount_ + n > target_.size) return;
  if (pwrite(target_.fd, packet_ + offset::payload, static_cast<size_t>(n), writeCount_) != n) return;
  std::lock_guard lock(mutex_);
  if (target_.record >= 0) files_[static_cast<size_t>(target_.record)].written += static_cast<uint64_t>(n);
}

void ClassicReceiver::endTarget(ClassicEnding ending) {
  if (!haveTarget_) return;
  const bool created = target_.fd >= 0;
  if (created) ::close(target_.fd);
  // An aborted file is closed first, then deleted.
  if (ending == ClassicEnding::Abort && created) ::unlink(target_.path.c_str());
  if (ending != ClassicEnding::Open && target_.record >= 0) {
    std::lock_guard lock(mutex_);
    files_[static_cast<size_t>(target_.record)].ending = ending;
  }
  target_ = Target{};
  haveTarget_ = false;
}

void ClassicReceiver::sendReply(uint8_t byte) {
  tcflush(fd_, TCOFLUSH);  // any output still pending is abandoned
  const bool written = ::write(fd_, &byte, 1) == 1;
  note(std::string("/") + (written ? replyText(byte) : '!'));
}

// ---------------------------------------------------------------- sender

ClassicSender::ClassicSender(const std::string& endPath, int32_t speed, int32_t retryLimit)
    : fd_(openClassicPort(endPath, speed)), speed_(speed), retryLimit_(retryLimit) {}

ClassicSender::~ClassicSender() {
  stop();
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
}

void ClassicSender::start(const std::vector<std::filesystem::path>& files) {
  std::vector<Source> sources;
  for (const auto& path : files) {
    Source source{path.filename().string(), readFile(path)};
    // The classic name buffer holds 49 bytes.
    if (source.name.empty() || source.name.size() > 49) throw std::invalid_argument("name too long: " + source.name);
    sources.push_back(std::move(source));
  }
  running_ = true;
  done_ = false;
  thread_ = std::thread([this, sources = std::move(sources)]() mutable { run(std::move(sources)); });
}

bool ClassicSender::finish(std::chrono::milliseconds guard) {
  const auto until = Clock::now() + guard;
  while (!done_ && Clock::now() < until) std::this_thread::sleep_for(5ms);
  const bool ended = done_;
  if (!ended) stop();
  if (thread_.joinable()) thread_.join();
  return ended;
}

void ClassicSender::stop() { running_ = false; }

std::vector<ClassicSender::File> ClassicSender::files() const {
  std::lock_guard lock(mutex_);
  return files_;
}

std::vector<std::string> ClassicSender::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

std::string ClassicSender::trace() const {
  std::lock_guard lock(mutex_);
  return trace_;
}

void ClassicSender::run(std::vector<Source> sources) {
  int32_t crcFailures = 0;  // consecutive "N" to data packets, kept across files
  bool batchDone = false;
  size_t next = 0;
  while (running_ && !batchDone) {
    if (next == sources.size()) {
      batchDone = true;
      std::this_thread::sleep_for(50ms);
      continue;
    }
    const Source& source = sources[next++];
    const auto size = static_cast<uint32_t>(source.content.size());
    size_t record;
    {
      std::lock_guard lock(mutex_);
      files_.push_back(File{source.name, size, 0, ClassicEnding::Open});
      record = files_.size() - 1;
    }
    // Size and name are sent again for as long as the answer is "N".
    Reply reply;
    do {
      sendSize(size);
    } while ((reply = waitReply()) == Reply::CrcFailed);
    if (reply == Reply::Failed) batchDone = true;
    do {
      sendName(source.name);
    } while ((reply = waitReply()) == Reply::CrcFailed);
    if (reply == Reply::Failed) batchDone = true;

    while (running_ && crcFailures < retryLimit_) {
      if (!sendNextChunk(source.content)) {
        std::lock_guard lock(mutex_);
        files_[record].ending = ClassicEnding::EndOfFile;
        break;
      }
      if (waitReply() == Reply::CrcFailed) {
        readPos_ -= lastChunk_;
        ++crcFailures;
      } else {  // a wait that ended without a reply counts as delivered too
        crcFailures = 0;
        std::lock_guard lock(mutex_);
        files_[record].delivered += static_cast<uint64_t>(lastChunk_);
      }
    }
    // Tested even after "EF": a stop that came just after it still sends "AF".
    if (!running_ || crcFailures >= retryLimit_) {
      std::this_thread::sleep_for(50ms);
      sendAbort();
      std::lock_guard lock(mutex_);
      files_[record].ending = ClassicEnding::Abort;
    }
    std::this_thread::sleep_for(50ms);
  }
  done_ = true;
}

void ClassicSender::putCrc(int32_t n) {
  const uint16_t crc = PacketCrc(packet_, n);
  packet_[offset::crcHigh] = static_cast<uint8_t>(crc >> 8);
  packet_[offset::crcLow] = static_cast<uint8_t>(crc & 0xFF);
}

// Each kind writes only its own bytes into the one reused buffer; the rest go out
// as earlier packets left them.
void ClassicSender::sendSize(uint32_t size) {
  packet_[0] = 'F';
  packet_[1] = 'S';
  packet_[offset::lengthHigh] = 0;
  packet_[offset::lengthLow] = 0;
  for (int i = 0; i < 4; ++i) packet_[offset::payload + i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  putCrc(4);
  writePacket();
}

void ClassicSender::sendName(const std::string& name) {
  packet_[0] = 'F';
  packet_[1] = 'N';
  packet_[offset::lengthHigh] = 0;
  packet_[offset::lengthLow] = static_cast<uint8_t>(name.size());
  std::memcpy(packet_ + offset::payload, name.data(), name.size());
  putCrc(static_cast<int32_t>(name.size()));
  writePacket();
}

bool ClassicSender::sendNextChunk(const std::string& content) {
  const int32_t left = static_cast<int32_t>(content.size()) - readPos_;
  const int32_t n = std::min(left, kMaxChunk);
  if (n <= 0) {
    sendEndOfFile();
    readPos_ = 0;
    return false;
  }
  packet_[0] = 'F';
  packet_[1] = 'D';
  packet_[offset::lengthHigh] = static_cast<uint8_t>(n >> 8);
  packet_[offset::lengthLow] = static_cast<uint8_t>(n & 0xFF);
  std::memcpy(packet_ + offset::payload, content.data() + readPos_, static_cast<size_t>(n));
  putCrc(n);
  readPos_ += n;
  lastChunk_ = n;
  writePacket();
  return true;
}

void ClassicSender::sendEndOfFile() {
  packet_[0] = 'E';
  packet_[1] = 'F';
  writePacket();
}

void ClassicSender::sendAbort() {
  packet_[0] = 'A';
  packet_[1] = 'F';
  std::this_thread::sleep_for(50ms);
  writePacket();
}

void ClassicSender::writePacket() {
  int done = 0;
  while (done < kPacketSize && running_) {
    const ssize_t n = ::write(fd_, packet_ + done, static_cast<size_t>(kPacketSize - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;  // the classic sender goes on regardless
    pollfd p{fd_, POLLOUT, 0};
    poll(&p, 1, 10);
  }
  {
    std::lock_guard lock(mutex_);
    sent_.push_back(kindOf(packet_));
    trace_ += (trace_.empty() ? "" : " ") + sent_.back();
  }
  // A synchronous write on a real port returns once the line has carried the packet.
  std::this_thread::sleep_for(std::chrono::microseconds(int64_t{kPacketSize} * 10 * 1'000'000 / speed_));
}

ClassicSender::Reply ClassicSender::waitReply() {
  for (;;) {
    if (!running_) return Reply::Failed;
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0) break;
    std::this_thread::sleep_for(1ms);
  }
  uint8_t byte = 0;
  if (::read(fd_, &byte, 1) != 1) return Reply::Failed;
  {
    std::lock_guard lock(mutex_);
    trace_ += std::string("/") + replyText(byte);
  }
  return byte == 'N' ? Reply::CrcFailed : Reply::Accepted;  // any other byte is taken as "A"
}

}  // namespace zarvek::test
