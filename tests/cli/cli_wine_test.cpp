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

  // Two Zarvek ends, whatever their systems: every file arrives identical and
  // is verified at both, each side naming it with its size.
  void expectArrivedVerified(const std::string& sent, const std::string& received) {
    for (const auto& [path, size] : files_) {
      const std::string name = fs::path(path).filename().string(), bytes = "  " + std::to_string(size) + " bytes  ";
      ASSERT_TRUE(fs::exists(inbox / name)) << name;
      EXPECT_TRUE(readFile(inbox / name) == readFile(outbox / path)) << name;
      EXPECT_NE(sent.find(name + bytes + "sent, verified"), std::string::npos) << sent;
      EXPECT_NE(received.find(name + bytes + "complete, verified"), std::string::npos) << received;
    }
  }

  const std::string exe_ = harness::windowsExe("cli/zarvek.exe");
  const std::pair<const char*, size_t> files_[3] = {
      {"one/a.dat", 1500}, {"one/two/b.dat", 2048}, {"three/c.dat", 20000}};
  Cable cable_{CableConfig{115200, {}, {}, false}};
  TempDir outbox, inbox;
};

TEST_F(CliWine, WindowsSendsToLinux) {
  Process receiver({harness::zarvekPath(), "receive", "--port", cable_.endB(), "--dir", inbox.str(), "--files", "3"});
  ASSERT_TRUE(receiver.waitForOutput("receiving into", 30s)) << receiver.err();
  std::this_thread::sleep_for(300ms);
  std::vector<std::string> args = {"send", "--port", "COM1"};
  for (const auto& [path, size] : files_) args.push_back(harness::windowsPath((outbox / path).string()));
  const Outcome sender = harness::run(harness::wineCommand(exe_, args), {}, 240s);
  EXPECT_EQ(sender.code, 0) << sender.out << sender.err;
  EXPECT_EQ(receiver.wait(60s), 0) << receiver.out() << receiver.err();
  expectArrivedVerified(sender.out, receiver.out());
}

TEST_F(CliWine, LinuxSendsToWindows) {
  Process receiver(harness::wineCommand(
      exe_, {"receive", "--port", "COM1", "--dir", harness::windowsPath(inbox.str()), "--files", "3"}));
  // Wine may need a while to start; the banner comes once the port is set up.
  ASSERT_TRUE(receiver.waitForOutput("receiving into", 180s)) << receiver.out() << receiver.err();
  std::this_thread::sleep_for(500ms);
  std::vector<std::string> argv = {harness::zarvekPath(), "send", "--port", cable_.endB()};
  for (const auto& [path, size] : files_) argv.push_back((outbox / path).string());
  const Outcome sender = harness::run(argv, {}, 240s);
  EXPECT_EQ(sender.code, 0) << sender.out << sender.err;
  EXPECT_EQ(receiver.wait(60s), 0) << receiver.out() << receiver.err();
  expectArrivedVerified(sender.out, receiver.out());
}

}  // namespace
}  // namespace zarvek::test
