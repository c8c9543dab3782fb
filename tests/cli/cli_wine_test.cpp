// The Windows console build under Wine and the native build, one at each end
// of a virtual cable, in both directions. Wine's COM1 is cable end A.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "cable/cable.h"
#include "process.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zarvek::test {
namespace {

// The Windows program sees the Linux root as drive Z:.
std::string windowsPath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  for (auto& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

class CliWine : public ::testing::Test {
 protected:
  CliWine() : cable_(CableConfig{115200, {}, {}, false}) {}

  void SetUp() override {
    if (!requireOrSkipWine(exe_)) GTEST_SKIP() << exe_ << " is not built";
    pointComPort(1, cable_.endA());
    struct Sample {
      const char* path;
      size_t size;
    };
    uint32_t seed = 40;
    for (const Sample& s : {Sample{"one/a.dat", 1500}, Sample{"one/two/b.dat", 2048}, Sample{"three/c.dat", 20000}}) {
      const fs::path path = outbox / s.path;
      fs::create_directories(path.parent_path());
      writeFile(path, randomBytes(s.size, seed++));
      files_.push_back(path);
    }
  }

  void expectArrivedIdentical() {
    for (const auto& file : files_) {
      SCOPED_TRACE(file.string());
      ASSERT_TRUE(fs::exists(inbox / file.filename()));
      EXPECT_EQ(readFile(inbox / file.filename()), readFile(file));
    }
  }

  const std::string exe_ = windowsExe("cli/zarvek.exe");
  Cable cable_;
  TempDir outbox;
  TempDir inbox;
  std::vector<fs::path> files_;
};

TEST_F(CliWine, WindowsSendsToLinux) {
  Process receiver({zarvekPath(), "receive", "--port", cable_.endB(), "--dir", inbox.str(), "--files", "3"});
  ASSERT_TRUE(receiver.waitForErr("receiving into", 30s)) << receiver.err();
  std::this_thread::sleep_for(300ms);

  std::vector<std::string> args = {"send", "--port", "COM1"};
  for (const auto& file : files_) args.push_back(windowsPath(file));
  const WineRun sender = runUnderWine(exe_, args, 240s);
  EXPECT_EQ(sender.exitCode, 0) << sender.output;
  EXPECT_EQ(receiver.wait(60s), 0) << receiver.out() << receiver.err();
  expectArrivedIdentical();
}

TEST_F(CliWine, LinuxSendsToWindows) {
  Process receiver({ZARVEK_SOURCE_DIR "/cmake/wine-run.sh", exe_, "receive", "--port", "COM1", "--dir",
                    windowsPath(inbox.path()), "--files", "3"});
  // Wine may need a while to start; the banner comes once the port is set up.
  ASSERT_TRUE(receiver.waitForErr("receiving into", 180s)) << receiver.out() << receiver.err();
  std::this_thread::sleep_for(500ms);

  std::vector<std::string> argv = {zarvekPath(), "send", "--port", cable_.endB()};
  for (const auto& file : files_) argv.push_back(file.string());
  const Outcome sender = run(argv, {}, 240s);
  EXPECT_EQ(sender.code, 0) << sender.err;
  EXPECT_EQ(receiver.wait(60s), 0) << receiver.out() << receiver.err();
  EXPECT_NE(receiver.out().find("c.dat  20000 bytes  complete"), std::string::npos) << receiver.out();
  expectArrivedIdentical();
}

}  // namespace
}  // namespace zarvek::test
