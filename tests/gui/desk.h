#pragma once
// The window tests' desk: Xvfb, a Wine prefix whose programs show in one Wine desktop,
// keys and clicks by xdotool, pictures by ImageMagick's import, and what the windows show,
// read by zarvek-peek in the same prefix.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "harness/process.h"
#include "harness/wine.h"
#include "support/temp_dir.h"

namespace zarvek::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using harness::Process;
using Args = std::vector<std::string>;

const std::string kWine = fs::exists("/usr/lib/wine/wine64") ? "/usr/lib/wine/wine64" : "/usr/bin/wine";
const std::string kIdle = "ZARVEK [IDLE]", kSendMode = "ZARVEK [SEND MODE]", kReceiveMode = "ZARVEK [RECEIVE MODE]";

struct Control {
  int id;
  std::string kind, text;
  int left, top, right, bottom;
  long position;  // a progress bar's
  // What its frame, glyph or margins leave for its text, and the text's size in its own
  // font; -1 where the control shows no text of its own.
  int roomWidth = 0, roomHeight = 0, textWidth = -1, textHeight = -1;
};
struct Window {
  unsigned long long handle = 0;  // 0: gone
  unsigned long process = 0;
  std::string title;
  int left = 0, top = 0, right = 0, bottom = 0;
  int dpi = 0;  // the one it is laid out for
  std::vector<Control> controls;

  // The first control that matches, or one that shows "<none>".
  const Control& find(const std::function<bool(const Control&)>& match) const {
    static const Control none{0, "", "<none>", 0, 0, 0, 0, -1};
    const auto c = std::find_if(controls.begin(), controls.end(), match);
    return c == controls.end() ? none : *c;
  }
  const Control& id(int id) const { return find([&](const Control& c) { return c.id == id; }); }
  const Control& kind(const std::string& kind) const { return find([&](const Control& c) { return c.kind == kind; }); }
};

// Xvfb and a Wine prefix whose programs show in one Wine desktop filling the
// screen: Wine then draws title bars and activates a window on a click, as
// Windows does. Everything started here ends with it.
class Desk {
 public:
  explicit Desk(const std::string& prefix = ZARVEK_BINARY_DIR "/tests/gui/wineprefix", int width = 1024,
                int height = 768)
      : prefix_(prefix), width_(width), height_(height),
        xvfb_(Args{"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", size() + "x24", "-nolisten", "tcp"}) {
    if (!eventually([&] { return xvfb_.out().find('\n') != std::string::npos; }, 20s)) return;
    env_ = {"DISPLAY=:" + xvfb_.out().substr(0, xvfb_.out().find('\n')), "WINEPREFIX=" + prefix_,
            "WINEDLLOVERRIDES=mscoree,mshtml="};
    if (harness::run({ZARVEK_SOURCE_DIR "/cmake/wine-prefix.sh", prefix_}).code != 0) return;
    // The program keeps its settings per user in the prefix: each run starts from the start values.
    std::error_code ignored;
    for (const auto& user : fs::directory_iterator(prefix_ + "/drive_c/users", ignored))
      fs::remove_all(user.path() / "AppData/Roaming/Zarvek", ignored);
    const auto set = [&](const std::string& key, const std::string& name, const std::string& value) {
      return run({kWine, "reg", "add", "HKCU\\Software\\Wine\\Explorer" + key, "/v", name, "/d", value, "/f"}).code
             == 0;
    };
    ok_ = set("", "Desktop", "Default") && set("\\Desktops", "Default", size());
    // The desktop is chosen when Wine's server starts, and setting it started one:
    // in a fresh prefix that one has no desktop, so the next start must be a new one.
    run({"/usr/bin/wineserver", "-k"});
    run({"/usr/bin/wineserver", "-w"});
  }
  ~Desk() {
    if (ok_ && ::testing::Test::HasFailure()) shot("failure", 0, 0, width_, height_);
    run({"/usr/bin/wineserver", "-k"});
  }
  bool ok() const { return ok_; }
  // Windows' DPI for the programs started from now on (the server keeps it while it runs).
  bool setDpi(int dpi) {
    const bool set = run({kWine, "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                          "/d", std::to_string(dpi), "/f"}).code == 0;
    run({"/usr/bin/wineserver", "-k"});
    run({"/usr/bin/wineserver", "-w"});
    return set;
  }
  std::string port(int n) const { return prefix_ + "/ports/com" + std::to_string(n); }
  harness::Outcome run(const Args& argv) { return harness::run(argv, with("WINEDEBUG=-all"), 60s); }
  // A Windows program started in `folder`; its standard error holds Wine's trace.
  Process& start(const fs::path& folder, Args args, const std::string& trace = "-all") {
    args.insert(args.begin(), {"/usr/bin/env", "-C", folder.string(), kWine});
    return *programs_.emplace_back(std::make_unique<Process>(args, with("WINEDEBUG=" + trace)));
  }

  std::vector<Window> peek() {
    std::vector<Window> windows;
    std::istringstream lines(run({kWine, harness::windowsExe("tests/gui/zarvek-peek.exe")}).out);
    for (std::string line; std::getline(lines, line);) {
      Args f;
      std::istringstream in(line.substr(0, line.find('\r')));
      for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
      const auto n = [&](size_t i) { return std::stoi(f[i]); };
      if (f.size() == 9 && f[0] == "window")
        windows.push_back({std::stoull(f[1]), std::stoul(f[2]), f[3], n(4), n(5), n(6), n(7), n(8), {}});
      else if (f.size() >= 12 && f[0] == "child" && !windows.empty())
        windows.back().controls.push_back({n(1), f[2], f.size() > 12 ? f[12] : "", n(3), n(4), n(5), n(6), n(7), n(8),
                                           n(9), n(10), n(11)});
    }
    return windows;
  }
  // The window as it is now, or the first one that `match`es, waiting for it.
  Window view(const Window& w) { return await([&](const Window& now) { return now.handle == w.handle; }, 0s); }
  Window await(const std::function<bool(const Window&)>& match, std::chrono::seconds guard = 30s) {
    Window found;
    eventually([&] {
      for (const Window& w : peek())
        if (match(w)) return found = w, true;
      return false;
    }, guard);
    return found;
  }
  Window await(const Window& owner, const std::string& title) {
    return await([&](const Window& w) { return w.process == owner.process && w.title == title; });
  }
  // Waits for the title; "" once the window is gone.
  bool titled(const Window& w, const std::string& t) { return eventually([&] { return view(w).title == t; }, 10s); }
  void xdotool(Args args) {
    args.insert(args.begin(), "/usr/bin/xdotool");
    run(args);
  }
  void click(int x, int y) { xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "1"}); }
  void click(const Control& c) { click((c.left + c.right) / 2, (c.top + c.bottom) / 2); }
  // xdotool key or type, to the window a click on its title bar gave the
  // keyboard, as a user would: Wine's desktop has no other focus rule.
  void input(const Window& w, Args args) {
    const Window now = view(w);
    click(now.left + 60, now.top + 8);
    args.insert(args.begin() + 1, {"--delay", "80"});
    xdotool(args);
  }
  // A screen area as a PNG under the build folder, copied into
  // docs/screenshots when ZARVEK_UPDATE_SCREENSHOTS is set.
  bool shot(const std::string& name, int left, int top, int width, int height) {
    const fs::path built = fs::path(ZARVEK_BINARY_DIR) / "tests/gui/screenshots" / (name + ".png");
    fs::create_directories(built.parent_path());
    const std::string area = std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(left) + "+" +
                             std::to_string(top);
    if (run({"/usr/bin/import", "-window", "root", "-crop", area, "+repage", built}).code != 0) return false;
    if (std::getenv("ZARVEK_UPDATE_SCREENSHOTS") && name != "failure")
      fs::copy_file(built, fs::path(ZARVEK_SOURCE_DIR) / "docs/screenshots" / built.filename(),
                    fs::copy_options::overwrite_existing);
    return true;
  }
  bool shot(const Window& w, const std::string& name) {
    const Window now = view(w);
    return now.handle != 0 && shot(name, now.left, now.top, now.right - now.left, now.bottom - now.top);
  }

 private:
  std::string size() const { return std::to_string(width_) + "x" + std::to_string(height_); }
  Args with(const std::string& variable) const {
    Args env = env_;
    env.push_back(variable);
    return env;
  }

  std::string prefix_;
  int width_, height_;
  Process xvfb_;
  Args env_;
  std::vector<std::unique_ptr<Process>> programs_;
  bool ok_ = false;
};

}  // namespace zarvek::test
