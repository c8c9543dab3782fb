#include "line_fixture.h"

#include <cstring>

namespace zarvek::test {

LineTest::~LineTest() {
  sendJob->running = 0;
  if (senderThread_.joinable()) senderThread_.join();
  stopReceiver();
}

void LineTest::startReceiver() {
  receiveJob->speed = 115200;
  std::strncpy(receiveJob->receiveFolder, target.str().c_str(), kFolderSize - 1);
  receiveJob->running = 1;
  std::atomic<int> opened{-1};
  receiverThread_ = std::thread([this, &opened] {
    FileReceiver receiver;
    const int ok = receiver.openPort(cable_.endB().c_str());
    receiver.configurePort(receiveJob->speed);
    receiver.attachStatusField(receiverUi);
    opened = ok;
    if (ok) receiver.runReceiveLoop(*receiveJob);
  });
  while (opened == -1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(opened, 1) << "receiver could not open " << cable_.endB();
}

void LineTest::stopReceiver() {
  receiveJob->running = 0;
  if (receiverThread_.joinable()) receiverThread_.join();
}

void LineTest::startSend(const std::vector<std::string>& names, int32_t retryLimit) {
  // The selection as the dialog gives it: the folder, then each name.
  std::memset(sendJob->selection, 0, kSelectionSize);
  const std::string folder = source.str();
  std::memcpy(sendJob->selection, folder.data(), folder.size());
  size_t at = folder.size() + 1;
  sendJob->nextName = static_cast<int32_t>(at);
  for (const auto& name : names) {
    std::memcpy(sendJob->selection + at, name.data(), name.size());
    at += name.size() + 1;
  }
  sendJob->speed = 115200;
  sendJob->crcRetryLimit = retryLimit;
  sendJob->running = 1;
  senderDone_ = false;
  senderThread_ = std::thread([this] {
    FileSender sender;
    if (!sender.openPort(cable_.endA().c_str())) {
      ADD_FAILURE() << "sender could not open " << cable_.endA();
      senderDone_ = true;
      return;
    }
    sender.configurePort(sendJob->speed);
    sendResult_ = runSendBatch(*sendJob, sender, senderUi);
    senderDone_ = true;
  });
}

SendBatchResult LineTest::finishSend() {
  // A conversation that stalls is a failure to report, not a test that hangs.
  if (!eventually([this] { return senderDone_.load(); }, std::chrono::seconds(120))) {
    const auto answered = replies();
    ADD_FAILURE() << "the send did not end; line so far: " << kinds() << "; replies: "
                  << std::string(answered.begin(), answered.end());
    sendJob->running = 0;
  }
  senderThread_.join();
  return sendResult_;
}

SendBatchResult LineTest::send(const std::vector<std::string>& names, int32_t retryLimit) {
  startSend(names, retryLimit);
  return finishSend();
}

std::vector<LinePacket> LineTest::packets(size_t from) const {
  const auto log = cable_.log(Direction::AtoB);
  std::vector<LinePacket> out;
  for (size_t at = from; at + kPacketSize <= log.size(); at += kPacketSize) {
    LinePacket p;
    p.kind = {static_cast<char>(log[at].value), static_cast<char>(log[at + 1].value)};
    for (size_t i = 0; i < static_cast<size_t>(kPacketSize); ++i) p.bytes.push_back(log[at + i].value);
    p.start = log[at].at;
    p.end = log[at + kPacketSize - 1].at;
    out.push_back(std::move(p));
  }
  return out;
}

std::string LineTest::kinds(size_t from) const {
  std::string s;
  for (const auto& p : packets(from)) s += (s.empty() ? "" : " ") + p.kind;
  return s;
}

std::vector<uint8_t> LineTest::replies() const {
  std::vector<uint8_t> out;
  for (const auto& b : cable_.log(Direction::BtoA)) out.push_back(b.value);
  return out;
}

}  // namespace zarvek::test
