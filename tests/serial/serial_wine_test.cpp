// The Windows SerialPort under Wine on COM1, one end of a cable paced at 115200
// bit/s, against the native SerialPort on the other end. serial_peer_win runs
// the Windows side's operations and prints their results; the two sides keep
// step through bytes on the line, as Wine's output only comes at the end.
#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cable/cable.h"
#include "line_pattern.h"
#include "protocol/diagnostic.h"
#include "serial/serial_port.h"
#include "support/wine.h"

namespace zarvek {
namespace {

using namespace std::chrono_literals;
using test::allValuesPacket;

std::string hex(const uint8_t* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

std::vector<std::string> lines(const std::string& output) {
  std::vector<std::string> out;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

// The words of the first line that starts with `verb` after line `from`;
// `from` moves past it, so repeated verbs are taken in order.
std::vector<std::string> take(const std::vector<std::string>& out, const std::string& verb, size_t& from) {
  for (; from < out.size(); ++from) {
    std::istringstream in(out[from]);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (!words.empty() && words[0] == verb) {
      ++from;
      return words;
    }
  }
  return {};
}

class WineSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::requireOrSkipWine(exe)) GTEST_SKIP() << exe << " is not built";
    test::pointComPort(1, cable.endA());
    setDiagnosticSink([](unsigned long) {});
  }
  void TearDown() override { setDiagnosticSink(nullptr); }

  // The native side's port, on the cable's other end.
  void openPeer(PortRole role) {
    ASSERT_EQ(peer.open(cable.endB().c_str(), role), 1);
    ASSERT_EQ(peer.configure(115200, role), 1);
  }

  // Starts the Windows side; `running` is cleared when it ends (or after the
  // guard), so that no native wait outlives it.
  void start(std::vector<std::string> ops) {
    ops.insert(ops.begin(), "COM1");
    run = std::async(std::launch::async, [this, ops] {
      test::WineRun r = test::runUnderWine(exe, ops, 120s);
      std::this_thread::sleep_for(500ms);  // what the native side still had to read
      running = 0;
      return r;
    });
  }
  test::WineRun finish() {
    const test::WineRun r = run.get();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r;
  }

  const std::string exe = test::windowsExe("tests/serial/serial_peer_win.exe");
  Cable cable{CableConfig{115200, {}, {}, false}};
  SerialPort peer;
  std::atomic<uint8_t> running{1};
  std::future<test::WineRun> run;
};

TEST_F(WineSerial, WindowsReceiver) {
  openPeer(PortRole::Sender);
  start({"open:R", "config:115200",
         "reply:53", "sleep:500", "reply:57", "wait", "read",  // stale packet, then a fresh one
         "reply:41", "wait", "read",                          // a packet with a gap after 300 bytes
         "sleep:400", "wait-stop:300",                        // nothing more comes
         "replies-acked"});
  const std::vector<uint8_t> stale = allValuesPacket(9);
  const std::vector<uint8_t> fresh = allValuesPacket(0);
  const std::vector<uint8_t> gapped = allValuesPacket(1);

  ASSERT_EQ(peer.waitReply(running), PacketResult::Accepted) << "no 'S': " << finish().output;
  peer.writePacket(stale.data());  // before the receiver's wait: to be discarded
  ASSERT_EQ(peer.waitReply(running), PacketResult::Accepted);  // 'W': it waits now
  std::this_thread::sleep_for(200ms);
  peer.writePacket(fresh.data());
  ASSERT_EQ(peer.waitReply(running), PacketResult::Accepted);  // 'A'
  FaultPlan pause;
  pause.pauses.push_back({cable.bytesIn(Direction::BtoA) + 300, 100});
  cable.setFaults(Direction::BtoA, pause);
  peer.writePacket(gapped.data());

  // The receiver's replies 0..255, each acknowledged before the next comes.
  std::vector<int> replies;
  std::vector<uint8_t> buffer(kPacketSize);
  for (int v = 0; v < 256 && running; ++v) {
    if (peer.readPacket(buffer.data()) != 1 || peer.lastReadCount() != 1) break;
    replies.push_back(buffer[0]);
    peer.sendReply('k');
  }

  const test::WineRun r = finish();
  const std::vector<std::string> out = lines(r.output);
  size_t at = 0;
  EXPECT_EQ(take(out, "open", at), (std::vector<std::string>{"open", "1", "0"})) << r.output;
  EXPECT_EQ(take(out, "config", at), (std::vector<std::string>{"config", "1"})) << r.output;
  EXPECT_EQ(take(out, "wait", at), (std::vector<std::string>{"wait", "1"})) << r.output;
  EXPECT_EQ(take(out, "read", at),
            (std::vector<std::string>{"read", "1", "1030", hex(fresh.data(), fresh.size())}))
      << "the stale packet was not discarded, or a byte changed\n" << r.output;
  EXPECT_EQ(take(out, "wait", at), (std::vector<std::string>{"wait", "1"})) << r.output;
  EXPECT_EQ(take(out, "read", at), (std::vector<std::string>{"read", "1", "300", hex(gapped.data(), 300)}))
      << "a 100 ms gap ends the read\n" << r.output;
  const std::vector<std::string> stopped = take(out, "wait", at);
  ASSERT_EQ(stopped.size(), 3u) << r.output;
  EXPECT_EQ(stopped[1], "0");
  EXPECT_LT(std::stoi(stopped[2]), 250) << "ms from clearing `running` to the wait's end";
  EXPECT_EQ(take(out, "replies-acked", at), (std::vector<std::string>{"replies-acked", "256"})) << r.output;
  ASSERT_EQ(replies.size(), 256u);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(replies[v], v) << "reply byte " << v;
}

TEST_F(WineSerial, WindowsSender) {
  openPeer(PortRole::Receiver);
  SerialPort& receiver = peer;
  start({"open:S", "config:115200", "write", "drain", "waitreplies:1030", "waitreply-stop:300"});

  std::vector<uint8_t> got(kPacketSize);
  ASSERT_EQ(receiver.waitForData(running), 1) << "no packet: " << finish().output;
  ASSERT_EQ(receiver.readPacket(got.data()), 1);
  EXPECT_EQ(receiver.lastReadCount(), kPacketSize);
  EXPECT_EQ(got, allValuesPacket(0)) << "every byte value from the Windows side, unchanged";
  // 1030 reply bytes in one go: the sender discards none and takes all but "N" as "A".
  const std::vector<uint8_t> replies = allValuesPacket(5);
  receiver.writePacket(replies.data());

  const test::WineRun r = finish();
  const std::vector<std::string> out = lines(r.output);
  std::string expected;
  for (uint8_t b : replies) expected += b == kReplyRefuse ? 'C' : 'A';
  size_t at = 0;
  EXPECT_EQ(take(out, "open", at), (std::vector<std::string>{"open", "1", "0"})) << r.output;
  EXPECT_EQ(take(out, "config", at), (std::vector<std::string>{"config", "1"})) << r.output;
  EXPECT_EQ(take(out, "write", at), (std::vector<std::string>{"write", "1"})) << r.output;
  const std::vector<std::string> drain = take(out, "drain", at);
  ASSERT_EQ(drain.size(), 2u) << r.output;
  EXPECT_GE(std::stoi(drain[1]), 85) << "1030 bytes take 89 ms at 115200 bit/s";
  EXPECT_EQ(take(out, "waitreplies", at), (std::vector<std::string>{"waitreplies", expected})) << r.output;
  const std::vector<std::string> stopped = take(out, "waitreply", at);
  ASSERT_EQ(stopped.size(), 3u) << r.output;
  EXPECT_EQ(stopped[1], "0") << "Failed";
  EXPECT_LT(std::stoi(stopped[2]), 250) << "ms from clearing `running` to the wait's end";
}

}  // namespace
}  // namespace zarvek
