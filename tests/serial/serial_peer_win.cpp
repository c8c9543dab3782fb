// serial_peer_win PORT OP...: runs SerialPort operations on PORT in order, one
// output line each, for a native test playing the far end of the cable.
//
//   open:R | open:S      open for the role           -> "open 1" | "open 0 <PortError>"
//   config:SPEED         configure for the open role -> "config <result>"
//   wait                 waitForData                 -> "wait <result>"
//   wait-stop:MS         waitForData, `running` cleared after MS
//                                                    -> "wait <result> <ms from clear to return>"
//   read                 readPacket                  -> "read <result> <count> <hex of the bytes read>"
//   reply:HH             sendReply of byte HH        -> "reply <result>"
//   replies-acked        sendReply of 0..255, each followed by waitReply for the peer's
//                        acknowledgement             -> "replies-acked <count acknowledged>"
//   write                writePacket of allValuesPacket() -> "write <result>"
//   drain                drainLine                   -> "drain <ms>"
//   waitreplies:N        N waitReply calls           -> "waitreplies <A|C|F per call>"
//   waitreply-stop:MS    waitReply, `running` cleared after MS
//                                                    -> "waitreply <result> <ms from clear to return>"
//   sleep:MS
// Error codes the port writes show as lines "error <code>".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "line_pattern.h"
#include "protocol/diagnostic.h"
#include "serial/serial_port.h"

namespace {

using namespace zarvek;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Runs `wait` with `running` cleared after ms; returns its result and how long
// after the clear it returned.
template <typename Wait>
auto stoppedWait(std::atomic<uint8_t>& running, long ms, Wait wait) {
  Clock::time_point cleared{};
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    cleared = Clock::now();
    running = 0;
  });
  const auto result = wait();
  done = true;
  stopper.join();
  const long after = msSince(cleared);
  running = 1;
  return std::pair{result, after};
}

char letter(PacketResult r) {
  return r == PacketResult::Accepted ? 'A' : r == PacketResult::CrcFailed ? 'C' : 'F';
}

}  // namespace

int main(int argc, char** argv) {
  setDiagnosticSink([](unsigned long code) { std::printf("error %lu\n", code); });
  if (argc < 2) {
    std::fprintf(stderr, "usage: serial_peer_win PORT OP...\n");
    return 2;
  }
  const char* name = argv[1];
  SerialPort port;
  PortRole role = PortRole::Receiver;
  std::atomic<uint8_t> running{1};
  std::vector<uint8_t> packet(kPacketSize, 0);
  for (int i = 2; i < argc; ++i) {
    const std::string op = argv[i];
    const auto colon = op.find(':');
    const std::string verb = op.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : op.substr(colon + 1);
    const long n = std::strtol(arg.c_str(), nullptr, 0);
    if (verb == "open") {
      role = arg == "S" ? PortRole::Sender : PortRole::Receiver;
      const int r = port.open(name, role);
      std::printf("open %d %d\n", r, static_cast<int>(port.openError()));
    } else if (verb == "config") {
      std::printf("config %d\n", port.configure(static_cast<int32_t>(n), role));
    } else if (verb == "wait") {
      std::printf("wait %d\n", port.waitForData(running));
    } else if (verb == "wait-stop") {
      const auto [r, after] = stoppedWait(running, n, [&] { return port.waitForData(running); });
      std::printf("wait %d %ld\n", r, after);
    } else if (verb == "read") {
      const int r = port.readPacket(packet.data());
      std::printf("read %d %d ", r, static_cast<int>(port.lastReadCount()));
      for (int32_t k = 0; k < port.lastReadCount(); ++k) std::printf("%02x", packet[k]);
      std::printf("\n");
    } else if (verb == "reply") {
      std::printf("reply %d\n", port.sendReply(static_cast<uint8_t>(std::strtol(arg.c_str(), nullptr, 16))));
    } else if (verb == "replies-acked") {
      int acknowledged = 0;
      for (int v = 0; v < 256; ++v) {
        if (!port.sendReply(static_cast<uint8_t>(v)) || port.waitReply(running) != PacketResult::Accepted) break;
        ++acknowledged;
      }
      std::printf("replies-acked %d\n", acknowledged);
    } else if (verb == "write") {
      const std::vector<uint8_t> out = test::allValuesPacket();
      std::printf("write %d\n", port.writePacket(out.data()));
    } else if (verb == "drain") {
      const auto start = Clock::now();
      port.drainLine();
      std::printf("drain %ld\n", msSince(start));
    } else if (verb == "waitreplies") {
      std::string letters;
      for (long k = 0; k < n; ++k) letters += letter(port.waitReply(running));
      std::printf("waitreplies %s\n", letters.c_str());
    } else if (verb == "waitreply-stop") {
      const auto [r, after] = stoppedWait(running, n, [&] { return port.waitReply(running); });
      std::printf("waitreply %d %ld\n", static_cast<int>(r), after);
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(n));
    } else {
      std::fprintf(stderr, "unknown operation %s\n", op.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
