#pragma once
// A virtual null-modem cable: two pseudo-terminal ends joined by a relay that
// can pace each direction at a baud rate (10 bits per byte, as 8N1 on a wire)
// and inject faults. Programs open the ends (endA(), endB()) as serial ports.
// Linux only; tests, the demo and the benchmarks use it in-process.
// A program that stops reading its end loses bytes once its input queue has
// stayed full for 50 ms, as a UART overruns; the relay itself never stalls.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zarvek {

enum class Direction { AtoB, BtoA };

// Faults and habits of one direction. Byte indexes count from 0 over the bytes
// that the sending end wrote in that direction since the cable started.
struct FaultPlan {
  struct Flip { uint64_t byteIndex; int bit; };        // xor 1 << bit, bit 0-7
  struct Pause { uint64_t beforeByte; int milliseconds; };
  struct Replace { uint64_t byteIndex; uint8_t value; };
  // A byte the sending end never wrote, as a far end puts on the line when it
  // powers up or opens its port. It comes off the line delayMs after byte
  // afterByte did, or right after the bytes still on the line then. Noise takes
  // no index and no other fault.
  struct Noise { uint64_t afterByte; int delayMs; uint8_t value; };

  std::vector<Flip> flips;
  std::vector<uint64_t> drops;  // these bytes never arrive
  std::vector<Pause> pauses;    // the line stays silent this long before the byte
  std::vector<Replace> replaces;
  std::vector<Noise> noises;
  double bitErrorRate = 0.0;    // each bit flipped with this probability
  uint64_t seed = 1;            // for bitErrorRate and the latency

  // The far end's host hands what it received to the program late (a USB
  // stack, a busy scheduler): each burst (bytes back to back on the line) by a
  // delay drawn from [latencyMinMs, latencyMaxMs], after any UART or USB
  // batching below. A later burst never overtakes an earlier one.
  int latencyMinMs = 0;
  int latencyMaxMs = 0;

  // The far end receives through a 16550-style UART: bytes that are off the
  // line wait in a 16-byte FIFO and are handed over together once 14 wait, or
  // 4 character times (40 bits) after the last came with fewer waiting.
  // Without it each byte is handed over as it comes off the line.
  bool uart = false;

  // The far end receives through a USB serial adapter, whose latency timer
  // runs this many milliseconds (1-16 on common adapters): bytes that are off
  // the line are gathered for a USB packet (62 bytes of data) and handed over
  // together once 62 wait, or when the timer, started by the first byte held,
  // runs out. 0: no adapter. Takes the place of uart; latency adds to it.
  int usbLatencyMs = 0;
};

struct CableConfig {
  int32_t baud = 0;  // 0: no pacing, bytes pass as fast as they come
  FaultPlan aToB;
  FaultPlan bToA;
  bool keepLog = false;  // record every byte that arrived, with its time
  bool uart = false;     // FaultPlan::uart for both directions
  int usbLatencyMs = 0;  // FaultPlan::usbLatencyMs for both directions, unless a plan sets its own
};

struct LoggedByte {
  uint8_t value;
  std::chrono::steady_clock::time_point at;   // when it reached the far end
  std::chrono::steady_clock::time_point due;  // when the line had it there (at >= due)
};

class Cable {
 public:
  // Throws std::system_error when a pseudo-terminal or the relay cannot be set up.
  explicit Cable(CableConfig config = {});
  ~Cable();  // stops the relay and closes both ends
  Cable(const Cable&) = delete;
  Cable& operator=(const Cable&) = delete;

  // The device paths a program opens as its port (/dev/pts/N).
  const std::string& endA() const;
  const std::string& endB() const;

  // Points symlinks at the two ends (replacing what was there), for programs
  // that take a fixed port path (the Wine prefix's COM ports).
  void linkEnds(const std::string& linkA, const std::string& linkB) const;

  // Pulls the plug: from now on nothing passes either way (bytes still count in
  // bytesIn, and those not yet delivered are lost).
  void unplug();
  // Puts it back: what is written from now on passes again.
  void plugIn();

  // Changes the faults of one direction from the next byte on; indexes keep
  // counting from the cable's start.
  void setFaults(Direction direction, const FaultPlan& plan);

  // Puts one byte on the line now, as if the sending end of that direction had
  // written it: it follows whatever is on the line and takes its line time, but
  // byte indexes do not count it.
  void injectNoise(Direction direction, uint8_t value);

  // Bytes that arrived at the far end so far, in order (keepLog only).
  std::vector<LoggedByte> log(Direction direction) const;
  // Bytes the sending end wrote in that direction so far.
  uint64_t bytesIn(Direction direction) const;
  // CPU time both relay threads have used so far, for the benchmarks.
  std::chrono::nanoseconds relayCpuTime() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zarvek
