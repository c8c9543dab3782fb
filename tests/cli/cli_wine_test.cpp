// The Windows console build under Wine and the native build, one at each end
// of a virtual cable, in both directions. Wine's COM1 is cable end A.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "cable/cable.h"
#include "harness/process.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zarvek::harness::Outcome;
using zarvek::harness::Process;

namespace zarvek::test {
namespace {

class CliWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!requireOrSkipWine(exe_)) GTEST_SKIP() << exe_ << " is not built";
    harness::pointComPort(1, cable_.endA());
    uint32_t seed = 40;
    for (const auto& [path, size] : files_) {
      fs::create_directories((outbox / path).parent_path());
      writeFile(outbox / path, randomBytes(size, seed++));
    }
  }

  // The receiver on one end, once it waits, then the sender on the other, Wine's
  // end naming its port COM1 and its paths as Windows does. Whatever their systems,
  // every file arrives identical and verified at both, each side naming it with its
  // size. The native sender is --quiet: results only.
  void transfer(bool windowsSends) {
    const auto path = [&](const fs::path& p) { return windowsSends ? harness::windowsPath(p.string()) : p.string(); };
    std::vector<std::string> receive = {"receive", "--port", windowsSends ? cable_.endB() : "COM1", "--dir",
                                        windowsSends ? inbox.str() : harness::windowsPath(inbox.str()), "--files", "3"};
    std::vector<std::string> send = {"send", "--port", windowsSends ? "COM1" : cable_.endB()};
    if (!windowsSends) send.push_back("--quiet");
    for (const auto& [file, size] : files_) send.push_back(path(outbox / file));
    const auto command = [&](bool windows, std::vector<std::string> args) {
      if (windows) return harness::wineCommand(exe_, args);
      args.insert(args.begin(), harness::zarvekPath());
      return args;
    };
    Process receiver(command(!windowsSends, receive));
    // Wine may need a while to start; the banner comes once the port is set up.
    ASSERT_TRUE(receiver.waitForOutput("receiving into", 180s)) << receiver.out() << receiver.err();
    std::this_thread::sleep_for(500ms);
    const Outcome sender = harness::run(command(windowsSends, send), {}, 240s);
    EXPECT_EQ(sender.code, 0) << sender.out << sender.err;
    EXPECT_EQ(receiver.wait(60s), 0) << receiver.out() << receiver.err();
    EXPECT_EQ(sender.out.find("sending ") == std::string::npos, !windowsSends) << "--quiet: results only";
    for (const auto& [file, size] : files_) {
      const std::string name = fs::path(file).filename().string(), bytes = "  " + std::to_string(size) + " bytes  ";
      ASSERT_TRUE(fs::exists(inbox / name)) << name;
      EXPECT_TRUE(readFile(inbox / name) == readFile(outbox / file)) << name;
      EXPECT_NE(sender.out.find(name + bytes + "sent, verified"), std::string::npos) << sender.out;
      EXPECT_NE(receiver.out().find(name + bytes + "complete, verified"), std::string::npos) << receiver.out();
    }
  }

  const std::string exe_ = harness::windowsExe("cli/zarvek.exe");
  const std::pair<const char*, size_t> files_[3] = {
      {"one/a.dat", 1500}, {"one/two/b.dat", 2048}, {"three/c.dat", 20000}};
  Cable cable_{CableConfig{115200, {}, {}, false}};
  TempDir outbox, inbox;
};

TEST_F(CliWine, WindowsSendsToLinux) { transfer(true); }
TEST_F(CliWine, LinuxSendsToWindows) { transfer(false); }

}  // namespace
}  // namespace zarvek::test
