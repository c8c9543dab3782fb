#include <gtest/gtest.h>

#include <future>

#include "cable/cable.h"
#include "cable/test_port.h"
#include "support/wine.h"

namespace zarvek {
namespace {

using namespace std::chrono_literals;

// A Windows program under Wine on COM1 and a native peer on the other end of
// one cable: all 256 byte values go out and come back through Wine's port.
TEST(WinePorts, WindowsProgramOnCom1TalksToNativePeer) {
  const std::string probe = test::windowsExe("tests/cable/wine_port_probe.exe");
  if (!test::requireOrSkipWine(probe)) GTEST_SKIP() << probe << " is not built";
  CableConfig config;
  config.baud = 115200;
  Cable cable(config);
  test::pointComPort(1, cable.endA());
  test::TestPort peer(cable.endB());
  auto run = std::async(std::launch::async, [&] { return test::runUnderWine(probe, {"COM1", "256"}, 120s); });

  std::string ready;  // Wine takes seconds to start; stop waiting if the probe ends
  while (ready.empty() && run.wait_for(0s) != std::future_status::ready) ready = peer.read(1, 500ms);
  if (ready.empty()) ready = peer.read(1, 100ms);
  ASSERT_EQ(ready, "R") << run.get().output;

  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<char>(i);
  ASSERT_TRUE(peer.write(all));
  EXPECT_EQ(peer.read(all.size(), 30s), all);
  const test::WineRun result = run.get();
  EXPECT_EQ(result.exitCode, 0) << result.output;
}

}  // namespace
}  // namespace zarvek
