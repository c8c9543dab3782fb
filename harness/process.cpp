#include "harness/process.h"

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

namespace zarvek::harness {
namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  char pattern[] = "/tmp/zarvek-process-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a folder under /tmp");
  folder_ = pattern;
  const std::string outPath = folder_ + "/out", errPath = folder_ + "/err";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // Default signal handling and nothing blocked, whatever the caller's threads
  // have set; a process group of its own.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int error = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
}

Process::~Process() {
  if (!code_) {
    ::kill(-pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

void Process::signal(int sig) {
  if (!code_) ::kill(pid_, sig);
}

std::optional<int> Process::wait(std::chrono::milliseconds guard) {
  const auto until = std::chrono::steady_clock::now() + guard;
  while (!code_) {
    int status = 0;
    rusage usage{};
    if (::wait4(pid_, &status, WNOHANG, &usage) == pid_) {
      code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      peakKib_ = usage.ru_maxrss;
      const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
      cpuSeconds_ = seconds(usage.ru_utime) + seconds(usage.ru_stime);
      break;
    }
    if (std::chrono::steady_clock::now() > until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return code_;
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds guard) {
  const auto until = std::chrono::steady_clock::now() + guard;
  const auto seen = [&] { return out().find(text) != std::string::npos || err().find(text) != std::string::npos; };
  for (;;) {
    if (seen()) return true;
    // Ended: one last look, since the text may have come just before.
    if (wait(std::chrono::milliseconds(0))) return seen();
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Process::out() const { return readWhole(folder_ + "/out"); }
std::string Process::err() const { return readWhole(folder_ + "/err"); }

Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::chrono::milliseconds guard) {
  Process p(argv, env);
  Outcome o;
  if (auto code = p.wait(guard)) o.code = *code;
  o.out = p.out();
  o.err = p.err();
  return o;
}

std::string zarvekPath() { return ZARVEK_BINARY_DIR "/cli/zarvek"; }

std::vector<std::string> zarvekCommand(std::vector<std::string> args) {
  args.insert(args.begin(), zarvekPath());
  return args;
}

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace zarvek::harness
