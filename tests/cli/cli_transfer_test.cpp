// The command line driven as a user drives it, over a virtual cable: the
// built `zarvek` in two processes, one receiving and one sending.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "cable/cable.h"
#include "process.h"
#include "serial/serial_port.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zarvek::test {
namespace {

constexpr auto kGuard = std::chrono::seconds(120);

class CliLine : public ::testing::Test {
 protected:
  explicit CliLine(CableConfig config = {}) : cable_(config) {}

  // A receiver on end B, waiting once it has said so.
  std::unique_ptr<Process> startReceiver(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {zarvekPath(), "receive", "--port", cable_.endB(), "--dir", inbox.str()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto receiver = std::make_unique<Process>(argv);
    EXPECT_TRUE(receiver->waitForErr("receiving into", 30s)) << receiver->err();
    // Its first wait for data starts just after it has said so.
    std::this_thread::sleep_for(300ms);
    return receiver;
  }

  std::unique_ptr<Process> startSender(const std::vector<std::string>& files,
                                       const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {zarvekPath(), "send", "--port", cable_.endA()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), files.begin(), files.end());
    return std::make_unique<Process>(argv);
  }

  std::string makeFile(const std::string& relative, size_t size, uint32_t seed) {
    const fs::path path = outbox / relative;
    fs::create_directories(path.parent_path());
    writeFile(path, randomBytes(size, seed));
    return path.string();
  }

  Cable cable_;
  TempDir outbox;
  TempDir inbox;
};

// Paced at 115200 bit/s, as a real line: the protocol discards what arrives
// before the receiver's next wait and has no time-out, so on a fast or unpaced
// line a whole packet can come and go while a loaded receiver is still busy
// with the last one, and the transfer stalls.
class CliPacedLine : public CliLine {
 protected:
  CliPacedLine() : CliLine(CableConfig{115200, {}, {}, true}) {}
};

TEST_F(CliPacedLine, SendsFilesOfEverySizeFromSeveralFoldersIdentical) {
  struct Case {
    const char* path;
    size_t size;
  };
  const Case cases[] = {
      {"a/empty.dat", 0},      {"a/one.dat", 1},          {"b/c/short.dat", 1023},
      {"b/c/exact.dat", 1024}, {"b/over.dat", 1025},      {"d/three.dat", 3000},
      {"d/e/f/mid.dat", 70001}, {"big.dat", 100000},
  };
  std::vector<std::string> files;
  uint32_t seed = 10;
  for (const auto& c : cases) files.push_back(makeFile(c.path, c.size, seed++));

  auto receiver = startReceiver({"--files", std::to_string(std::size(cases))});
  auto sender = startSender(files, {"--quiet"});
  EXPECT_EQ(sender->wait(kGuard), 0) << sender->out() << sender->err();
  EXPECT_EQ(receiver->wait(kGuard), 0) << receiver->out() << receiver->err();
  EXPECT_EQ(sender->out().find("sending "), std::string::npos) << "--quiet: results only";

  for (const auto& c : cases) {
    const std::string name = fs::path(c.path).filename().string();
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(fs::exists(inbox / name));
    EXPECT_TRUE(readFile(inbox / name) == readFile(outbox / c.path));
    EXPECT_NE(receiver->out().find(name + "  " + std::to_string(c.size) + " bytes  complete"), std::string::npos)
        << receiver->out();
    EXPECT_NE(sender->out().find((outbox / c.path).string() + "  " + std::to_string(c.size) + " bytes  sent"),
              std::string::npos)
        << sender->out();
  }
}

TEST_F(CliPacedLine, InterruptDuringSendEndsWithAbortAndTheReceiverDeletes) {
  const std::string file = makeFile("big.dat", 200000, 3);
  auto receiver = startReceiver({"--files", "1"});
  auto sender = startSender({file});
  ASSERT_TRUE(sender->waitForOut("sending", 30s));
  std::this_thread::sleep_for(1500ms);
  sender->signal(SIGINT);

  EXPECT_EQ(sender->wait(kGuard), 130) << sender->err();
  EXPECT_NE(sender->out().find("stopped after"), std::string::npos) << sender->out();
  EXPECT_NE(sender->err().find("interrupted: " + file), std::string::npos) << sender->err();
  EXPECT_NE(sender->err().find("AF sent"), std::string::npos);

  EXPECT_EQ(receiver->wait(kGuard), 1) << receiver->err();
  EXPECT_NE(receiver->out().find("big.dat  200000 bytes  aborted by the sender, deleted"), std::string::npos)
      << receiver->out();
  EXPECT_FALSE(fs::exists(inbox / "big.dat"));

  // The line: whole packets, the last one "AF", after some data.
  const auto line = cable_.log(Direction::AtoB);
  ASSERT_EQ(line.size() % 1030, 0u);
  ASSERT_GE(line.size(), 4u * 1030);
  const size_t last = line.size() - 1030;
  EXPECT_EQ(line[last].value, 'A');
  EXPECT_EQ(line[last + 1].value, 'F');
  EXPECT_EQ(line[last - 1030].value, 'F');
  EXPECT_EQ(line[last - 1030 + 1].value, 'D');
}

TEST_F(CliPacedLine, InterruptDuringReceiveKeepsThePartialFileAtItsSize) {
  const std::string file = makeFile("big.dat", 200000, 4);
  auto receiver = startReceiver();
  auto sender = startSender({file});
  ASSERT_TRUE(receiver->waitForOut("receiving big.dat", 30s)) << receiver->out();
  std::this_thread::sleep_for(1500ms);
  receiver->signal(SIGINT);

  EXPECT_EQ(receiver->wait(kGuard), 130) << receiver->err();
  EXPECT_NE(receiver->out().find("big.dat  200000 bytes  interrupted, kept at its full size"), std::string::npos)
      << receiver->out();
  EXPECT_NE(receiver->err().find("interrupted: big.dat left at " + (inbox / "big.dat").string()),
            std::string::npos)
      << receiver->err();
  ASSERT_TRUE(fs::exists(inbox / "big.dat"));
  const std::string kept = readFile(inbox / "big.dat");
  const std::string original = readFile(file);
  EXPECT_EQ(kept.size(), original.size());
  EXPECT_EQ(kept.substr(0, 1024), original.substr(0, 1024));
  EXPECT_NE(kept, original);

  // The sender now waits for a reply that never comes, until its user stops it.
  sender->signal(SIGINT);
  EXPECT_EQ(sender->wait(kGuard), 130) << sender->err();
}

class CliRefusingLine : public CliLine {
 protected:
  // One bit of the first data packet's payload flipped on its way: "N".
  static CableConfig refuseFirstData() {
    CableConfig config;
    config.baud = 115200;
    config.aToB.flips.push_back({2 * 1030 + 4 + 7, 0});
    return config;
  }
  CliRefusingLine() : CliLine(refuseFirstData()) {}
};

TEST_F(CliRefusingLine, FileAbandonedAfterTheRetryLimitExitsOne) {
  const std::string file = makeFile("f.dat", 5000, 5);
  auto receiver = startReceiver({"--files", "1"});
  auto sender = startSender({file}, {"--retry-limit", "1"});
  EXPECT_EQ(sender->wait(kGuard), 1) << sender->err();
  EXPECT_NE(sender->err().find("zarvek: CRC Errors: Too Contiguous CRC Errors, Aborting Transmission"),
            std::string::npos)
      << sender->err();
  EXPECT_NE(sender->out().find("abandoned after 1 refusals in a row"), std::string::npos) << sender->out();
  EXPECT_EQ(receiver->wait(kGuard), 1) << receiver->err();
  EXPECT_FALSE(fs::exists(inbox / "f.dat"));
}

TEST_F(CliLine, BadArgumentsExitTwoAndSendNothing) {
  const std::string good = makeFile("good.dat", 100, 6);
  const std::string port = cable_.endA();
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{}, "A subcommand is required"},
      {{"frobnicate"}, "subcommand"},
      {{"send", "--port", port}, "FILE is required"},
      {{"send", "--port", port, "--retry-limit", "0", good}, "--retry-limit"},
      {{"send", "--port", port, "--retry-limit", "21", good}, "--retry-limit"},
      {{"send", "--port", port, "--speed", "1234", good}, "--speed"},
      {{"send", "--port", port, good, (outbox / "missing.dat").string()}, "missing.dat: no such file"},
      {{"send", "--port", port, outbox.str()}, "is a folder"},
      {{"send", "--port", port, "/dev/null"}, "not a regular file"},
      {{"receive", "--port", port, "--dir", (outbox / "nowhere").string()}, "does not exist"},
      {{"receive", "--port", port, "--files", "0"}, "--files"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {zarvekPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Outcome o = run(argv);
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(o.code, 2) << o.err;
    EXPECT_NE((o.out + o.err).find(c.says), std::string::npos) << o.out << o.err;
  }
  EXPECT_EQ(cable_.bytesIn(Direction::AtoB), 0u);
}

TEST_F(CliLine, ReceiveFolderLongerThanTheFieldIsRefused) {
  fs::path deep = inbox.path();
  while (deep.string().size() <= 260) deep /= std::string(50, 'x');
  fs::create_directories(deep);
  const Outcome o = run({zarvekPath(), "receive", "--port", cable_.endB(), "--dir", deep.string()});
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("at most 255"), std::string::npos) << o.err;
}

TEST_F(CliLine, PortErrorsSayWhichAndExitThree) {
  const std::string file = makeFile("f.dat", 10, 7);
  const std::string absent = (inbox / "ttyNothing").string();
  SerialPort holder;  // a second opener, as another program would be
  ASSERT_EQ(holder.open(cable_.endA().c_str(), PortRole::Receiver), 1);
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"receive", "--port", absent}, "port " + absent + " does not exist"},
      {{"send", "--port", absent, file}, "port " + absent + " does not exist"},
      {{"receive", "--port", cable_.endA()}, "port " + cable_.endA() + " is busy"},
      {{"send", "--port", cable_.endA(), file}, "port " + cable_.endA() + " is busy"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {zarvekPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Outcome o = run(argv);
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(o.code, 3) << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
  }
}

TEST(CliPorts, MachineWithoutSerialHardware) {
  TempDir root;
  fs::create_directories(root / "dev");
  const Outcome o = run({zarvekPath(), "ports"}, {"ZARVEK_DEVICE_ROOT=" + root.str()});
  EXPECT_EQ(o.code, 0);
  EXPECT_NE(o.out.find("No serial ports found on this machine"), std::string::npos) << o.out;
}

TEST(CliPorts, ListsUartsAdaptersAndTheirStableNames) {
  TempDir root;
  fs::create_directories(root / "dev/serial/by-id");
  for (const char* name : {"ttyS0", "ttyS1", "ttyUSB0", "ttyACM3", "tty1", "ttyprintk"}) writeFile(root / "dev" / name, "");
  // ttyS0 has no UART behind it (type 0), ttyS1 has one.
  for (const auto& [name, type] : {std::pair{"ttyS0", "0\n"}, std::pair{"ttyS1", "4\n"}}) {
    fs::create_directories(root / "sys/class/tty" / name);
    writeFile(root / "sys/class/tty" / name / "type", type);
  }
  fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-Maker_Adapter_A1-if00-port0");

  const Outcome o = run({zarvekPath(), "ports"}, {"ZARVEK_DEVICE_ROOT=" + root.str()});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out,
            "/dev/ttyACM3  you may open it\n"
            "/dev/ttyS1  you may open it\n"
            "/dev/ttyUSB0  you may open it\n"
            "    also /dev/serial/by-id/usb-Maker_Adapter_A1-if00-port0\n");
}

}  // namespace
}  // namespace zarvek::test
