#include "bench/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zarvek::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

Child::Child(const std::vector<std::string>& argv, const std::string& outputFile) : outputFile_(outputFile) {
  const int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + outputFile);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fd, STDERR_FILENO);
  // Its own process group, so a kill reaches what it starts (Wine's loader).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  const int error = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fd);
  if (error != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
}

Child::~Child() {
  if (!reaped_) {
    kill(SIGKILL);
    wait(std::chrono::seconds(10));
  }
}

bool Child::running() {
  if (reaped_) return false;
  int status = 0;
  rusage usage{};
  if (::wait4(pid_, &status, WNOHANG, &usage) != pid_) return true;
  reaped_ = true;
  code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  peakKib_ = usage.ru_maxrss;
  cpuSeconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return false;
}

int Child::wait(std::chrono::milliseconds guard) {
  const auto until = Clock::now() + guard;
  while (running()) {
    if (Clock::now() > until) {
      kill(SIGKILL);
      while (running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return code_;
}

void Child::kill(int sig) {
  if (!reaped_) ::kill(-pid_, sig);
}

std::string Child::output() const {
  std::ifstream in(outputFile_, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Child::waitForOutput(const std::string& text, std::chrono::milliseconds guard) {
  const auto until = Clock::now() + guard;
  while (Clock::now() < until) {
    if (output().find(text) != std::string::npos) return true;
    if (!running()) return output().find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

double processCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // Fields after the command name, which is in parentheses and may hold spaces.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double threadCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long statusKib(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const std::string key = std::string(field) + ":";
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size(), key) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  }
  return -1;
}

ScratchDir::ScratchDir(const char* tag) {
  std::string pattern = (fs::temp_directory_path() / (std::string("zarvek-") + tag + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

namespace {
const std::string kPrefix = ZARVEK_SOURCE_DIR "/build/wineprefix";
}  // namespace

WineSession::WineSession(const std::string& exe) {
  Child make({ZARVEK_SOURCE_DIR "/cmake/wine-prefix.sh", kPrefix}, logs_.path() + "/prefix.log");
  if (make.wait(std::chrono::minutes(10)) != 0) throw std::runtime_error("cannot make the Wine prefix: " + make.output());
  Child server({"/bin/sh", "-c", "WINEPREFIX=" + kPrefix + " exec wineserver -p"}, logs_.path() + "/server.log");
  server.wait(std::chrono::seconds(30));
  Child warm({ZARVEK_SOURCE_DIR "/cmake/wine-run.sh", exe, "--help"}, logs_.path() + "/warm.log");
  warm.wait(std::chrono::minutes(5));
}

WineSession::~WineSession() {
  Child stop({"/bin/sh", "-c", "WINEPREFIX=" + kPrefix + " exec wineserver -k"}, logs_.path() + "/stop.log");
  stop.wait(std::chrono::seconds(30));
}

std::string windowsPath(const std::string& path) {
  std::string text = "Z:" + path;
  for (auto& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

}  // namespace zarvek::bench
