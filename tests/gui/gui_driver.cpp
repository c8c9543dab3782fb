#include "gui/gui_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

namespace zarvek::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const auto kPoll = std::chrono::milliseconds(150);

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<std::string> split(std::string line, char sep) {
  if (!line.empty() && line.back() == '\r') line.pop_back();  // the helper's C runtime writes CR LF
  std::vector<std::string> out;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, sep)) out.push_back(field);
  if (!line.empty() && line.back() == sep) out.push_back("");
  return out;
}

std::string wineBinary() {
  if (access("/usr/lib/wine/wine64", X_OK) == 0) return "/usr/lib/wine/wine64";
  return "wine";
}

}  // namespace

std::string capture(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

// ---------------------------------------------------------------------------

Xvfb::Xvfb() {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // no stray server when the test is killed
    close(fds[0]);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::string fd = std::to_string(fds[1]);
    // -displayfd: the server picks a free display and writes its number.
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  auto deadline = Clock::now() + seconds(20);
  while (Clock::now() < deadline && poll(&p, 1, 200) >= 0) {
    char c;
    if (p.revents & POLLIN) {
      if (read(fds[0], &c, 1) != 1) break;
      if (c == '\n') break;
      number += c;
    } else if (p.revents & (POLLHUP | POLLERR)) {
      break;
    }
  }
  close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

// ---------------------------------------------------------------------------

const Control* WindowView::byId(int id) const {
  for (const auto& c : controls)
    if (c.id == id) return &c;
  return nullptr;
}

const Control* WindowView::byClass(const std::string& cls) const {
  for (const auto& c : controls)
    if (c.cls == cls) return &c;
  return nullptr;
}

const Control* WindowView::byText(const std::string& text) const {
  for (const auto& c : controls)
    if (c.text == text) return &c;
  return nullptr;
}

// ---------------------------------------------------------------------------

WineDesk::WineDesk(const std::string& display)
    : display_(display), prefix_(std::string(ZARVEK_BINARY_DIR) + "/tests/gui/wineprefix"), wine_(wineBinary()) {
  int rc = 0;
  capture(std::string(ZARVEK_SOURCE_DIR) + "/cmake/wine-prefix.sh " + quote(prefix_) + " 2>&1", &rc);
  if (rc != 0) return;
  // The programs run in Wine's own desktop window, which fills the screen:
  // Wine then draws title bars and activates windows on a click as Windows
  // does, which it does not do reliably for separate X windows without a
  // window manager.
  const std::string marker = prefix_ + "/.zarvek-gui-desktop";
  if (!fs::exists(marker)) {
    const std::string reg = "WINEPREFIX=" + quote(prefix_) + " WINEDEBUG=-all " + wine_ + " reg add ";
    capture(reg + "'HKCU\\Software\\Wine\\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1", &rc);
    if (rc != 0) return;
    capture(reg + "'HKCU\\Software\\Wine\\Explorer\\Desktops' /v Default /t REG_SZ /d 1024x768 /f >/dev/null 2>&1",
            &rc);
    if (rc != 0) return;
    capture("WINEPREFIX=" + quote(prefix_) + " wineserver -w");
    std::FILE* f = std::fopen(marker.c_str(), "w");
    if (f) std::fclose(f);
  }
  ok_ = true;
}

WineDesk::~WineDesk() {
  // Ends every process of the prefix (also the viewer and Wine's own), then
  // reaps ours; the X server goes after this.
  capture("WINEPREFIX=" + quote(prefix_) + " wineserver -k 2>/dev/null; WINEPREFIX=" + quote(prefix_) +
          " wineserver -w 2>/dev/null");
  for (pid_t p : programs_) {
    if (waitpid(p, nullptr, WNOHANG) == 0) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
  }
}

std::string WineDesk::portLink(int n) const { return prefix_ + "/ports/com" + std::to_string(n); }

void WineDesk::pointPort(int n, const std::string& target) const {
  std::error_code ec;
  fs::remove(portLink(n), ec);
  fs::create_symlink(target, portLink(n), ec);
}

pid_t WineDesk::startProgram(const std::string& folder, const std::string& logFile, const std::string& winedebug) {
  return start({std::string(ZARVEK_WINDOWS_BUILD_DIR) + "/app/zarvek.exe"}, folder, logFile, winedebug);
}

pid_t WineDesk::startViewer(const std::string& helpFile, const std::string& logFile) {
  std::string dosPath = "Z:" + helpFile;  // Wine's Z: is the Linux root
  for (char& c : dosPath)
    if (c == '/') c = '\\';
  return start({"winhlp32", dosPath}, fs::path(helpFile).parent_path(), logFile, "-all");
}

pid_t WineDesk::start(const std::vector<std::string>& args, const std::string& folder, const std::string& logFile,
                      const std::string& winedebug) {
  std::vector<std::string> argv{wine_};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (chdir(folder.c_str()) != 0) _exit(126);
    int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    setenv("DISPLAY", display_.c_str(), 1);
    setenv("WINEPREFIX", prefix_.c_str(), 1);
    setenv("WINEDEBUG", winedebug.c_str(), 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  if (pid > 0) programs_.push_back(pid);
  return pid;
}

bool WineDesk::waitExit(pid_t pid, seconds limit) {
  auto deadline = Clock::now() + limit;
  do {
    if (waitpid(pid, nullptr, WNOHANG) == pid || kill(pid, 0) != 0) return true;
    std::this_thread::sleep_for(kPoll);
  } while (Clock::now() < deadline);
  return false;
}

std::string WineDesk::x(const std::string& args) { return capture("DISPLAY=" + display_ + " " + args + " 2>/dev/null"); }

pid_t WineDesk::windowPid(unsigned long xid) {
  std::string out = x("xprop -id " + std::to_string(xid) + " _NET_WM_PID");
  auto eq = out.find('=');
  return eq == std::string::npos ? -1 : static_cast<pid_t>(std::atol(out.c_str() + eq + 1));
}

namespace {

std::string peekCommand(const std::string& prefix, const std::string& display, const std::string& wine,
                        const std::string& arg) {
  return "DISPLAY=" + display + " WINEPREFIX=" + quote(prefix) + " WINEDEBUG=-all " + wine + " " +
         quote(std::string(ZARVEK_WINDOWS_BUILD_DIR) + "/tests/gui/zarvek-peek.exe") + " " + arg + " 2>/dev/null";
}

}  // namespace

std::vector<std::string> WineDesk::titlesOf(pid_t pid) {
  std::vector<std::string> titles;
  std::istringstream lines(capture(peekCommand(prefix_, display_, wine_, "list")));
  std::string line;
  while (std::getline(lines, line)) {
    auto f = split(line, '\t');
    if (f.size() >= 5 && f[0] == "window" && windowPid(std::stoul(f[2])) == pid) titles.push_back(f[4]);
  }
  return titles;
}

unsigned long WineDesk::waitWindow(pid_t pid, const std::string& title, seconds limit) {
  auto deadline = Clock::now() + limit;
  do {
    std::istringstream lines(capture(peekCommand(prefix_, display_, wine_, "list")));
    std::string line;
    while (std::getline(lines, line)) {
      auto f = split(line, '\t');
      if (f.size() >= 5 && f[0] == "window" && f[4] == title) {
        unsigned long xid = std::stoul(f[2]);
        if (xid != 0 && windowPid(xid) == pid) return xid;
      }
    }
    std::this_thread::sleep_for(kPoll);
  } while (Clock::now() < deadline);
  return 0;
}

std::string WineDesk::title(unsigned long xid) { return peek(xid).title; }

bool WineDesk::waitTitle(unsigned long xid, const std::string& title, seconds limit) {
  auto deadline = Clock::now() + limit;
  do {
    if (peek(xid).title == title) return true;
    std::this_thread::sleep_for(kPoll);
  } while (Clock::now() < deadline);
  return false;
}

WindowView WineDesk::peek(unsigned long xid) {
  WindowView v;
  std::istringstream lines(capture(peekCommand(prefix_, display_, wine_, std::to_string(xid))));
  std::string line;
  while (std::getline(lines, line)) {
    auto f = split(line, '\t');
    if (f.size() >= 5 && f[0] == "window") {
      v.exists = true;
      v.cls = f[3];
      v.title = f[4];
      v.active = f.size() >= 6 && f[5] == "1";
      v.focused = f.size() >= 7 && f[6] == "1";
    } else if (f.size() >= 5 && f[0] == "rect") {
      v.left = std::stoi(f[1]);
      v.top = std::stoi(f[2]);
      v.right = std::stoi(f[3]);
      v.bottom = std::stoi(f[4]);
    } else if (f.size() >= 13 && f[0] == "child") {
      Control c;
      c.id = std::stoi(f[1]);
      c.cls = f[2];
      c.visible = f[3] == "1";
      c.style = std::stoul(f[4], nullptr, 16);
      c.left = std::stoi(f[5]);
      c.top = std::stoi(f[6]);
      c.right = std::stoi(f[7]);
      c.bottom = std::stoi(f[8]);
      c.pos = std::stoll(f[9]);
      c.min = std::stoll(f[10]);
      c.max = std::stoll(f[11]);
      c.text = f[12];
      v.controls.push_back(c);
    }
  }
  return v;
}

void WineDesk::activate(unsigned long xid) {
  // A click on the title bar, as a user would, before every input. Wine can
  // leave the X keyboard focus on a window that has gone (a worker thread's
  // message box), and keys then go nowhere until the next click. Keys typed
  // next follow the click in order.
  for (int attempt = 0; attempt < 3; ++attempt) {
    WindowView v = peek(xid);
    if (!v.exists) return;
    click(v.left + 60, v.top + 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    v = peek(xid);
    if (v.active && v.focused) return;
  }
}

void WineDesk::move(unsigned long xid, int left, int top) {
  // Dragged by its title bar.
  WindowView v = peek(xid);
  if (!v.exists) return;
  const int grabX = 60, grabY = 8;
  x("xdotool mousemove --sync " + std::to_string(v.left + grabX) + " " + std::to_string(v.top + grabY) +
    " mousedown 1 sleep 0.2 mousemove --sync " + std::to_string(left + grabX) + " " +
    std::to_string((v.top + top) / 2 + grabY) + " sleep 0.2 mousemove --sync " + std::to_string(left + grabX) + " " +
    std::to_string(top + grabY) + " sleep 0.2 mouseup 1");
}

void WineDesk::key(unsigned long xid, const std::string& keys) {
  activate(xid);
  x("xdotool key --delay 80 " + keys);
}

void WineDesk::type(unsigned long xid, const std::string& text) {
  activate(xid);
  x("xdotool type --delay 30 " + quote(text));
}

void WineDesk::click(int px, int py) {
  x("xdotool mousemove --sync " + std::to_string(px) + " " + std::to_string(py) + " click 1");
}

void WineDesk::clickControl(const Control& c) { click((c.left + c.right) / 2, (c.top + c.bottom) / 2); }

bool WineDesk::screenshot(unsigned long xid, const std::string& path) {
  WindowView v = peek(xid);
  if (!v.exists) return false;
  fs::create_directories(fs::path(path).parent_path());
  int rc = 0;
  capture("import -display " + display_ + " -window root -crop " + std::to_string(v.right - v.left) + "x" +
              std::to_string(v.bottom - v.top) + "+" + std::to_string(v.left) + "+" + std::to_string(v.top) +
              " +repage " + quote(path) + " 2>/dev/null",
          &rc);
  return rc == 0;
}

}  // namespace zarvek::test
