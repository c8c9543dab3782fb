#include "line_fixture.h"

#include "send/send_job.h"

namespace zarvek::test {

Line::~Line() {
  sendJob_.running = 0;
  if (senderThread_.joinable()) senderThread_.join();
  stopReceiver();
}

void Line::startReceiver() {
  receiver_ = std::make_unique<harness::ReceiverThread>(cable_.endB(), 115200, target.str(), receiverUi, verify, stream);
}

void Line::startSend(const std::vector<std::string>& names, int32_t retryLimit) {
  sendJob_.files.clear();
  for (const auto& name : names) sendJob_.files.push_back((source / name).string());
  sendJob_.portName = cable_.endA();
  sendJob_.speed = 115200;
  sendJob_.crcRetryLimit = retryLimit;
  sendJob_.verify = verify;
  sendJob_.stream = stream;
  sendJob_.running = 1;
  senderDone_ = false;
  senderThread_ = std::thread([this] {
    sendResult_ = runSendJob(sendJob_, senderUi);
    senderDone_ = true;
  });
}

SendBatchResult Line::finishSend() {
  // A conversation that stalls is a failure to report, not a test that hangs.
  if (!eventually([this] { return senderDone_.load(); }, std::chrono::seconds(300))) {
    ADD_FAILURE() << "the send did not end; line so far: " << kinds() << "; replies: " << replies();
    sendJob_.running = 0;
  }
  senderThread_.join();
  EXPECT_TRUE(sendResult_.has_value()) << "the sender could not open " << cable_.endA();
  return sendResult_.value_or(SendBatchResult{});
}

std::vector<LinePacket> Line::packets() const {
  const auto log = cable_.log(Direction::AtoB);
  std::vector<LinePacket> out;
  for (size_t at = 0; at + kPacketSize <= log.size(); at += kPacketSize) {
    LinePacket p{{static_cast<char>(log[at].value), static_cast<char>(log[at + 1].value)}, {}, log[at].at};
    for (size_t i = 0; i < static_cast<size_t>(kPacketSize); ++i) p.bytes.push_back(log[at + i].value);
    out.push_back(std::move(p));
  }
  return out;
}

std::string Line::kinds() const {
  std::string s;
  for (const auto& p : packets()) s += (s.empty() ? "" : " ") + p.kind;
  return s;
}

}  // namespace zarvek::test
