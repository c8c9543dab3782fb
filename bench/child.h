#pragma once
// A program the benchmarks start (the command line, or the Windows build under
// Wine), with its output in a file, its peak memory from wait4 and its CPU from
// /proc while it runs. Linux only.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace zarvek::bench {

class Child {
 public:
  // Starts argv[0] (a path) with stdout and stderr going to outputFile.
  Child(const std::vector<std::string>& argv, const std::string& outputFile);
  ~Child();  // a child still running is killed and reaped
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Waits up to `guard`; kills it when the guard runs out. The exit code, or
  // 128 + N after signal N, or -1 when it had to be killed.
  int wait(std::chrono::milliseconds guard);
  void kill(int sig);

  // Valid once wait() returned: the peak resident set (ru_maxrss) in KiB, and
  // CPU seconds (user + system) of the child and its own reaped children.
  long peakKib() const { return peakKib_; }
  double cpuSeconds() const { return cpuSeconds_; }

  std::string output() const;
  bool waitForOutput(const std::string& text, std::chrono::milliseconds guard);

 private:
  std::string outputFile_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int code_ = -1;
  long peakKib_ = 0;
  double cpuSeconds_ = 0;
};

// utime + stime of one process so far, from /proc/<pid>/stat; 0 if it is gone.
double processCpuSeconds(pid_t pid);
// CPU seconds of this thread so far.
double threadCpuSeconds();
// A field of /proc/<pid>/status in KiB ("VmHWM", "VmRSS", "RssAnon", "RssFile"); -1 if absent.
long statusKib(pid_t pid, const char* field);

// A fresh folder under /tmp, removed with its content on destruction.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The source tree's Wine prefix made if needed, one Wine server kept for the
// whole benchmark (a run would otherwise start one, or meet the last one as it
// shuts down), and one start of `exe` to warm it; the server is ended after.
class WineSession {
 public:
  explicit WineSession(const std::string& exe);
  ~WineSession();
  WineSession(const WineSession&) = delete;
  WineSession& operator=(const WineSession&) = delete;

 private:
  ScratchDir logs_{"wine"};
};

// The Linux root as the Windows build sees it: Z:\...
std::string windowsPath(const std::string& path);

}  // namespace zarvek::bench
