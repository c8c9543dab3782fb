// What SerialPort's waits cost on Linux, over a pty pair whose master the
// benchmark writes: the CPU of a receiver waiting on an idle line, and how soon
// each wait or read returns once the byte it waits for is queued.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "harness/process.h"
#include "protocol/packet.h"
#include "serial/serial_port.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zarvek::PortRole;
using zarvek::SerialPort;
using zarvek::harness::threadCpuSeconds;

struct PtyPair {
  int master = -1;
  int slave = -1;
  char path[128] = {};
  PtyPair() {
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&master, &slave, path, &raw, nullptr) != 0) std::perror("openpty");
  }
  ~PtyPair() {
    ::close(slave);
    ::close(master);
  }
  void write(const uint8_t* bytes, size_t n) const {
    if (::write(master, bytes, n) != static_cast<ssize_t>(n)) std::perror("write");
  }
};

// A port opened and set up for its role; a failure is printed, not fatal: the
// figures then show it.
void open(SerialPort& port, const char* path, PortRole role) {
  zarvek::Result done = port.open(path, role);
  if (done) done = port.configure(115200, role);
  if (!done) std::printf("[%s: error %lu]\n", done.step().c_str(), done.code());
}

void idleReceiverCpu(const char* path) {
  SerialPort port;
  open(port, path, PortRole::Receiver);
  std::atomic<uint8_t> running{1};
  const auto wall = 10s;
  auto waiting = std::async(std::launch::async, [&] {
    const double before = threadCpuSeconds();
    port.waitForData(running);
    return threadCpuSeconds() - before;
  });
  std::this_thread::sleep_for(wall);
  running = 0;
  const double cpu = waiting.get();
  std::printf("idle receiver, waitForData for %lld s: %.3f s CPU = %.3f %% of a core (goal < 1 %%)\n",
              static_cast<long long>(wall.count()), cpu, 100.0 * cpu / static_cast<double>(wall.count()));
}

void report(const char* what, std::vector<double>& micros) {
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
  std::printf("%-44s n=%zu  median %7.1f us  p99 %7.1f us  max %7.1f us\n", what, micros.size(),
              at(0.5), at(0.99), micros.back());
}

// Time from writing the last awaited byte to the operation's return, over `samples`.
template <typename Op>
void turnaround(const char* what, const PtyPair& pty, int samples, size_t leadBytes, Op op) {
  std::vector<uint8_t> lead(leadBytes, 0x5A);
  const uint8_t last = 'A';
  std::vector<double> micros;
  int late = 0;
  for (int i = 0; i < samples; ++i) {
    ::tcflush(pty.slave, TCIFLUSH);  // nothing left over from the sample before
    auto done = std::async(std::launch::async, [&] {
      op();
      return Clock::now();
    });
    std::this_thread::sleep_for(2ms);  // the operation is waiting by now
    if (!lead.empty()) {
      pty.write(lead.data(), lead.size());
      std::this_thread::sleep_for(3ms);
    }
    const auto t0 = Clock::now();
    pty.write(&last, 1);
    if (done.wait_for(1s) == std::future_status::ready) {
      micros.push_back(std::chrono::duration<double, std::micro>(done.get() - t0).count());
      continue;
    }
    // The operation began late and its purge took the byte: not a sample.
    ++late;
    while (done.wait_for(100ms) != std::future_status::ready) pty.write(&last, 1);
  }
  report(what, micros);
  if (late) std::printf("  (%d samples dropped: the wait began after the byte)\n", late);
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  PtyPair pty;
  std::printf("SerialPort on %s\n", pty.path);
  idleReceiverCpu(pty.path);

  const int samples = 500;
  std::atomic<uint8_t> running{1};
  {
    SerialPort receiver;
    open(receiver, pty.path, PortRole::Receiver);
    turnaround("queued byte -> waitForData returns", pty, samples, 0,
               [&] { receiver.waitForData(running); });
    std::vector<uint8_t> packet(zarvek::kPacketSize);
    turnaround("1030th byte -> readPacket returns", pty, samples / 5, zarvek::kPacketSize - 1,
               [&] { (void)receiver.readPacket(packet); });
  }
  {
    SerialPort sender;
    open(sender, pty.path, PortRole::Sender);
    turnaround("reply byte -> waitReply returns", pty, samples, 0,
               [&] { sender.waitReply(running); });
  }
  return 0;
}
