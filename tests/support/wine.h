#pragma once
// Tests that drive the Windows build under Wine (see harness/wine.h).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "harness/wine.h"

namespace zarvek::test {

// Whether exe can run under Wine. When not, returns false so the caller can
// GTEST_SKIP; with ZARVEK_REQUIRE_WINE set (./test.sh) it also fails the test.
//   if (!requireOrSkipWine(exe)) GTEST_SKIP() << exe << " is not built";
inline bool requireOrSkipWine(const std::string& exe) {
  if (harness::wineCanRun(exe)) return true;
  if (std::getenv("ZARVEK_REQUIRE_WINE") != nullptr) ADD_FAILURE() << "cannot run " << exe << " under Wine";
  return false;
}

}  // namespace zarvek::test
