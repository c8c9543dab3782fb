// The command line driven as a user drives it, over a virtual cable: the
// built `zarvek` in two processes, one receiving and one sending; and the
// Windows console build under Wine at one end, the native build or the classic
// program at the other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "cable/cable.h"
#include "classic/classic_batch.h"
#include "harness/process.h"
#include "serial/serial_port.h"
#include "support/clean_run.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zarvek::harness::Process;

namespace zarvek::test {
namespace {

constexpr auto kGuard = std::chrono::seconds(120);

using harness::zarvekCommand;

// Paced at 115200 bit/s, as a real line: the protocol discards what arrives
// before the receiver's next wait and has no time-out, so on an unpaced line a
// whole packet can come and go while a loaded receiver is still busy with the
// last one, and the transfer stalls.
class CliLine : public ::testing::Test {
 protected:
  explicit CliLine(CableConfig config = CableConfig{115200, {}, {}, true}) : cable_(config) {}

  // A receiver on end B, waiting once it has said so.
  std::unique_ptr<Process> startReceiver(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"receive", "--port", cable_.endB(), "--dir", inbox.str()});
    auto receiver = std::make_unique<Process>(zarvekCommand(args));
    EXPECT_TRUE(receiver->waitForOutput("receiving into", 30s)) << receiver->err();
    std::this_thread::sleep_for(300ms);  // its first wait for data starts just after it has said so
    return receiver;
  }

  // A sender on end A; options go before the files.
  std::unique_ptr<Process> startSender(std::vector<std::string> args) {
    args.insert(args.begin(), {"send", "--port", cable_.endA()});
    return std::make_unique<Process>(zarvekCommand(args));
  }

  std::string makeFile(const std::string& relative, size_t size, uint32_t seed) {
    const fs::path path = outbox / relative;
    fs::create_directories(path.parent_path());
    writeFile(path, randomBytes(size, seed));
    return path.string();
  }

  Cable cable_;
  TempDir outbox, inbox;
};

// An empty, a small and a larger file to a receiver on a terminal (script(1) gives it a
// pseudo-terminal and copies what it shows; its standard error goes to a file): both ends
// exit 0 and say nothing on standard error, the files arrive identical, each named with
// its size, and the receiver's live line counts the larger one up as it comes.
TEST_F(CliLine, ACleanRunSaysNothingWrongAndTheLiveLineRises) {
  const std::vector<std::pair<std::string, size_t>> files = {{"empty.dat", 0}, {"small.dat", 700}, {"thirty.dat", 30000}};
  std::vector<std::string> sent;
  for (const auto& [name, size] : files) sent.push_back(makeFile(name, size, static_cast<uint32_t>(size + 1)));
  std::string command;
  for (const auto& arg : zarvekCommand({"receive", "--port", cable_.endB(), "--dir", inbox.str(), "--files", "3"})) {
    command += "'" + arg + "' ";
  }
  Process receiver({"/usr/bin/script", "-qefc", command + "2>'" + (outbox / "err").string() + "'", "/dev/null"});
  ASSERT_TRUE(receiver.waitForOutput("receiving into", 30s)) << receiver.out();
  std::this_thread::sleep_for(300ms);
  auto sender = startSender(sent);
  EXPECT_EQ(sender->wait(kGuard), 0) << sender->err();
  EXPECT_EQ(receiver.wait(kGuard), 0) << receiver.out();
  EXPECT_TRUE(saidNothingWrong(sender->err()));
  EXPECT_TRUE(saidNothingWrong(readFile(outbox / "err")));
  const std::string out = receiver.out();
  for (size_t i = 0; i < files.size(); ++i) {
    const auto& [name, size] = files[i];
    ASSERT_TRUE(fs::exists(inbox / name)) << name;
    EXPECT_TRUE(readFile(inbox / name) == readFile(sent[i])) << name;
    EXPECT_NE(out.find(name + "  " + std::to_string(size) + " bytes  complete"), std::string::npos) << out;
  }
  std::vector<int> shown;
  for (size_t at = out.find("receiving thirty.dat  "); at != std::string::npos; at = out.find("receiving thirty.dat  ", at + 1)) {
    shown.push_back(std::atoi(out.c_str() + at + 22));
  }
  ASSERT_GE(shown.size(), 3u) << out;
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end())) << out;
  EXPECT_LT(shown.front(), 50) << out;
  EXPECT_GT(shown.back(), shown.front()) << out;
  EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](int p) { return p > 0 && p < 100; })) << out;
}

// Interrupted mid-file, a sender ends the file with "AF" and the receiver deletes
// it; a receiver keeps a classic file at its full size with what arrived, and,
// asked not to keep what it could take up, leaves nothing of a verified one. The sender then left asking
// with no answer gives up after its limit, or its user stops it first.
TEST_F(CliLine, InterruptedMidFileEitherEndSaysWhatBecameOfTheFile) {
  const struct { bool sender, classic; std::string receiverSays; } cases[] = {
      {true, false, "aborted by the sender, deleted"},
      {false, true, "interrupted, kept at its full size"},
      {false, false, "interrupted before it was verified"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.receiverSays);
    const std::string file = makeFile("big.dat", 200000, 4);
    const std::vector<std::string> mode = c.classic ? std::vector<std::string>{"--classic"} : std::vector<std::string>{};
    std::vector<std::string> receiveArgs = mode, sendArgs = mode;
    // Without --no-resume a verified file cut off is kept to be taken up (resume_test.cpp).
    receiveArgs.insert(receiveArgs.end(), {"--files", "1"});
    if (!c.classic) receiveArgs.push_back("--no-resume");
    auto receiver = startReceiver(receiveArgs);
    sendArgs.push_back(file);
    auto sender = startSender(sendArgs);
    ASSERT_TRUE(receiver->waitForOutput("receiving big.dat", 30s)) << receiver->out();
    std::this_thread::sleep_for(1500ms);
    Process& interrupted = c.sender ? *sender : *receiver;
    interrupted.signal(SIGINT);
    EXPECT_EQ(interrupted.wait(kGuard), 130) << interrupted.err();
    if (c.sender) {
      EXPECT_NE(sender->out().find("stopped after"), std::string::npos) << sender->out();
      EXPECT_NE(sender->err().find("interrupted: " + file), std::string::npos) << sender->err();
      EXPECT_NE(sender->err().find("AF sent"), std::string::npos);
      EXPECT_EQ(receiver->wait(kGuard), 1) << receiver->err();
    } else {
      sender->signal(SIGINT);
      EXPECT_EQ(sender->wait(kGuard), 130) << sender->err();
    }
    EXPECT_NE(receiver->out().find("big.dat  200000 bytes  " + c.receiverSays), std::string::npos) << receiver->out();
    if (!c.classic) {
      EXPECT_TRUE(fs::is_empty(inbox.path())) << "a file deleted or never verified was left";
      continue;
    }
    EXPECT_NE(receiver->err().find("interrupted: big.dat left at " + (inbox / "big.dat").string()), std::string::npos)
        << receiver->err();
    const std::string kept = readFile(inbox / "big.dat");
    EXPECT_EQ(kept.size(), 200000u);
    EXPECT_EQ(kept.substr(0, 1024), readFile(file).substr(0, 1024)) << "what arrived is kept";
    fs::remove(inbox / "big.dat");
  }
}

TEST_F(CliLine, FileAbandonedAfterTheRetryLimitExitsOne) {
  FaultPlan refuseFirstData;  // one bit of the first data packet's payload flipped on its way: "N"
  refuseFirstData.flips = {{2 * 1030 + 4 + 7, 0}};
  cable_.setFaults(Direction::AtoB, refuseFirstData);
  const std::string file = makeFile("f.dat", 5000, 5);
  auto receiver = startReceiver({"--files", "1"});
  auto sender = startSender({"--retry-limit", "1", file});
  EXPECT_EQ(sender->wait(kGuard), 1) << sender->err();
  EXPECT_NE(sender->err().find("zarvek: CRC Errors: Too Contiguous CRC Errors, Aborting Transmission"),
            std::string::npos)
      << sender->err();
  EXPECT_NE(sender->out().find("abandoned after 1 refusals in a row"), std::string::npos) << sender->out();
}

// Usage errors exit 2 and send nothing (on end B); ports that cannot be opened
// exit 3 and say which (end A is held, as another program would hold it).
TEST_F(CliLine, BadArgumentsExitTwoPortErrorsThreeAndSendNothing) {
  const std::string good = makeFile("good.dat", 100, 6), port = cable_.endB(), held = cable_.endA();
  const std::string longName = makeFile("tree/" + std::string(100, 'n'), 10, 7);
  const std::string absent = (inbox / "ttyNothing").string();
  fs::path deep = inbox.path();
  while (deep.string().size() <= 260) deep /= std::string(50, 'x');
  fs::create_directories(deep);
  SerialPort holder;
  ASSERT_TRUE(holder.open(held.c_str(), PortRole::Receiver));
  struct Case { std::vector<std::string> args; int code; std::string says; };
  const Case cases[] = {
      {{}, 2, "A subcommand is required"},
      {{"send", "--port", port}, 2, "PATH is required"},
      {{"send", "--port", port, "--retry-limit", "0", good}, 2, "--retry-limit"},
      {{"send", "--port", port, "--retry-limit", "21", good}, 2, "--retry-limit"},
      {{"send", "--port", port, "--speed", "1234", good}, 2, "--speed"},
      {{"send", "--port", port, good, (outbox / "missing.dat").string()}, 2,
       "missing.dat: cannot be sent: cannot open the file"},
      {{"send", "--port", port, (outbox / "tree").string()}, 2, longName + ": cannot be sent: its name is longer"},
      {{"send", "--port", port, "/dev/null"}, 2, "not a regular file"},  // not a folder, yet no regular file
      {{"receive", "--port", port, "--dir", (outbox / "nowhere").string()}, 2, "does not exist"},
      {{"receive", "--port", port, "--dir", deep.string()}, 2, "at most 255"},
      {{"receive", "--port", port, "--files", "0"}, 2, "--files"},
      {{"receive", "--port", absent}, 3, "port " + absent + " does not exist"},
      {{"send", "--port", absent, good}, 3, "port " + absent + " does not exist"},
      {{"receive", "--port", held}, 3, "port " + held + " is busy"},
      {{"send", "--port", held, good}, 3, "port " + held + " is busy"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const harness::Outcome o = harness::run(zarvekCommand(c.args));
    EXPECT_EQ(o.code, c.code) << o.err;
    EXPECT_NE((o.out + o.err).find(c.says), std::string::npos) << o.out << o.err;
  }
  EXPECT_EQ(cable_.bytesIn(Direction::BtoA), 0u);
}

// Without serial hardware, then with UARTs (ttyS0 has none behind it, type 0),
// adapters and their stable names under a device root of the test's own.
TEST(CliPorts, ListsUartsAdaptersAndTheirStableNames) {
  TempDir root;
  const std::vector<std::string> env = {"ZARVEK_DEVICE_ROOT=" + root.str()};
  fs::create_directories(root / "dev");
  harness::Outcome o = harness::run(zarvekCommand({"ports"}), env);
  EXPECT_EQ(o.code, 0);
  EXPECT_NE(o.out.find("No serial ports found on this machine"), std::string::npos) << o.out;

  fs::create_directories(root / "dev/serial/by-id");
  for (const char* name : {"ttyS0", "ttyS1", "ttyUSB0", "ttyACM3", "tty1", "ttyprintk"}) writeFile(root / "dev" / name, "");
  for (const auto& [name, type] : {std::pair{"ttyS0", "0\n"}, std::pair{"ttyS1", "4\n"}}) {
    fs::create_directories(root / "sys/class/tty" / name);
    writeFile(root / "sys/class/tty" / name / "type", type);
  }
  fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-Maker_Adapter_A1-if00-port0");
  o = harness::run(zarvekCommand({"ports"}), env);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out,
            "/dev/ttyACM3  you may open it\n"
            "/dev/ttyS1  you may open it\n"
            "/dev/ttyUSB0  you may open it\n"
            "    also /dev/serial/by-id/usb-Maker_Adapter_A1-if00-port0\n");
}

// The same line; the Windows build's end is Wine's COM1, pointed at cable end A.
// The Windows build on COM1, which leads to end A.
class WineSide : public CliLine {
 protected:
  explicit WineSide(CableConfig config = CableConfig{115200, {}, {}, true}) : CliLine(config) {}
  void SetUp() override {
    if (!requireOrSkipWine(exe_)) GTEST_SKIP() << exe_ << " is not built";
    harness::pointComPort(1, cable_.endA());
  }
  const std::string exe_ = harness::windowsExe("cli/zarvek.exe");
};

// At 921600 through USB adapters at both ends (16 ms latency timers): the line
// a streamed file is made for, and 5 MiB in about a minute.
class CliWine : public WineSide {
 protected:
  CliWine() : WineSide(CableConfig{921600, {}, {}, false, false, 16}) {}
  void SetUp() override {
    WineSide::SetUp();
    if (IsSkipped()) return;
    uint32_t seed = 40;
    for (const auto& [path, size] : files_) makeFile(path, size, seed++);
  }

  // The receiver on one end, once it waits, then the sender on the other, Wine's
  // end naming its port COM1 and its paths as Windows does. Whatever their systems,
  // every file arrives identical, verified and streamed at both, each side naming
  // it with its size. The native sender is --quiet: results only.
  void transfer(bool windowsSends) {
    const auto path = [&](const fs::path& p) { return windowsSends ? harness::windowsPath(p.string()) : p.string(); };
    std::vector<std::string> receive = {"receive", "--port", windowsSends ? cable_.endB() : "COM1", "--speed", "921600",
                                        "--dir", windowsSends ? inbox.str() : harness::windowsPath(inbox.str()), "--files", "5"};
    std::vector<std::string> send = {"send", "--port", windowsSends ? "COM1" : cable_.endB(), "--speed", "921600"};
    if (!windowsSends) send.push_back("--quiet");
    for (const auto& [file, size] : files_) send.push_back(path(outbox / file));
    const auto command = [&](bool windows, const std::vector<std::string>& args) {
      return windows ? harness::wineCommand(exe_, args) : zarvekCommand(args);
    };
    Process receiver(command(!windowsSends, receive));
    // Wine may need a while to start; the banner comes once the port is set up.
    ASSERT_TRUE(receiver.waitForOutput("receiving into", 180s)) << receiver.out() << receiver.err();
    std::this_thread::sleep_for(500ms);
    const harness::Outcome sender = harness::run(command(windowsSends, send), {}, 240s);
    EXPECT_EQ(sender.code, 0) << sender.out << sender.err;
    EXPECT_EQ(receiver.wait(60s), 0) << receiver.out() << receiver.err();
    EXPECT_EQ(sender.out.find("sending ") == std::string::npos, !windowsSends) << "--quiet: results only";
    EXPECT_TRUE(saidNothingWrong(sender.err));
    EXPECT_TRUE(saidNothingWrong(receiver.err()));
    for (const auto& [file, size] : files_) {
      const std::string name = fs::path(file).filename().string(), bytes = "  " + std::to_string(size) + " bytes  ";
      ASSERT_TRUE(fs::exists(inbox / name)) << name;
      EXPECT_TRUE(readFile(inbox / name) == readFile(outbox / file)) << name;
      EXPECT_NE(sender.out.find(name + bytes + "sent, verified, streamed"), std::string::npos) << sender.out;
      EXPECT_NE(receiver.out().find(name + bytes + "complete, verified, streamed"), std::string::npos) << receiver.out();
    }
  }

  const std::pair<const char*, size_t> files_[5] = {
      {"one/a.dat", 1500}, {"one/two/b.dat", 2048}, {"three/c.dat", 20000}, {"empty.dat", 0}, {"big.dat", 5u << 20}};
};

TEST_F(CliWine, WindowsSendsToLinux) { transfer(true); }
TEST_F(CliWine, LinuxSendsToWindows) { transfer(false); }

// A folder both ways at 921600: 50 files three levels down (an empty one, a few
// of several KiB), two empty folders (one nested), each file and folder with a
// time of its own. Whatever the systems, the same tree arrives: the same paths,
// bytes and times to the second, the top folder's too. Both ends run with a
// home of their own, which must stay empty: Wine keeps to the build's prefix.
class WineFolders : public WineSide {
 protected:
  WineFolders() : WineSide(CableConfig{921600, {}, {}, false, false, 16}) {}

  struct Entry {
    bool folder = false;
    int64_t modified = 0;
    std::string bytes;
  };
  using Tree = std::map<std::string, Entry>;  // "tree", "tree/a", "tree/a/f01.dat", ...

  static void setTime(const fs::path& path, int64_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }

  // outbox/tree as `expected_` says; the times last, folders deepest first, as
  // making something in a folder changes the folder's time.
  void makeTree() {
    const char* folders[] = {"tree", "tree/a", "tree/a/b", "tree/a/b/c", "tree/d", "tree/d/e", "tree/empty",
                             "tree/d/e/also empty"};
    const char* holding[] = {"tree", "tree/a", "tree/a/b", "tree/a/b/c", "tree/d", "tree/d/e"};
    for (int i = 0; i < 8; ++i) expected_[folders[i]] = {true, 1500000000 + i * 39601, {}};
    for (int i = 0; i < 50; ++i) {
      const size_t size = i == 0 ? 0 : i % 10 == 3 ? 12000 + i * 131 : 1000 + (i * 2713) % 9000;
      const std::string name = (i % 7 == 5 ? "file " : "f") + std::to_string(100 + i).substr(1) + (i % 2 ? ".dat" : ".txt");
      expected_[std::string(holding[i % 6]) + "/" + name] = {false, 1300000000 + i * 259217, randomBytes(size, 70 + i)};
    }
    for (const auto& [path, entry] : expected_) {
      if (entry.folder) fs::create_directories(outbox / path);
    }
    for (const auto& [path, entry] : expected_) {
      if (!entry.folder) {
        writeFile(outbox / path, entry.bytes);
        setTime(outbox / path, entry.modified);
      }
    }
    for (auto it = expected_.rbegin(); it != expected_.rend(); ++it) {  // "a/b" before "a"
      if (it->second.folder) setTime(outbox / it->first, it->second.modified);
    }
  }

  static Tree readTree(const fs::path& top) {
    Tree tree;
    const auto add = [&](const fs::path& path) {
      struct stat st {};
      EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
      Entry& e = tree[path.lexically_relative(top.parent_path()).generic_string()];
      e = {S_ISDIR(st.st_mode), st.st_mtim.tv_sec, {}};
      if (S_ISREG(st.st_mode)) e.bytes = readFile(path);
    };
    add(top);
    for (const auto& e : fs::recursive_directory_iterator(top)) add(e.path());
    return tree;
  }

  void transfer(bool windowsSends) {
    ASSERT_NO_FATAL_FAILURE(makeTree());
    TempDir home;
    const std::vector<std::string> env = {"HOME=" + home.str()};
    const std::string dir = windowsSends ? inbox.str() : harness::windowsPath(inbox.str());
    const std::string tree = windowsSends ? harness::windowsPath((outbox / "tree").string()) : (outbox / "tree").string();
    const std::vector<std::string> receive = {"receive", "--port", windowsSends ? cable_.endB() : "COM1", "--speed",
                                              "921600", "--dir", dir, "--files", std::to_string(expected_.size())};
    const std::vector<std::string> send = {"send", "--port", windowsSends ? "COM1" : cable_.endB(), "--speed", "921600", tree};
    const auto command = [&](bool windows, const std::vector<std::string>& args) {
      return windows ? harness::wineCommand(exe_, args) : zarvekCommand(args);
    };
    Process receiver(command(!windowsSends, receive), env);
    ASSERT_TRUE(receiver.waitForOutput("receiving into", 180s)) << receiver.out() << receiver.err();
    std::this_thread::sleep_for(500ms);
    const harness::Outcome sender = harness::run(command(windowsSends, send), env, 240s);
    EXPECT_EQ(sender.code, 0) << sender.out << sender.err;
    EXPECT_EQ(receiver.wait(60s), 0) << receiver.out() << receiver.err();
    EXPECT_TRUE(saidNothingWrong(sender.err));
    EXPECT_TRUE(saidNothingWrong(receiver.err()));

    std::vector<std::string> inInbox;  // nothing staged or held is left beside it
    for (const auto& e : fs::directory_iterator(inbox.path())) inInbox.push_back(e.path().filename().string());
    EXPECT_EQ(inInbox, std::vector<std::string>{"tree"});
    const Tree got = readTree(inbox / "tree");
    std::vector<std::string> sentPaths, gotPaths;
    for (const auto& [path, entry] : expected_) sentPaths.push_back(path);
    for (const auto& [path, entry] : got) gotPaths.push_back(path);
    EXPECT_EQ(gotPaths, sentPaths);
    for (const auto& [path, entry] : expected_) {
      const auto at = got.find(path);
      if (at == got.end()) continue;
      EXPECT_EQ(at->second.folder, entry.folder) << path;
      EXPECT_EQ(at->second.modified, entry.modified) << path;
      EXPECT_TRUE(at->second.bytes == entry.bytes) << path;
    }
    EXPECT_TRUE(fs::is_empty(home.path())) << "something was left in the home folder";
  }

  Tree expected_;
};

TEST_F(WineFolders, WindowsSendsToLinux) { transfer(true); }
TEST_F(WineFolders, LinuxSendsToWindows) { transfer(false); }

// The Windows build against the classic program (on end B, in this process), both
// ways, with a far end's noise right after an end of file and between two files,
// and, from the classic sender, before the first packet.
class ClassicWine : public WineSide {};

TEST_F(ClassicWine, WindowsSendsToClassic) {
  const auto batch = writeClassicBatch(outbox.path());
  cable_.setFaults(Direction::AtoB, noiseAfterEnds(kClassicSizes));
  ClassicReceiver classic(cable_.endB(), inbox.path());  // the real 20 ms gap: noise must stand apart
  std::vector<std::string> args = {"send", "--port", "COM1", "--speed", "115200"};
  for (const auto& file : batch) args.push_back(harness::windowsPath(file.string()));
  const harness::Outcome sender = harness::run(harness::wineCommand(exe_, args), {}, 240s);
  EXPECT_EQ(sender.code, 0) << sender.out << sender.err;
  EXPECT_TRUE(classicEnded(classic, batch.size()));
  classic.stop();
  expectBatchArrived(batch, inbox.path(), classic, cable_, Direction::BtoA);
}

TEST_F(ClassicWine, ClassicSendsToWindows) {
  const auto batch = writeClassicBatch(outbox.path());
  cable_.setFaults(Direction::BtoA, noiseAfterEnds(kClassicSizes));
  Process receiver(harness::wineCommand(exe_, {"receive", "--port", "COM1", "--speed", "115200", "--dir",
                                              harness::windowsPath(inbox.str()), "--files", std::to_string(batch.size())}));
  ASSERT_TRUE(receiver.waitForOutput("receiving into", 180s)) << receiver.out() << receiver.err();
  std::this_thread::sleep_for(500ms);
  ClassicSender classic(cable_.endB());
  cable_.injectNoise(Direction::BtoA, 0xF0);  // the sending end, as it opens its port
  std::this_thread::sleep_for(100ms);
  classic.start(batch);
  const bool ended = classic.finish(180s);
  EXPECT_TRUE(ended) << "the classic sender was still waiting" << classicEvidence(cable_, Direction::AtoB, classic);
  EXPECT_EQ(receiver.wait(ended ? 60s : 1s), 0) << receiver.out() << receiver.err();
  expectBatchArrived(batch, inbox.path(), classic, cable_, Direction::AtoB);
  expectOneReplyPerAnsweredPacket(cable_, Direction::AtoB, classic);
}

}  // namespace
}  // namespace zarvek::test
