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

}  // namespace zarvek::cli
