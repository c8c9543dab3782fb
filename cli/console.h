#pragma once
// What the command line needs from the console, one source per platform
// (console_posix.cpp, console_win32.cpp): whether a stream is a terminal, its
// width, the user's interrupt turned into clearing the jobs' `running` flags,
// and worker threads the interrupt never reaches.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace zarvek::cli {

bool isTerminal(std::FILE* stream);

// Columns of the terminal on standard output; 80 when it cannot be told.
int terminalColumns();

// While it exists, Ctrl+C (on Linux also SIGTERM and SIGHUP) clears every
// watched flag, which ends the engines' waits as the window's Abort does, and
// is remembered. A second Ctrl+C ends the process at once. One per process.
class InterruptGuard {
 public:
  static constexpr int kMaxWatched = 4;

  InterruptGuard();
  ~InterruptGuard();  // restores the handling it replaced
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // The flag must outlive the guard or be forgotten first. False when full.
  bool watch(std::atomic<uint8_t>& running);
  void forget(std::atomic<uint8_t>& running);
  bool interrupted() const;
};

// Runs fn on a new thread that the interrupt handler never runs on, so that no
// system call of an engine is cut short by it.
std::thread startWorker(std::function<void()> fn);

namespace detail {
// Called by the platform's handler: counts the interrupt and clears every
// watched flag. Lock-free atomics only, so it is async-signal-safe.
// Returns how many interrupts came before this one.
int noteInterrupt();
void forgetAll();
}  // namespace detail

}  // namespace zarvek::cli
