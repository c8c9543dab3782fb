#pragma once
// A program started as a user would start it: arguments, extra environment,
// standard output and error captured to files, exit code, signals.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zarvek::test {

class Process {
 public:
  explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Process();  // a process still running is killed and reaped
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void signal(int sig);
  // The exit code (128 + N after signal N), or nothing if it is still running
  // when the deadline passes.
  std::optional<int> wait(std::chrono::milliseconds deadline);
  // Waits until `text` shows on standard output (or error); false at the deadline
  // or when the process ended without it.
  bool waitForOut(const std::string& text, std::chrono::milliseconds deadline);
  bool waitForErr(const std::string& text, std::chrono::milliseconds deadline);

  std::string out() const;
  std::string err() const;

 private:
  bool waitFor(bool err, const std::string& text, std::chrono::milliseconds deadline);

  TempDir files_;
  pid_t pid_ = -1;
  std::optional<int> code_;
};

struct Outcome {
  int code = -1;  // -1: still running at the deadline (and killed)
  std::string out;
  std::string err;
};

// Runs to its end (guard: the deadline).
Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
            std::chrono::milliseconds deadline = std::chrono::seconds(120));

// The built command line.
std::string zarvekPath();

}  // namespace zarvek::test
