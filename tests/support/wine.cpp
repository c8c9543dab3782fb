#include "support/wine.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace zarvek::test {

bool requireOrSkipWine(const std::string& exe) {
  if (harness::wineCanRun(exe)) return true;
  if (std::getenv("ZARVEK_REQUIRE_WINE") != nullptr) ADD_FAILURE() << "cannot run " << exe << " under Wine";
  return false;
}

}  // namespace zarvek::test
