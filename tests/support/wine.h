#pragma once
// Runs executables of the Windows build under Wine, in the source tree's own
// prefix, whose COM1..COM9 open the links <prefix>/ports/comN. Native build only.
#include <chrono>
#include <string>
#include <vector>

namespace zarvek::test {

// <source tree>/build/wineprefix, the prefix cmake/wine-run.sh uses.
std::string winePrefix();

// Makes the prefix if needed, then points COMn at target (ln -sfn, atomically).
void pointComPort(int n, const std::string& target);

// A path under the Windows build folder, e.g. "tests/cable/wine_port_probe.exe".
std::string windowsExe(const std::string& relative);

struct WineRun {
  int exitCode;        // -1 when the guard ran out and the program was killed
  std::string output;  // standard output and error together
};

// Runs exe with args through cmake/wine-run.sh; kills it after the guard.
WineRun runUnderWine(const std::string& exe, const std::vector<std::string>& args, std::chrono::seconds guard);

// Whether exe exists and Wine is installed. When not, returns false so the
// caller can GTEST_SKIP; with ZARVEK_REQUIRE_WINE set it also fails the test.
//   if (!requireOrSkipWine(exe)) GTEST_SKIP() << exe << " is not built";
bool requireOrSkipWine(const std::string& exe);

}  // namespace zarvek::test
