// The real zarvek.exe under Wine on Xvfb, driven as a user would: two copies on the virtual
// cable, Receive in one, Send of three files through the file dialog in the other, Esc in
// the middle of a fourth, F1; the documentation's pictures on the way. Keys and clicks by
// xdotool, pictures by ImageMagick's import, window texts by zarvek-peek in the same prefix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "app/resource.h"
#include "cable/cable.h"
#include "harness/process.h"
#include "support/clean_run.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using harness::Process;
using Args = std::vector<std::string>;

const std::string kWine = fs::exists("/usr/lib/wine/wine64") ? "/usr/lib/wine/wine64" : "/usr/bin/wine";
const std::string kIdle = "ZARVEK [IDLE]", kSendMode = "ZARVEK [SEND MODE]", kReceiveMode = "ZARVEK [RECEIVE MODE]";

// Polls until done() holds. The guard is wide: Wine's first start in a prefix
// is slow, and the machine may be loaded.
bool eventually(const std::function<bool()>& done, std::chrono::seconds guard = 30s) {
  for (const auto until = std::chrono::steady_clock::now() + guard; !done(); std::this_thread::sleep_for(100ms))
    if (std::chrono::steady_clock::now() > until) return false;
  return true;
}

struct Control {
  int id;
  std::string kind, text;
  int left, top, right, bottom;
  long position;  // a progress bar's
};
struct Window {
  unsigned long long handle = 0;  // 0: gone
  unsigned long process = 0;
  std::string title;
  int left = 0, top = 0, right = 0, bottom = 0;
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
  Desk() : xvfb_(Args{"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}) {
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
    ok_ = set("", "Desktop", "Default") && set("\\Desktops", "Default", "1024x768");
    // The desktop is chosen when Wine's server starts, and setting it started one:
    // in a fresh prefix that one has no desktop, so the next start must be a new one.
    run({"/usr/bin/wineserver", "-k"});
    run({"/usr/bin/wineserver", "-w"});
  }
  ~Desk() {
    if (ok_ && ::testing::Test::HasFailure()) shot("failure", 0, 0, 1024, 768);
    run({"/usr/bin/wineserver", "-k"});
  }
  bool ok() const { return ok_; }
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
      if (f.size() == 8 && f[0] == "window")
        windows.push_back({std::stoull(f[1]), std::stoul(f[2]), f[3], n(4), n(5), n(6), n(7), {}});
      else if (f.size() >= 8 && f[0] == "child" && !windows.empty())
        windows.back().controls.push_back({n(1), f[2], f.size() > 8 ? f[8] : "", n(3), n(4), n(5), n(6), n(7)});
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
  Args with(const std::string& variable) const {
    Args env = env_;
    env.push_back(variable);
    return env;
  }

  std::string prefix_ = ZARVEK_BINARY_DIR "/tests/gui/wineprefix";
  Process xvfb_;
  Args env_;
  std::vector<std::unique_ptr<Process>> programs_;
  bool ok_ = false;
};

TEST(ProgramWindows, TwoCopiesSendOverTheCableAndShowEachStep) {
  for (const char* exe : {"app/zarvek.exe", "tests/gui/zarvek-peek.exe"})
    if (!requireOrSkipWine(harness::windowsExe(exe))) GTEST_SKIP() << exe << " is not built";
  TempDir dir;
  const fs::path inbox = dir / "received", outbox = dir / "send";
  for (const fs::path& folder : {inbox, outbox}) fs::create_directories(folder);
  const std::vector<std::pair<std::string, size_t>> files = {{"a.bin", 5000}, {"b.bin", 30000}, {"c.bin", 60000}};
  for (size_t i = 0; i < files.size(); ++i) writeFile(outbox / files[i].first, randomBytes(files[i].second, i + 1));
  writeFile(outbox / "big.bin", randomBytes(300000, 9));
  for (const char* f : {"zarvek.hlp", "zarvek.html", "complete.wav"}) fs::copy_file(harness::windowsExe("app/") + f, outbox / f);
  fs::copy_file(harness::windowsExe("app/zarvek.hlp"), inbox / "zarvek.hlp");

  Desk desk;
  ASSERT_TRUE(desk.ok()) << "no Xvfb or no Wine prefix";
  Cable cable(CableConfig{115200, {}, {}, false});  // each mode lasts to be seen
  cable.linkEnds(desk.port(12), desk.port(2));  // the receiver takes COM12, the sender its default COM2

  // The copies are told apart by their processes; the second, whose trace shows the help
  // request and the chime, is dragged below the first. The first runs as on Windows XP,
  // which has the WinHelp viewer; the second as on Windows 7, which has not.
  const std::string exe = harness::windowsExe("app/zarvek.exe");
  fs::copy_file(exe, inbox / "zarvek-xp.exe");
  ASSERT_EQ(desk.run({kWine, "reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\zarvek-xp.exe", "/v", "Version",
                      "/d", "winxp64", "/f"}).code, 0);
  Process& receiverProcess = desk.start(inbox, {(inbox / "zarvek-xp.exe").string()}, "-all,trace+winhelp");
  const Window receiver = desk.await([](const Window& w) { return w.title == "Zarvek"; });
  ASSERT_NE(receiver.handle, 0u) << "no window titled Zarvek";
  Process& senderProcess = desk.start(outbox, {exe}, "-all,trace+winhelp,trace+winmm,trace+exec");
  const auto second = [&](const Window& w) { return w.title == "Zarvek" && w.process != receiver.process; };
  const Window sender = desk.await(second);
  ASSERT_NE(sender.handle, 0u);
  desk.xdotool({"mousemove", std::to_string(sender.left + 60), std::to_string(sender.top + 8), "mousedown", "1",
                "sleep", "0.2", "mousemove", "260", "448", "sleep", "0.2", "mouseup", "1"});
  EXPECT_TRUE(desk.shot(sender, "main-idle"));
  desk.input(sender, {"key", "alt+a"});
  std::this_thread::sleep_for(500ms);  // the menu drawn
  EXPECT_TRUE(desk.shot("main-menu", desk.view(sender).left - 5, desk.view(sender).top - 5, 300, 170));
  desk.input(sender, {"key", "Escape", "Escape"});

  // Communications Setup: COM12, past the four buttons, from the list of the ports present, for
  // the receiver. The sender keeps COM2 and takes the most retries: on a loaded machine a
  // packet is now and then refused, which is no fault.
  desk.input(receiver, {"key", "ctrl+c"});
  Window setup = desk.await(receiver, "Communications Setup");
  const std::string items = setup.id(IDC_PORT_LIST).text;  // "COM1 | COM2 | ..."
  for (const char* adapter : {" | COM7  USB Serial Port (COM7) | ", " | COM12  USB Serial Device (COM12)"})
    EXPECT_NE(items.find(adapter), std::string::npos) << "no " << adapter << " in " << items;
  const size_t at = items.find("COM12");
  ASSERT_NE(at, std::string::npos) << items;
  desk.click(setup.id(IDC_PORT_LIST));
  Args down{"key", "Home"};
  for (size_t i = items.find(" | "); i < at; i = items.find(" | ", i + 1)) down.push_back("Down");
  desk.input(setup, down);
  EXPECT_TRUE(eventually([&] { return desk.view(setup).id(IDC_PORT_SHOWN).text == "COM12"; }, 10s));
  EXPECT_TRUE(desk.shot(setup, "comm-setup"));
  desk.click(setup.id(IDC_COMM_OK));
  ASSERT_TRUE(desk.titled(setup, ""));
  desk.input(sender, {"key", "ctrl+c"});
  setup = desk.await(sender, "Communications Setup");
  desk.click(setup.id(IDC_RETRY_VALUE));
  desk.input(setup, {"key", "shift+Tab", "End"});  // from the read-only box back to the slider
  EXPECT_TRUE(eventually([&] { return desk.view(setup).id(IDC_RETRY_VALUE).text == "20"; }, 10s));
  desk.input(setup, {"key", "Return"});
  ASSERT_TRUE(desk.titled(setup, ""));

  desk.input(receiver, {"key", "ctrl+r"});
  ASSERT_TRUE(desk.titled(receiver, kReceiveMode));
  // The file dialog opens in the folder last used in the prefix: the user types
  // the folder first (its keys are taken in order), then the names.
  const auto sendFrom = [&](const Window& from, const std::string& names) {
    desk.input(from, {"key", "ctrl+s"});
    const Window open = desk.await(from, "File(s) To Send");
    desk.input(open, {"type", harness::windowsPath(outbox)});
    desk.input(open, {"key", "Return", "ctrl+a"});
    desk.input(open, {"type", names});
    desk.input(open, {"key", "Return"});
    ASSERT_TRUE(desk.titled(from, kSendMode)) << "no send of " << names;
  };
  const auto send = [&](const std::string& names) { sendFrom(sender, names); };
  ASSERT_NO_FATAL_FAILURE(send("\"a.bin\" \"b.bin\" \"c.bin\""));

  // Both windows watched until the sender is done, each picture taken while its window shows a file.
  std::set<std::string> sent, received, paths, names;
  bool shotSending = false, shotReceiving = false;
  ASSERT_TRUE(eventually([&] {
    const Window s = desk.view(sender), r = desk.view(receiver);
    const std::string sText = s.kind("Edit").text, rText = r.kind("Edit").text;
    if (!sText.empty()) sent.insert(sText);
    if (!rText.empty()) received.insert(rText);
    if (!shotSending && s.kind("msctls_progress32").position > 2 && !sText.empty())
      shotSending = desk.shot(sender, "main-sending");
    // Kept only when the name still shows after the picture: between files the field empties.
    if (!shotReceiving && !rText.empty())
      shotReceiving = desk.shot(receiver, "main-receiving") && rText == desk.view(receiver).kind("Edit").text;
    return s.title == kIdle;
  }, 120s)) << "the send did not end";
  EXPECT_TRUE(shotSending && shotReceiving);
  // The sender shows full paths, the receiver names.
  for (const auto& [name, size] : files) names.insert(name), paths.insert(harness::windowsPath(outbox / name));
  for (const auto& text : sent) EXPECT_TRUE(paths.count(text)) << "the sender showed " << text;
  // The receiver shows each name while it comes, then, verified, a note until the next begins.
  for (const auto& text : received) {
    const std::string named = text.starts_with("Verified: ") ? text.substr(10, text.find(" (") - 10) : text;
    EXPECT_TRUE(names.count(named)) << "the receiver showed " << text;
  }
  EXPECT_EQ(desk.view(receiver).kind("Edit").text.rfind("Verified: c.bin (", 0), 0u) << "the last file, verified";
  for (const auto& [name, size] : files) {
    const auto whole = [&] { return fs::exists(inbox / name) && readFile(inbox / name) == readFile(outbox / name); };
    EXPECT_TRUE(eventually(whole, 10s)) << name << " did not arrive whole";
  }
  EXPECT_TRUE(eventually([&] { return senderProcess.err().find("complete.wav") != std::string::npos; }, 10s))
      << "no chime asked for";
  // No bare error number from either window, and no box but the receiver's list at its end.
  EXPECT_TRUE(saidNothingWrong(senderProcess.out()));
  EXPECT_TRUE(saidNothingWrong(receiverProcess.out()));
  for (const Window& w : desk.peek()) EXPECT_TRUE(w.title.starts_with("ZARVEK") || w.title == "Zarvek") << w.title;
  EXPECT_EQ(desk.view(receiver).title, kReceiveMode) << "the receiver waits for more";

  // Esc in the middle of a file: the sender's abort reaches the receiver, which
  // deletes the file. A verified file is written under a staging name until it
  // is verified: nothing shows under its own name meanwhile.
  const auto staged = [&] {
    for (const auto& e : fs::directory_iterator(inbox)) {
      if (e.path().filename().string().starts_with(".zarvek-")) return true;
    }
    return false;
  };
  ASSERT_NO_FATAL_FAILURE(send("big.bin"));
  ASSERT_TRUE(eventually([&] {
    return desk.view(sender).kind("msctls_progress32").position >= 3 && staged() && !fs::exists(inbox / "big.bin");
  })) << "the send did not get going";
  desk.input(sender, {"key", "Escape"});
  EXPECT_TRUE(desk.titled(sender, kIdle));
  EXPECT_TRUE(eventually([&] { return !staged() && !fs::exists(inbox / "big.bin"); }))
      << "the receiver kept the abandoned file";
  desk.input(receiver, {"key", "Escape"});
  EXPECT_TRUE(desk.titled(receiver, kIdle));
  // Once receiving has ended, what arrived verified and what did not, in one box.
  const Window list = desk.await(receiver, "Receive Mode");
  const std::string listed = list.find([](const Control& c) { return c.text.find("verified") != std::string::npos; }).text;
  for (const char* name : {"a.bin", "b.bin", "c.bin", "big.bin (aborted"}) {
    EXPECT_NE(listed.find(name), std::string::npos) << listed;
  }
  desk.input(list, {"key", "Return"});
  ASSERT_TRUE(desk.titled(list, "")) << "the list stayed";

  desk.input(sender, {"key", "alt+h", "a"});
  const Window about = desk.await(sender, "About Zarvek");
  EXPECT_TRUE(desk.shot(about, "about"));
  desk.click(about.id(IDC_ABOUT_OK));
  // Gone before the next click: a box still closing would take the receiver's F1.
  ASSERT_TRUE(desk.titled(about, "")) << "the About box stayed";

  // The port chosen from the list, COM12, leads to the command line on Linux, as a USB
  // adapter on one PC leads to a serial port on another.
  const fs::path linuxInbox = dir / "linux";
  fs::create_directories(linuxInbox);
  cable.linkEnds(desk.port(12), dir / "linux-end");
  Process linux({harness::zarvekPath(), "receive", "--port", (dir / "linux-end").string(), "--dir",
                 linuxInbox.string(), "--files", "1"});
  ASSERT_TRUE(linux.waitForOutput("receiving into", 30s)) << linux.out() << linux.err();
  ASSERT_NO_FATAL_FAILURE(sendFrom(receiver, "\"c.bin\""));
  EXPECT_EQ(linux.wait(60s), 0) << linux.out() << linux.err();
  EXPECT_TRUE(desk.titled(receiver, kIdle));
  EXPECT_EQ(readFile(linuxInbox / "c.bin"), readFile(outbox / "c.bin")) << "c.bin did not arrive identical over COM12";
  EXPECT_TRUE(saidNothingWrong(linux.err()));

  // F1 where the system has the WinHelp viewer asks it for zarvek.hlp of the start folder
  // (HELP_FORCEFILE, 9), as its trace writes it; where it has not, the browser gets the same
  // help as zarvek.html. The viewer leaves the request unhandled, so it is shown the file
  // for the picture.
  const auto escaped = [](const fs::path& path) {
    std::string text;
    for (const char c : harness::windowsPath(path)) text += c == '\\' ? "\\\\" : std::string(1, c);
    return text;
  };
  desk.input(receiver, {"key", "F1"});
  EXPECT_TRUE(eventually([&] {
    return receiverProcess.err().find("cmd=9 data=00000000 fn=\"" + escaped(inbox / "zarvek.hlp")) != std::string::npos;
  })) << "no WinHelp request where the viewer is part of the system";
  desk.input(sender, {"key", "F1"});
  EXPECT_TRUE(eventually([&] {
    return senderProcess.err().find("\"open\",\"" + escaped(outbox / "zarvek.html")) != std::string::npos;
  })) << "the help page was not opened where the system has no viewer";
  desk.start(outbox, {"winhlp32", harness::windowsPath(outbox / "zarvek.hlp")});
  const Window help = desk.await([](const Window& w) { return w.title.starts_with("Zarvek Help"); });
  std::this_thread::sleep_for(800ms);  // the contents topic drawn
  EXPECT_TRUE(desk.shot(help, "help")) << "the viewer shows no \"Zarvek Help\"";
}

}  // namespace
}  // namespace zarvek::test
