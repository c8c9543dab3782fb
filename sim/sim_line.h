#pragma once
// A serial line in virtual time, in-process: two ends, A and B, each direction
// a stream of bytes that arrive as an 8N1 line carries them (10 bits a byte at
// the sending end's speed, one write behind the other), with faults laid on
// them by byte index and a record of what was written and what arrived.
//
// A participant is an end held open (SimEnd): the engines' SerialPort and the
// classic peer's port on the sim. Whenever every open end is blocked in a
// SimEnd wait, the clock jumps to the earliest moment one of them wants to run,
// so a wait of seconds costs microseconds. Blocked with nothing to come and no
// time-out, they are stalled: the test sees it (waitStalled), clears a
// `running` and calls wake(). An end held open by a thread that has stopped
// calling it holds the clock still.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zarvek::sim {

class SimLine {
 public:
  using Time = std::chrono::nanoseconds;  // virtual, from the line's making
  static constexpr Time kNever = Time::max();
  enum End { A = 0, B = 1 };

  explicit SimLine(int32_t bitsPerSecond = 115200);
  ~SimLine();  // the ends must be closed by then
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  // The name that opens an end, e.g. "sim:3:A", for SerialPort::open.
  std::string portName(End end) const;

  // Faults on the bytes `from` writes, by their index among all it has written
  // (the first is 0). An inserted byte goes on the line just before that one.
  void flip(End from, int64_t index, uint8_t mask);
  void replace(End from, int64_t index, uint8_t value);
  void drop(End from, int64_t index);
  void insert(End from, int64_t index, uint8_t value);
  // Rewrites the `write`-th write of `from` (the first is 0) before it goes on
  // the line: a packet forged as a whole, whatever the run put in it.
  void tamper(End from, size_t write, std::function<void(uint8_t* bytes, int32_t n)> change);

  // What crossed the line from `from`: each write (its first byte's index, its
  // length, when it was made) and each byte that arrived, faults applied,
  // bytes still on the wire included.
  struct Write {
    int64_t index;
    int32_t length;
    Time at;
  };
  struct Arrival {
    uint8_t value;
    Time at;
  };
  std::vector<Write> writes(End from) const;
  std::vector<Arrival> arrivals(End from) const;

  Time now() const;
  // For the test's thread: waits up to `guard` (real time) until the line stalls.
  bool waitStalled(std::chrono::milliseconds guard);
  // Has every blocked end look again at what it waits for: after a `running` is cleared.
  void wake();

 private:
  friend class SimEnd;
  struct Wait;
  struct Fault {
    enum Kind { Flip, Replace, Drop, Insert } kind;
    uint8_t value;
  };
  struct Direction {
    std::vector<Write> writes;
    std::vector<Arrival> arrivals;  // unread from `read` on: the far end's input
    size_t read = 0;
    std::multimap<int64_t, Fault> faults;
    std::map<size_t, std::function<void(uint8_t*, int32_t)>> tampers;
    int64_t written = 0;
    int32_t speed = 0;
    Time burstStart{};  // bytes sent back to back since then, each in its 10-bit slot
    int64_t burstSlots = 0;
    int32_t burstSpeed = 0;
    Time freeAt{};  // the last slot's end
  };
  struct Port {
    bool open = false;
    const Wait* wait = nullptr;  // while blocked
    std::condition_variable cv;
  };

  void addFault(End from, int64_t index, Fault fault);
  Time slotEnd(const Direction& d, int64_t slot) const;
  Time wakeTime(End end, const Wait& wait) const;
  void advanceIfAllBlocked();
  bool stalled() const;

  const int id_;
  mutable std::mutex mutex_;
  std::condition_variable stallCv_;
  Time now_{};
  Direction directions_[2];  // indexed by the sending end
  Port ports_[2];
};

// One end of a SimLine held open, and all a participant does on it. Every
// wait blocks in virtual time; the rest never blocks.
class SimEnd {
 public:
  using Time = SimLine::Time;
  enum class Error { None, NotFound, Busy };

  explicit SimEnd(const std::string& name);  // "sim:<n>:A" or ":B"; error() says if it is held
  ~SimEnd();
  SimEnd(const SimEnd&) = delete;
  SimEnd& operator=(const SimEnd&) = delete;
  Error error() const { return error_; }

  Time now() const { return line_->now(); }
  void setSpeed(int32_t bitsPerSecond);  // of what this end writes from now on

  void write(const uint8_t* data, int32_t n);  // queued behind what is on the line
  void abandonOutput();                        // bytes written but not yet begun on the line
  int32_t queued() const;                      // bytes arrived and not read
  int32_t discardInput();                      // drops those; bytes still on the wire come later
  // Reads up to `max` arrived bytes; `lastArrival`: when the last of them arrived.
  int32_t read(uint8_t* data, int32_t max, Time* lastArrival = nullptr);
  Time outputDoneAt() const;  // when all this end wrote will have left the line

  // Blocks until one of these holds (all optional): `until` has come; `stopped`
  // is true; `bytes` bytes have arrived, or, counting from `since` (or from the
  // first byte when it is kNoByte), more than `gap` passes with no byte.
  static constexpr Time kNoByte = Time::min();
  void wait(Time until, std::function<bool()> stopped = {}, int32_t bytes = 0, Time gap = Time::zero(),
            Time since = kNoByte);
  void sleepFor(Time duration) { wait(now() + duration); }

 private:
  SimLine* line_ = nullptr;
  SimLine::End end_ = SimLine::A;
  Error error_ = Error::None;
};

}  // namespace zarvek::sim
