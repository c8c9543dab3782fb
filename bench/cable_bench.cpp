// Figures for the virtual cable's relay: how late each byte reaches the far
// end against its due time on a busy line, and the per-packet overhead of a
// packet-and-reply exchange (what caps a transfer's line efficiency).
#include <algorithm>
#include <cstdio>
#include <thread>

#include "cable/cable.h"
#include "tests/cable/test_port.h"

namespace {

using namespace zarvek;
using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void lateness(int baud) {
  CableConfig config;
  config.baud = baud;
  config.keepLog = true;
  Cable cable(config);
  test::TestPort a(cable.endA()), b(cable.endB());
  const size_t count = static_cast<size_t>(baud) / 5;  // 2 s of line
  std::thread reader([&] { b.read(count, std::chrono::seconds(30)); });
  a.write(std::string(count, '\x55'), std::chrono::seconds(30));
  reader.join();
  const auto log = cable.log(Direction::AtoB);
  std::vector<double> late;
  for (const auto& byte : log) late.push_back(micros(byte.at - byte.due));
  std::sort(late.begin(), late.end());
  if (late.empty()) return;
  const double span = std::chrono::duration<double>(log.back().at - log.front().at).count();
  const double rate = static_cast<double>(log.size() - 1) * 10 / span;
  std::printf("%7d bit/s  %7zu bytes  lateness median %6.1f us  p99 %7.1f us  max %8.1f us  rate %+.3f %%\n", baud,
              late.size(), late[late.size() / 2], late[late.size() * 99 / 100], late.back(), (rate / baud - 1) * 100);
}

void turnaround(int baud, int packets) {
  CableConfig config;
  config.baud = baud;
  Cable cable(config);
  test::TestPort a(cable.endA()), b(cable.endB());
  const std::string packet(1030, 'D');
  const auto start = Clock::now();
  for (int i = 0; i < packets; ++i) {
    a.write(packet);
    b.read(packet.size());
    b.write("A");
    a.read(1);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double line = packets * 1031.0 * 10 / baud;
  std::printf("%7d bit/s  %4d packets + replies  line efficiency %6.2f %%  overhead %6.1f us per packet\n", baud,
              packets, 100 * line / elapsed, (elapsed - line) / packets * 1e6);
}

}  // namespace

int main() {
  std::printf("Delivery lateness against due time, line kept busy for 2 s:\n");
  for (int baud : {115200, 921600}) lateness(baud);
  std::printf("Packet (1030 bytes) and one-byte reply, one at a time:\n");
  turnaround(115200, 40);
  turnaround(921600, 200);
}
