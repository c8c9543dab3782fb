#pragma once
// What every clean run must show, at each end and on each platform: nothing
// said to be wrong. An engine's end: no retry limit, unread packet, failed
// call, port not opened or failure message (RecordingUi::troubles). A
// program: nothing on standard error (the command line) and no bare error
// number on standard output (the window program writes those there).
#include <gtest/gtest.h>

#include <string>

#include "support/recording_ui.h"

namespace zarvek::test {

inline ::testing::AssertionResult saidNothingWrong(const RecordingUi& ui) {
  const std::string troubles = ui.troubles();
  if (troubles.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the run reported:\n" << troubles;
}

// `said`: what a program wrote where it reports trouble.
inline ::testing::AssertionResult saidNothingWrong(const std::string& said) {
  if (said.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the program said: " << said;
}

}  // namespace zarvek::test
