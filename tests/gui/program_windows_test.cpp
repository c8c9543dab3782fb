// The real zarvek.exe under Wine on Xvfb, driven as a user would: two copies on the virtual
// cable, Receive in one, Send of three files through the file dialog in the other, Esc in
// the middle of a fourth, F1; the documentation's pictures on the way. Keys and clicks by
// xdotool, pictures by ImageMagick's import, window texts by zarvek-peek in the same prefix.
#include <gtest/gtest.h>

#include <set>

#include "app/resource.h"
#include "cable/cable.h"
#include "desk.h"
#include "support/clean_run.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace zarvek::test {
namespace {

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
  ASSERT_NO_FATAL_FAILURE(sendFrom(sender, "\"a.bin\" \"b.bin\" \"c.bin\""));

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
  const std::string last = desk.view(receiver).kind("Edit").text;
  EXPECT_TRUE(last.starts_with("Verified: c.bin (") && last.ends_with(" bytes, streamed)")) << "the last file, verified: " << last;
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
  // keeps what arrived under a staging name, never under the file's own; sent
  // again, the file goes on from there and the receiver says so.
  const auto staged = [&] {
    for (const auto& e : fs::directory_iterator(inbox)) {
      if (e.path().filename().string().starts_with(".zarvek-")) return true;
    }
    return false;
  };
  ASSERT_NO_FATAL_FAILURE(sendFrom(sender, "big.bin"));
  ASSERT_TRUE(eventually([&] {
    return desk.view(sender).kind("msctls_progress32").position >= 3 && staged() && !fs::exists(inbox / "big.bin");
  })) << "the send did not get going";
  desk.input(sender, {"key", "Escape"});
  EXPECT_TRUE(desk.titled(sender, kIdle));
  EXPECT_TRUE(eventually([&] { return desk.view(receiver).kind("Edit").text.starts_with("Not received: big.bin (interrupted"); }))
      << desk.view(receiver).kind("Edit").text;
  EXPECT_TRUE(staged() && !fs::exists(inbox / "big.bin")) << "what arrived was not kept, or shows under its name";
  ASSERT_NO_FATAL_FAILURE(sendFrom(sender, "big.bin"));
  EXPECT_TRUE(eventually([&] { return desk.view(receiver).kind("Edit").text.starts_with("Resumed: big.bin ("); }, 60s))
      << desk.view(receiver).kind("Edit").text;
  EXPECT_TRUE(eventually([&] { return fs::exists(inbox / "big.bin") && readFile(inbox / "big.bin") == readFile(outbox / "big.bin"); }));
  EXPECT_TRUE(desk.titled(sender, kIdle));
  EXPECT_FALSE(staged()) << "kept state left after the file completed";
  desk.input(receiver, {"key", "Escape"});
  EXPECT_TRUE(desk.titled(receiver, kIdle));
  // Once receiving has ended, what arrived verified and what did not, in one box.
  const Window list = desk.await(receiver, "Receive Mode");
  const std::string listed = list.find([](const Control& c) { return c.text.find("verified") != std::string::npos; }).text;
  for (const char* name : {"a.bin", "b.bin", "c.bin", "big.bin (interrupted", "big.bin (resumed"}) {
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
