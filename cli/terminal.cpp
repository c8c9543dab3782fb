#include "cli/terminal.h"

#include <cstdio>

#include "cli/console.h"

namespace zarvek::cli {

Terminal::Terminal(bool live, bool bell, bool quiet) : live_(live), bell_(bell), quiet_(quiet) {}

Terminal::~Terminal() { clearProgress(); }

void Terminal::eraseProgressLocked() {
  if (shown_ == 0) return;
  // Plain spaces rather than escape sequences: every console understands them.
  std::fprintf(stdout, "\r%s\r", std::string(shown_, ' ').c_str());
  shown_ = 0;
}

void Terminal::line(const std::string& text) {
  std::lock_guard lock(mutex_);
  eraseProgressLocked();
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
}

void Terminal::message(const std::string& text) {
  std::lock_guard lock(mutex_);
  eraseProgressLocked();
  std::fflush(stdout);
  std::fprintf(stderr, "zarvek: %s\n", text.c_str());
  std::fflush(stderr);
}

void Terminal::progress(const std::string& text) {
  if (!live_) return;
  std::lock_guard lock(mutex_);
  // One column short of the width, so the cursor never wraps to a new line.
  const size_t width = static_cast<size_t>(terminalColumns() > 1 ? terminalColumns() - 1 : 79);
  std::string shown = text.substr(0, width);
  const size_t pad = shown_ > shown.size() ? shown_ - shown.size() : 0;
  std::fprintf(stdout, "\r%s%s", shown.c_str(), std::string(pad, ' ').c_str());
  if (pad) std::fprintf(stdout, "\r%s", shown.c_str());
  std::fflush(stdout);
  shown_ = shown.size();
}

void Terminal::clearProgress() {
  std::lock_guard lock(mutex_);
  eraseProgressLocked();
  std::fflush(stdout);
}

void Terminal::bell() {
  if (!bell_) return;
  std::lock_guard lock(mutex_);
  std::fputc('\a', stdout);
  std::fflush(stdout);
}

}  // namespace zarvek::cli
