#pragma once
// The classic peer's port: the few operations it does on the line, with the
// classic program's settings (115200 bit/s, 8N1, raw, held exclusively). One
// source per line: peer_port_pty.cpp (termios on a virtual-cable end) and
// peer_port_sim.cpp (a SimLine end, in virtual time), chosen at link time.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace zarvek::test {

class PeerPort {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PeerPort(const std::string& path);  // opens and sets up the port; throws std::system_error
  ~PeerPort();
  PeerPort(const PeerPort&) = delete;
  PeerPort& operator=(const PeerPort&) = delete;

  // True as soon as a byte is queued; false once `running` is found clear.
  bool waitForByte(const std::atomic<bool>& running);
  // Waits until `want` bytes are queued, `deadline` has come, or `gap` has
  // passed since `since` with no byte. A tty wakes at the first byte (the reader
  // loops); the simulated line once the bytes are all there, as a reader taking
  // each the moment it came would have them.
  void waitForBytes(int want, Clock::duration gap, Clock::time_point since, Clock::time_point deadline);
  int queued();
  void purgeInput();
  void abandonOutput();  // output written but not yet sent
  // What is queued, up to n bytes, without waiting; -1 when the read fails.
  // `lastArrival`: when the last of them came (a tty: now).
  int read(uint8_t* data, int n, Clock::time_point* lastArrival = nullptr);
  // One write: the bytes taken, 0 when none can be now, -1 when it fails.
  int write(const uint8_t* data, int n);
  void waitWritable(Clock::duration limit);
  void sleepFor(Clock::duration duration);
  Clock::time_point now();

 private:
  struct Device;
  std::unique_ptr<Device> device_;
};

}  // namespace zarvek::test
