#pragma once
// Drives the Windows program as a user would: an Xvfb screen, a Wine prefix
// whose COM ports are links the test points at cable ends, the program started
// in a folder of the test's choosing, keys and clicks through xdotool, and
// screenshots through ImageMagick. What the windows show is read with
// zarvek-peek, a helper run in the same prefix (titles, control texts, slider
// and progress positions).
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace zarvek::test {

using std::chrono::seconds;

// Runs a shell command; returns its standard output and sets *status to its exit status.
std::string capture(const std::string& command, int* status = nullptr);

// An X server of its own on a free display, stopped with the object.
class Xvfb {
 public:
  Xvfb();
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

struct Control {
  int id = 0;
  std::string cls;
  bool visible = false;
  unsigned long style = 0;
  int left = 0, top = 0, right = 0, bottom = 0;  // screen pixels
  long long pos = 0, min = 0, max = 0;           // trackbar or progress bar
  std::string text;
};

struct WindowView {
  bool exists = false;
  bool active = false;   // the foreground window
  bool focused = false;  // keys reach it: its thread's focus is on it or inside it
  std::string cls, title;
  int left = 0, top = 0, right = 0, bottom = 0;
  std::vector<Control> controls;

  // The first control with this id (or class), or nullptr.
  const Control* byId(int id) const;
  const Control* byClass(const std::string& cls) const;
  // The first control whose text is exactly text, or nullptr.
  const Control* byText(const std::string& text) const;
};

// A Wine prefix for the GUI tests (made once under the build folder, its
// programs shown in Wine's own desktop window filling the screen) and the
// programs started in it.
// Everything started in it is stopped with the object.
class WineDesk {
 public:
  explicit WineDesk(const std::string& display);
  ~WineDesk();
  WineDesk(const WineDesk&) = delete;
  WineDesk& operator=(const WineDesk&) = delete;

  bool ok() const { return ok_; }
  const std::string& prefix() const { return prefix_; }
  // The link that COMn of the prefix opens; point it at a cable end.
  std::string portLink(int n) const;
  void pointPort(int n, const std::string& target) const;

  // Starts zarvek.exe in folder; its standard output and error go to logFile.
  pid_t startProgram(const std::string& folder, const std::string& logFile,
                     const std::string& winedebug = "-all");
  // Starts Wine's help viewer on a help file (a Linux path).
  pid_t startViewer(const std::string& helpFile, const std::string& logFile);
  // True once the process has ended (waits up to limit).
  bool waitExit(pid_t pid, seconds limit);

  // The visible top-level window of process pid with exactly this title,
  // waiting up to limit; 0 if none appeared.
  unsigned long waitWindow(pid_t pid, const std::string& title, seconds limit);
  // The window's current title ("" once it is gone).
  std::string title(unsigned long xid);
  // Polls until the window's title is title; false after limit.
  bool waitTitle(unsigned long xid, const std::string& title, seconds limit);
  // The titles of the visible top-level windows of process pid.
  std::vector<std::string> titlesOf(pid_t pid);
  // The window and its controls as the program sees them.
  WindowView peek(unsigned long xid);

  // Input, to the window activated first by a click on its title bar.
  void activate(unsigned long xid);
  void move(unsigned long xid, int left, int top);
  void key(unsigned long xid, const std::string& keys);
  void type(unsigned long xid, const std::string& text);
  void click(int x, int y);
  void clickControl(const Control& c);

  // Saves the screen area of the window (with its frame) as a PNG.
  bool screenshot(unsigned long xid, const std::string& path);

 private:
  std::string x(const std::string& args);  // an xdotool/xprop/import command on our display
  pid_t windowPid(unsigned long xid);
  pid_t start(const std::vector<std::string>& args, const std::string& folder, const std::string& logFile,
              const std::string& winedebug);

  std::string display_;
  std::string prefix_;
  std::string wine_;
  bool ok_ = false;
  std::vector<pid_t> programs_;
};

}  // namespace zarvek::test
