#pragma once
// Tests that drive the Windows build under Wine (see harness/wine.h).
#include <string>

#include "harness/wine.h"

namespace zarvek::test {

// Whether exe can run under Wine. When not, returns false so the caller can
// GTEST_SKIP; with ZARVEK_REQUIRE_WINE set (./test.sh) it also fails the test.
//   if (!requireOrSkipWine(exe)) GTEST_SKIP() << exe << " is not built";
bool requireOrSkipWine(const std::string& exe);

}  // namespace zarvek::test
