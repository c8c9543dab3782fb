#pragma once
// The command's output. Result lines go to standard output, messages and errors
// to standard error, each a whole line written at once; on a terminal one live
// progress line sits below them and is redrawn in place. Engines call in from
// their worker threads, so every write holds one lock.
#include <mutex>
#include <string>

namespace zarvek::cli {

class Terminal {
 public:
  // live: standard output is a terminal and a progress line is wanted.
  // bell: the completion sound may ring the terminal's bell.
  // quiet: results and errors only, no lines about what is going on.
  Terminal(bool live, bool bell, bool quiet = false);
  ~Terminal();  // leaves the cursor on a fresh line
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void line(const std::string& text);      // standard output
  void message(const std::string& text);   // standard error, "zarvek: " first
  void progress(const std::string& text);  // the live line; nothing when not live
  void clearProgress();
  void bell();
  bool live() const { return live_; }
  bool quiet() const { return quiet_; }

 private:
  void eraseProgressLocked();

  std::mutex mutex_;
  const bool live_;
  const bool bell_;
  const bool quiet_;
  size_t shown_ = 0;  // characters of the live line now on screen
};

// Installs a diagnostic sink that writes "zarvek: system error N (text)" lines
// through the terminal instead of bare numbers on standard output. While muted
// the codes are only kept (a front end that says more itself); lastCode() gives
// the latest. Uninstalled on destruction.
class DiagnosticLines {
 public:
  explicit DiagnosticLines(Terminal& terminal);
  ~DiagnosticLines();
  DiagnosticLines(const DiagnosticLines&) = delete;
  DiagnosticLines& operator=(const DiagnosticLines&) = delete;

  static void mute(bool muted);
  static unsigned long lastCode();
};

}  // namespace zarvek::cli
