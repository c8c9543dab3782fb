#pragma once
// The Windows build run under Wine, in the source tree's own prefix, whose
// COM1..COM9 and COM12 open the links <prefix>/ports/comN: a test or benchmark points one
// at a cable end and the Windows program opens it as COMn. Linux.
#include <string>
#include <vector>

namespace zarvek::harness {

// <source tree>/build/wineprefix, the prefix cmake/wine-run.sh uses.
std::string winePrefix();

// Makes the prefix if needed, then points COMn at target, in one step.
void pointComPort(int n, const std::string& target);

// A path under the Windows build folder, e.g. "cli/zarvek.exe".
std::string windowsExe(const std::string& relative);

// A Linux path as the Windows program sees it: Z:\...
std::string windowsPath(const std::string& path);

// The command that runs exe with args under Wine (cmake/wine-run.sh).
std::vector<std::string> wineCommand(const std::string& exe, const std::vector<std::string>& args);

// Whether Wine is installed and exe is built.
bool wineCanRun(const std::string& exe);

}  // namespace zarvek::harness
