#pragma once
// A program started as a user (or a script) would start it: arguments, extra
// environment, standard output and error captured to files, exit code, signals,
// and what it cost: peak memory and CPU time. Tests and benchmarks start the
// command line, the cable and the Windows build under Wine through it. Linux.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zarvek::harness {

class Process {
 public:
  // Starts argv[0] (a path) in a process group of its own, so that a kill
  // reaches what it starts (Wine's loader); standard input is /dev/null.
  // Throws std::runtime_error when it cannot be started.
  explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Process();  // a process still running is killed and reaped; its files go
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig);
  // The exit code (128 + N after signal N), or nothing if it is still running
  // when the guard passes.
  std::optional<int> wait(std::chrono::milliseconds guard);
  // Waits until `text` shows on standard output or error; false at the guard
  // or when the process ended without it.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds guard);

  std::string out() const;
  std::string err() const;
  // Once wait() has seen it end: peak resident memory (KiB) and CPU seconds,
  // its own and its reaped children's.
  long peakKib() const { return peakKib_; }
  double cpuSeconds() const { return cpuSeconds_; }

 private:
  std::string folder_;  // holds "out" and "err"
  pid_t pid_ = -1;
  std::optional<int> code_;
  long peakKib_ = 0;
  double cpuSeconds_ = 0;
};

struct Outcome {
  int code = -1;  // -1: still running at the guard (and killed)
  std::string out;
  std::string err;
};

// Runs to its end, or until the guard passes.
Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
            std::chrono::milliseconds guard = std::chrono::seconds(120));

// The built command line, zarvek, of this build.
std::string zarvekPath();
// The built command line with these arguments, as a command to run.
std::vector<std::string> zarvekCommand(std::vector<std::string> args);

// CPU seconds of the calling thread so far.
double threadCpuSeconds();

}  // namespace zarvek::harness
