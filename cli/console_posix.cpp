#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "cli/console.h"

namespace zarvek::cli {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
struct sigaction previous[kSignalCount];

void onInterrupt(int) { detail::noteInterrupt(); }

}  // namespace

bool isTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

int terminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

InterruptGuard::InterruptGuard() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // SA_RESETHAND: the first signal asks the engines to stop; a second one,
  // should the stop itself hang, ends the process the ordinary way.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &previous[i]);
}

InterruptGuard::~InterruptGuard() {
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &previous[i], nullptr);
  detail::forgetAll();
}

std::thread startWorker(std::function<void()> fn) {
  // The new thread inherits the blocked mask, so the handler always runs on
  // another thread and the engine's reads, polls and sleeps never see EINTR.
  sigset_t block, old;
  sigemptyset(&block);
  for (int s : kSignals) sigaddset(&block, s);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::thread worker(std::move(fn));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return worker;
}

}  // namespace zarvek::cli
