#include <windows.h>

#include <io.h>

#include "cli/console.h"

namespace zarvek::cli {
namespace {

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // A second Ctrl+C goes on to the default handler, which ends the process.
      return detail::noteInterrupt() == 0 ? TRUE : FALSE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns: leave the sender time for its "AF".
      detail::noteInterrupt();
      Sleep(500);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool isTerminal(std::FILE* stream) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

int terminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

InterruptGuard::InterruptGuard() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

InterruptGuard::~InterruptGuard() {
  SetConsoleCtrlHandler(onConsoleEvent, FALSE);
  detail::forgetAll();
}

// The console handler runs on a thread of its own, never on the worker.
std::thread startWorker(std::function<void()> fn) { return std::thread(std::move(fn)); }

}  // namespace zarvek::cli
