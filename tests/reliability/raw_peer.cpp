#include "raw_peer.h"

#include <algorithm>
#include <cstring>

#include "protocol/packet.h"
#include "receive/file_receiver.h"

namespace zarvek::test {

std::string frame(const char kind[2], uint16_t lengthField, const std::string& payload, int32_t crcCount) {
  std::string f(kPacketSize, '\0');
  f[0] = kind[0];
  f[1] = kind[1];
  f[2] = static_cast<char>(lengthField >> 8);
  f[3] = static_cast<char>(lengthField & 0xFF);
  std::memcpy(f.data() + 4, payload.data(), std::min<size_t>(payload.size(), kMaxChunk));
  const uint16_t crc = PacketCrc(reinterpret_cast<const uint8_t*>(f.data()), std::clamp(crcCount, 0, kMaxChunk));
  f[1028] = static_cast<char>(crc >> 8);
  f[1029] = static_cast<char>(crc & 0xFF);
  return f;
}

std::string sizeFrame(uint32_t size) {
  const std::string be = {static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
                          static_cast<char>(size)};
  return frame("FS", 4, be, 4);
}

std::string nameFrame(const std::string& name) {
  return frame("FN", static_cast<uint16_t>(name.size()), name, static_cast<int32_t>(name.size()));
}

std::string dataFrame(const std::string& chunk) {
  return frame("FD", static_cast<uint16_t>(chunk.size()), chunk, static_cast<int32_t>(chunk.size()));
}

std::string bareFrame(const char kind[2]) { return frame(kind, 0, "", 0); }

ReceiverOnThread::ReceiverOnThread(const std::string& end, const std::filesystem::path& folder) {
  job_->speed = 115200;
  std::strncpy(job_->receiveFolder, folder.c_str(), kFolderSize - 1);
  job_->running = 1;
  std::atomic<int> opened{-1};
  thread_ = std::thread([this, end, &opened] {
    FileReceiver receiver;
    const int ok = receiver.openPort(end.c_str());
    receiver.configurePort(job_->speed);
    receiver.attachStatusField(ui);
    opened = ok;
    if (ok) receiver.runReceiveLoop(*job_);
    ended_ = true;
  });
  while (opened == -1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Its first wait discards what is queued; give it time to be waiting.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

ReceiverOnThread::~ReceiverOnThread() {
  if (stop()) return;
  // A hung receiver has failed its test already; let the process end around it.
  thread_.detach();
  static_cast<void>(job_.release());
}

bool ReceiverOnThread::stop(std::chrono::milliseconds guard) {
  job_->running = 0;
  const auto until = std::chrono::steady_clock::now() + guard;
  while (!ended_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!ended_) return false;
  if (thread_.joinable()) thread_.join();
  return true;
}

}  // namespace zarvek::test
