#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

extern char** environ;

namespace zarvek::test {

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string outPath = (files_ / "out").string();
  const std::string errPath = (files_ / "err").string();
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

  // The child starts with default signal handling and nothing blocked, whatever
  // the test runner's threads have set.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  for (const auto& e : env) envStrings.push_back(e);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Process::~Process() {
  if (!code_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

void Process::signal(int sig) {
  if (!code_) ::kill(pid_, sig);
}

std::optional<int> Process::wait(std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!code_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return code_;
}

bool Process::waitFor(bool err, const std::string& text, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if ((err ? this->err() : out()).find(text) != std::string::npos) return true;
    // Ended: one last look, since the text may have come just before.
    if (wait(std::chrono::milliseconds(0))) return (err ? this->err() : out()).find(text) != std::string::npos;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool Process::waitForOut(const std::string& text, std::chrono::milliseconds deadline) {
  return waitFor(false, text, deadline);
}

bool Process::waitForErr(const std::string& text, std::chrono::milliseconds deadline) {
  return waitFor(true, text, deadline);
}

std::string Process::out() const { return readFile(files_ / "out"); }
std::string Process::err() const { return readFile(files_ / "err"); }

Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            std::chrono::milliseconds deadline) {
  Process p(argv, env);
  Outcome o;
  if (auto code = p.wait(deadline)) o.code = *code;
  o.out = p.out();
  o.err = p.err();
  return o;
}

std::string zarvekPath() { return std::string(ZARVEK_BINARY_DIR) + "/cli/zarvek"; }

}  // namespace zarvek::test
