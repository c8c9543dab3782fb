// Figures for the virtual cable's relay: how late each byte reaches the far
// end against its due time on a busy line, the relay's own CPU meanwhile, and
// the per-packet overhead of a packet-and-reply exchange (what caps a
// transfer's line efficiency), with the far ends receiving byte by byte, in
// UART batches or through USB adapters with a 16 ms latency timer.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "cable/cable.h"
#include "harness/cable_end.h"

namespace {

using namespace zarvek;
using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

enum class Receiver { Byte, Uart, Usb };
constexpr auto kUsbTimer = std::chrono::milliseconds(16);

const char* name(Receiver r) { return r == Receiver::Byte ? "byte" : r == Receiver::Uart ? "UART" : "USB "; }

CableConfig configFor(int baud, Receiver receiver) {
  CableConfig config;
  config.baud = baud;
  config.uart = receiver == Receiver::Uart;
  config.usbLatencyMs = receiver == Receiver::Usb ? static_cast<int>(kUsbTimer.count()) : 0;
  return config;
}

void lateness(int baud, Receiver receiver) {
  CableConfig config = configFor(baud, receiver);
  config.keepLog = true;
  Cable cable(config);
  harness::CableEnd a(cable.endA()), b(cable.endB());
  const size_t count = static_cast<size_t>(baud) / 5;  // 2 s of line
  const auto cpuStart = cable.relayCpuTime();
  const auto start = Clock::now();
  std::thread reader([&] { b.read(count, std::chrono::seconds(30)); });
  a.write(std::string(count, '\x55'), std::chrono::seconds(30));
  reader.join();
  const double cpu = std::chrono::duration<double>(cable.relayCpuTime() - cpuStart) /
                     std::chrono::duration<double>(Clock::now() - start);
  const auto log = cable.log(Direction::AtoB);
  // Against when the far end should have each byte: as it is off the line, or
  // once its batch is (14 bytes, or 4 byte times after the last of fewer; USB:
  // 62, or the timer after the first of fewer). Bytes written at once share
  // their time in the log.
  const auto timeout = std::chrono::nanoseconds(40'000'000'000LL / baud);
  const size_t full = receiver == Receiver::Usb ? 62 : 14;
  std::vector<double> late;
  size_t writes = 0;
  for (size_t first = 0, last = 0; first < log.size(); first = last + 1, ++writes) {
    for (last = first; last + 1 < log.size() && log[last + 1].at == log[first].at;) ++last;
    const bool shortBatch = last - first + 1 < full;
    const auto batchDue = !shortBatch                     ? log[last].due
                          : receiver == Receiver::Usb ? log[first].due + kUsbTimer
                                                        : log[last].due + timeout;
    for (size_t i = first; i <= last; ++i)
      late.push_back(micros(log[i].at - (receiver == Receiver::Byte ? log[i].due : batchDue)));
  }
  std::sort(late.begin(), late.end());
  if (late.empty()) return;
  const double span = std::chrono::duration<double>(log.back().at - log.front().at).count();
  const double rate = static_cast<double>(log.size() - 1) * 10 / span;
  std::printf("%7d bit/s  %s  %7zu bytes in %6zu writes  lateness median %6.1f us  p99 %7.1f us  max %8.1f us  "
              "rate %+.3f %%  relay cpu %5.1f %% of a core\n",
              baud, name(receiver), late.size(), writes, late[late.size() / 2], late[late.size() * 99 / 100],
              late.back(), (rate / baud - 1) * 100, cpu * 100);
}

// CPU time of the whole process, the relay threads included.
double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void turnaround(int baud, int packets, Receiver receiver) {
  Cable cable(configFor(baud, receiver));
  harness::CableEnd a(cable.endA()), b(cable.endB());
  const std::string packet(1030, 'D');
  const double cpuStart = cpuSeconds();
  const auto start = Clock::now();
  for (int i = 0; i < packets; ++i) {
    a.write(packet);
    b.read(packet.size());
    b.write("A");
    a.read(1);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = cpuSeconds() - cpuStart;
  const double line = packets * 1031.0 * 10 / baud;
  std::printf("%7d bit/s  %s  %4d packets + replies  line efficiency %6.2f %%  overhead %6.1f us  cpu %6.1f us per packet\n",
              baud, name(receiver), packets, 100 * line / elapsed, (elapsed - line) / packets * 1e6,
              cpu / packets * 1e6);
}

}  // namespace

int main() {
  std::printf("Delivery lateness against due time, and the relay threads' CPU, line kept busy for 2 s:\n");
  for (const auto receiver : {Receiver::Byte, Receiver::Uart, Receiver::Usb})
    for (int baud : {115200, 921600}) lateness(baud, receiver);
  std::printf("Packet (1030 bytes) and one-byte reply, one at a time; the far ends take each byte as it is off\n"
              "the line (byte), in 16550 FIFO batches (UART: 14 at a time, the rest after 4 byte times) or\n"
              "through USB adapters (62 at a time, the rest when the 16 ms timer runs out):\n");
  for (const auto receiver : {Receiver::Byte, Receiver::Uart, Receiver::Usb}) {
    turnaround(115200, 40, receiver);
    turnaround(921600, 200, receiver);
  }
}
