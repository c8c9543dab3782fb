#include "support/wine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Starts argv[0] with stdout and stderr on outFd (or inherited when -1).
pid_t spawn(const std::vector<std::string>& args, int outFd) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
  }
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(error));
  return pid;
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

std::string winePrefix() { return ZARVEK_SOURCE_DIR "/build/wineprefix"; }

std::string windowsExe(const std::string& relative) { return ZARVEK_WINDOWS_BUILD_DIR "/" + relative; }

void pointComPort(int n, const std::string& target) {
  int status = 0;
  const pid_t pid = spawn({ZARVEK_SOURCE_DIR "/cmake/wine-prefix.sh", winePrefix()}, -1);
  if (waitpid(pid, &status, 0) != pid || exitCodeOf(status) != 0) throw std::runtime_error("cannot make the Wine prefix");
  const fs::path ports = fs::path(winePrefix()) / "ports";
  fs::create_directories(ports);
  const fs::path link = ports / ("com" + std::to_string(n));
  const fs::path temporary = ports / ("com" + std::to_string(n) + ".new-" + std::to_string(getpid()));
  fs::remove(temporary);
  fs::create_symlink(target, temporary);
  fs::rename(temporary, link);  // replaces the old link in one step
}

WineRun runUnderWine(const std::string& exe, const std::vector<std::string>& args, std::chrono::seconds guard) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> command{ZARVEK_SOURCE_DIR "/cmake/wine-run.sh", exe};
  command.insert(command.end(), args.begin(), args.end());
  pid_t pid = -1;
  try {
    pid = spawn(command, pipeFds[1]);
  } catch (...) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    throw;
  }
  close(pipeFds[1]);
  fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  // Read until the program has ended, not until end of file: the wineserver
  // it may start can keep the pipe open long after.
  WineRun run{-1, {}};
  const auto deadline = Clock::now() + guard;
  char buffer[4096];
  auto drain = [&] {
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) run.output.append(buffer, static_cast<size_t>(n));
  };
  for (int status = 0;;) {
    drain();
    if (waitpid(pid, &status, WNOHANG) == pid) {
      drain();
      run.exitCode = exitCodeOf(status);
      break;
    }
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      run.output += "\n[killed after " + std::to_string(guard.count()) + " s]";
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    poll(&p, 1, 20);
  }
  close(pipeFds[0]);
  return run;
}

bool requireOrSkipWine(const std::string& exe) {
  const bool wine = access("/usr/lib/wine/wine64", X_OK) == 0 || std::system("command -v wine >/dev/null 2>&1") == 0;
  if (wine && fs::exists(exe)) return true;
  if (std::getenv("ZARVEK_REQUIRE_WINE") != nullptr)
    ADD_FAILURE() << (wine ? exe + " is missing: build the windows preset" : std::string("Wine is not installed"));
  return false;
}

}  // namespace zarvek::test
